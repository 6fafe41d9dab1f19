#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace corvel {

// Starts a detached thread named `name` (cut to 15 bytes, the kernel's limit)
// with a stack of `stackBytes`. Returns false when the thread cannot be
// created (out of memory or threads); `body` is then not run.
bool startDetachedThread(const std::string& name, size_t stackBytes, std::function<void()> body);

} // namespace corvel
