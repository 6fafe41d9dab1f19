#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace corvel {

// Starts a detached thread named `name` (cut to 15 bytes, the kernel's limit)
// with a stack of `stackBytes`. Returns false when the thread cannot be
// created (out of memory or threads); `body` is then not run.
bool startDetachedThread(const std::string& name, size_t stackBytes, std::function<void()> body);

// A named thread with a chosen stack that is joined on destruction. Throws
// std::system_error when the thread cannot be created.
class JoinableThread {
public:
    JoinableThread(const std::string& name, size_t stackBytes, std::function<void()> body);
    ~JoinableThread();
    JoinableThread(const JoinableThread&) = delete;
    JoinableThread& operator=(const JoinableThread&) = delete;
    void join();

private:
    unsigned long handle_ = 0; // pthread_t
    bool started_ = false;
};

} // namespace corvel
