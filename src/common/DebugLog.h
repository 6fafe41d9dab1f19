#pragma once

#include <string_view>

namespace corvel {

// Lines for finding where time goes, written only when
// CORVEL_ENHANCE_LOG_LEVEL is exactly "debug" (read on every call, so a test
// may switch it). They go through logf, prefixed "debug: ".
bool debugLogging();
void debugf(std::string_view message);

} // namespace corvel
