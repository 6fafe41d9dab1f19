#pragma once

#include "common/SourceColor.h"
#include "source/SoundPlan.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

// What ffprobe says about a title's first video stream and chosen sound.
struct ProbedTitle {
    SourceColor color;  // all absent without a video stream
    int bits = 8;       // 10 or 12 for "p10" / "p12" pixel formats
    double sar = 1.0;   // sample width over height, 0.25 ... 4.0; 1.0 when unknown
    std::optional<SoundPlan> sound; // none without a sound stream

    bool operator==(const ProbedTitle&) const = default;
};

// Reads ffprobe's JSON answer (-show_entries stream=...) and picks the sound
// stream at `soundOrdinal` (the first when there are fewer). None when the
// text is not a JSON object with a "streams" array. Never throws.
std::optional<ProbedTitle> parseProbe(std::string_view json, int soundOrdinal);

// Runs ffprobe on `input` (a local path or a URL). Throws EnhanceError:
// "This Mac has no ffprobe, which a TV stream needs." or "ffprobe could not
// read this title: " + ffprobe's last error line.
ProbedTitle probeTitle(const std::string& input, int soundOrdinal);

// The codec names of the subtitle streams in ffprobe's JSON answer, in
// stream order ("" for a stream without one); empty when it is not JSON.
std::vector<std::string> parseSubtitleCodecs(std::string_view json);

// Runs ffprobe to list the subtitle streams of `input`. Throws EnhanceError
// when ffprobe is missing or cannot be started.
std::vector<std::string> subtitleCodecs(const std::string& input);

} // namespace corvel
