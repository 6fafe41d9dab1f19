#pragma once

#include <string>
#include <string_view>

namespace corvel {

// Appends one line, "yyyy-MM-dd HH:mm:ss.SSS " + message + "\n", to the log
// file and, when CORVEL_ENHANCE_LOG_STDERR is exactly "1" (read on every
// call), to standard error. Never fails and never throws. Lines from
// different threads never interleave.
void logf(std::string_view message);

// Where the log file lives when CORVEL_ENHANCE_LOG is not set:
// $XDG_STATE_HOME/Corvel Server/enhancer.log, $XDG_STATE_HOME defaulting to
// $HOME/.local/state.
std::string defaultLogPath();

} // namespace corvel
