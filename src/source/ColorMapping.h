#pragma once

#include "common/SourceColor.h"

#include <cstdint>
#include <optional>
#include <string>

namespace corvel {

// The colour of an `nclx` box: primaries, transfer and matrix codes of
// ISO/IEC 23091-2, each looked up on its own; an unknown code leaves its
// field absent.
SourceColor colorFromNclx(uint32_t primaries, uint32_t transfer, uint32_t matrix);

// The colour from ffmpeg's names (color_primaries, color_transfer,
// color_space); a missing or unknown name gives BT.709 for its field.
SourceColor colorFromNames(const std::optional<std::string>& primaries,
                           const std::optional<std::string>& transfer,
                           const std::optional<std::string>& matrix);

} // namespace corvel
