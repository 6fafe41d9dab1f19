#pragma once

#include <CL/cl.h>

#include <memory>
#include <string>
#include <type_traits>

namespace corvel::compute {

// Owning wrappers for OpenCL handles: move-only, released exactly once.
struct MemRelease {
    void operator()(cl_mem m) const { clReleaseMemObject(m); }
};
struct KernelRelease {
    void operator()(cl_kernel k) const { clReleaseKernel(k); }
};
struct ProgramRelease {
    void operator()(cl_program p) const { clReleaseProgram(p); }
};
struct QueueRelease {
    void operator()(cl_command_queue q) const { clReleaseCommandQueue(q); }
};
struct EventRelease {
    void operator()(cl_event e) const { clReleaseEvent(e); }
};
struct ContextRelease {
    void operator()(cl_context c) const { clReleaseContext(c); }
};

using Mem = std::unique_ptr<std::remove_pointer_t<cl_mem>, MemRelease>;
using Kernel = std::unique_ptr<std::remove_pointer_t<cl_kernel>, KernelRelease>;
using Program = std::unique_ptr<std::remove_pointer_t<cl_program>, ProgramRelease>;
using QueueHandle = std::unique_ptr<std::remove_pointer_t<cl_command_queue>, QueueRelease>;
using Event = std::unique_ptr<std::remove_pointer_t<cl_event>, EventRelease>;
using ContextHandle = std::unique_ptr<std::remove_pointer_t<cl_context>, ContextRelease>;

// Throws EnhanceError "OpenCL <call> failed (<status>)." unless status is
// CL_SUCCESS. Every OpenCL call of the program goes through it.
void check(cl_int status, const char* call);

} // namespace corvel::compute
