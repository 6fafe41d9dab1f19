#pragma once

#include <sys/types.h>

namespace corvel {

// Whether process `pid` exists now (a null signal). A process we may not
// signal (EPERM) exists; a negative or zero pid never names our parent.
bool processExists(pid_t pid);

// What watching a process needs, taken while it is known to exist: a pidfd
// names that process even if its pid is later reused. `pidfd` is -1 where
// the kernel refuses pidfds.
struct ParentHandle {
    pid_t pid = 0;
    int pidfd = -1;
};
ParentHandle holdParent(pid_t pid);

// Watches the process of `parent` from a thread of its own and calls
// `onExit` once when it ends (at once if it has already ended): the pidfd
// polled for readability, or without one, a null signal every 500 ms. False
// when no thread could be started. Start it after anything that forks
// without exec: a child made while this thread starts could inherit a lock
// it holds.
bool watchParent(const ParentHandle& parent, void (*onExit)(pid_t));

} // namespace corvel
