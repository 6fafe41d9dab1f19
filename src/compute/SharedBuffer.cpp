#include "compute/SharedBuffer.h"

#include "common/EnhanceError.h"

#include <cstdlib>
#include <new>

namespace corvel::compute {

SharedBuffer::SharedBuffer(std::shared_ptr<ComputeContext> context, size_t bytes)
    : context_(std::move(context)), bytes_(bytes == 0 ? 64 : bytes) {
    cl_int status = CL_SUCCESS;
    if (context_->zeroCopy()) {
        mem_.reset(clCreateBuffer(context_->context(), CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR,
                                  bytes_, nullptr, &status));
        if (status != CL_SUCCESS || !mem_) throw std::bad_alloc();
        host_ = context_->mapForever(mem_.get(), bytes_);
        mapped_ = true;
    } else {
        mem_.reset(
            clCreateBuffer(context_->context(), CL_MEM_READ_WRITE, bytes_, nullptr, &status));
        if (status != CL_SUCCESS || !mem_) throw std::bad_alloc();
        host_ = std::aligned_alloc(64, (bytes_ + 63) / 64 * 64);
        if (!host_) throw std::bad_alloc();
    }
}

SharedBuffer::~SharedBuffer() {
    if (mapped_)
        context_->unmap(mem_.get(), host_);
    else
        std::free(host_);
}

void SharedBuffer::toDevice(ComputeQueue& queue) {
    if (mapped_ || deviceCurrent_) return;
    queue.write(mem_.get(), 0, bytes_, host_);
    deviceCurrent_ = true;
}

void SharedBuffer::toHost(ComputeQueue& queue) {
    if (mapped_) return;
    queue.read(mem_.get(), 0, bytes_, host_);
    deviceCurrent_ = true;
}

} // namespace corvel::compute
