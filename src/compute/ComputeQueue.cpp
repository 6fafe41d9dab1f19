#include "compute/ComputeQueue.h"

#include "common/EnhanceError.h"

namespace corvel::compute {

ComputeQueue::ComputeQueue(std::shared_ptr<ComputeContext> context)
    : context_(std::move(context)) {
    cl_int status = CL_SUCCESS;
    queue_.reset(clCreateCommandQueue(context_->context(), context_->device(),
                                      CL_QUEUE_PROFILING_ENABLE, &status));
    check(status, "clCreateCommandQueue");
}

Event ComputeQueue::run(cl_kernel kernel, size_t width, size_t height, size_t localW,
                        size_t localH) {
    size_t global[2] = {width, height};
    size_t local[2] = {localW, localH == 0 ? 1 : localH};
    if (localW != 0) {
        global[0] = (width + local[0] - 1) / local[0] * local[0];
        global[1] = (height + local[1] - 1) / local[1] * local[1];
    }
    cl_event event = nullptr;
    check(clEnqueueNDRangeKernel(queue_.get(), kernel, 2, nullptr, global,
                                 localW == 0 ? nullptr : local, 0, nullptr, &event),
          "clEnqueueNDRangeKernel");
    return Event(event);
}

Event ComputeQueue::copyRect(cl_mem from, size_t fromOffset, size_t fromPitch, cl_mem to,
                             size_t toOffset, size_t toPitch, size_t rowBytes, size_t rows) {
    const size_t fromOrigin[3] = {fromOffset % fromPitch, fromOffset / fromPitch, 0};
    const size_t toOrigin[3] = {toOffset % toPitch, toOffset / toPitch, 0};
    const size_t region[3] = {rowBytes, rows, 1};
    cl_event event = nullptr;
    check(clEnqueueCopyBufferRect(queue_.get(), from, to, fromOrigin, toOrigin, region, fromPitch,
                                  0, toPitch, 0, 0, nullptr, &event),
          "clEnqueueCopyBufferRect");
    return Event(event);
}

void ComputeQueue::write(cl_mem buffer, size_t offset, size_t bytes, const void* from) {
    check(clEnqueueWriteBuffer(queue_.get(), buffer, CL_TRUE, offset, bytes, from, 0, nullptr,
                               nullptr),
          "clEnqueueWriteBuffer");
}

void ComputeQueue::read(cl_mem buffer, size_t offset, size_t bytes, void* to) {
    check(clEnqueueReadBuffer(queue_.get(), buffer, CL_TRUE, offset, bytes, to, 0, nullptr,
                              nullptr),
          "clEnqueueReadBuffer");
}

void ComputeQueue::flush() { check(clFlush(queue_.get()), "clFlush"); }

void ComputeQueue::finish() { check(clFinish(queue_.get()), "clFinish"); }

cl_int ComputeQueue::wait(cl_event event) {
    const cl_int waited = clWaitForEvents(1, &event);
    cl_int status = CL_COMPLETE;
    clGetEventInfo(event, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof(status), &status, nullptr);
    if (status < 0) return status;
    return waited;
}

double ComputeQueue::spanMs(cl_event first, cl_event last) {
    cl_ulong start = 0;
    cl_ulong end = 0;
    check(clGetEventProfilingInfo(first, CL_PROFILING_COMMAND_START, sizeof(start), &start,
                                  nullptr),
          "clGetEventProfilingInfo");
    check(clGetEventProfilingInfo(last, CL_PROFILING_COMMAND_END, sizeof(end), &end, nullptr),
          "clGetEventProfilingInfo");
    return end > start ? static_cast<double>(end - start) / 1e6 : 0.0;
}

} // namespace corvel::compute
