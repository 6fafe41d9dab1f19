#pragma once

#include <string_view>

namespace corvel {

// Writes all of `bytes` to `fd`, retrying short writes and interrupted
// calls; false as soon as a write fails (the rest is not written).
bool writeAll(int fd, std::string_view bytes);

} // namespace corvel
