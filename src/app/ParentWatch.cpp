#include "app/ParentWatch.h"

#include "common/Thread.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace corvel {

bool processExists(pid_t pid) {
    if (pid <= 0) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

ParentHandle holdParent(pid_t pid) {
    return {pid, static_cast<int>(syscall(SYS_pidfd_open, pid, 0))};
}

bool watchParent(const ParentHandle& parent, void (*onExit)(pid_t)) {
    const pid_t pid = parent.pid;
    const int pidfd = parent.pidfd;
    return startDetachedThread("parent-watch", 256 * 1024, [pid, pidfd, onExit] {
        if (pidfd >= 0) {
            pollfd fd{pidfd, POLLIN, 0};
            for (;;) {
                int n = poll(&fd, 1, -1);
                if (n > 0) break;
                if (n < 0 && errno != EINTR) break; // cannot wait: fall back to polling
            }
            if (fd.revents & POLLIN) {
                onExit(pid);
                return;
            }
        }
        while (processExists(pid)) std::this_thread::sleep_for(std::chrono::milliseconds(500));
        onExit(pid);
    });
}

} // namespace corvel
