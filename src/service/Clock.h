#pragma once

#include <cstdint>

namespace corvel {

// Monotonic milliseconds (whole, truncated): the clock of every deadline,
// interval and idle time of the service.
int64_t monotonicMs();

} // namespace corvel
