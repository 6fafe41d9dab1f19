#pragma once

#include "compute/ComputeContext.h"

#include <cstdint>
#include <memory>
#include <type_traits>

namespace corvel::compute {

// Space in the work-group's local memory, as a kernel argument.
struct LocalBytes {
    size_t bytes;
};

namespace detail {
inline void setArg(cl_kernel kernel, cl_uint index, cl_mem value) {
    check(clSetKernelArg(kernel, index, sizeof(cl_mem), &value), "clSetKernelArg");
}
inline void setArg(cl_kernel kernel, cl_uint index, LocalBytes value) {
    check(clSetKernelArg(kernel, index, value.bytes, nullptr), "clSetKernelArg");
}
template <class T>
    requires std::is_trivially_copyable_v<T> && (!std::is_pointer_v<T>)
inline void setArg(cl_kernel kernel, cl_uint index, const T& value) {
    check(clSetKernelArg(kernel, index, sizeof(T), &value), "clSetKernelArg");
}
} // namespace detail

// Sets a kernel's arguments in order. Scalars keep their C++ type, so pass
// exactly the width the kernel declares (cl_int, cl_uint, cl_float).
template <class... Args>
void setArgs(cl_kernel kernel, const Args&... args) {
    cl_uint index = 0;
    (detail::setArg(kernel, index++, args), ...);
}

// One stage's in-order command queue, with profiling on so that device time
// can be read from the events.
class ComputeQueue {
public:
    explicit ComputeQueue(std::shared_ptr<ComputeContext> context);

    cl_command_queue get() const { return queue_.get(); }
    ComputeContext& context() const { return *context_; }

    // Runs `kernel` over a width x height grid. The grid is rounded up to
    // whole work-groups of localW x localH; kernels return early outside
    // their picture. localW 0 lets the device choose.
    Event run(cl_kernel kernel, size_t width, size_t height, size_t localW = 0,
              size_t localH = 0);
    // Copies a rectangle of `rowBytes` x `rows` between buffers.
    Event copyRect(cl_mem from, size_t fromOffset, size_t fromPitch, cl_mem to, size_t toOffset,
                   size_t toPitch, size_t rowBytes, size_t rows);
    // Blocking host -> device and device -> host copies.
    void write(cl_mem buffer, size_t offset, size_t bytes, const void* from);
    void read(cl_mem buffer, size_t offset, size_t bytes, void* to);
    // Hands queued work to the device without waiting.
    void flush();
    // Waits until everything queued has finished.
    void finish();

    // Waits for `event`; CL_SUCCESS when its work finished, else the failure
    // (the wait's error or the event's negative execution status).
    static cl_int wait(cl_event event);

    // Device milliseconds from the start of `first` to the end of `last`
    // (both finished).
    static double spanMs(cl_event first, cl_event last);

private:
    std::shared_ptr<ComputeContext> context_;
    QueueHandle queue_;
};

} // namespace corvel::compute
