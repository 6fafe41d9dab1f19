#pragma once

#include <spawn.h>

#include <initializer_list>

namespace corvel {

// Initialises `attributes` for a child process that starts with no signal
// blocked and the default action for each signal of `defaulted`: the
// service ignores SIGPIPE, and an ignored signal survives exec. The caller
// destroys them (posix_spawnattr_destroy).
void initChildSignals(posix_spawnattr_t& attributes, std::initializer_list<int> defaulted);

} // namespace corvel
