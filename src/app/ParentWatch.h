#pragma once

#include <sys/types.h>

namespace corvel {

// Whether process `pid` exists now (a null signal). A process we may not
// signal (EPERM) exists; a negative or zero pid never names our parent.
bool processExists(pid_t pid);

// Watches `pid` from a thread of its own and calls `onExit` once when the
// process ends: a pidfd polled for readability, or, where the kernel refuses
// pidfds, a null signal every 500 ms. False when no thread could be started.
bool watchParent(pid_t pid, void (*onExit)(pid_t));

} // namespace corvel
