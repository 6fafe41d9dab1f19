#pragma once

#include "compute/ComputeQueue.h"

#include <cstddef>
#include <memory>

namespace corvel::compute {

// A buffer that both the host and the device use, at a fixed host address
// for its lifetime.
//
// Zero-copy contexts (the CPU device, see usesZeroCopy): the buffer is made
// in host-visible memory (CL_MEM_ALLOC_HOST_PTR) and mapped once for good;
// the device reads and writes those very bytes. The host must not touch them
// while queued work uses the buffer: every stage waits for its work before
// handing a picture on.
//
// Copy contexts (every GPU unless told otherwise): a device buffer plus
// aligned host memory; the device never works on a mapped buffer.
// `toDevice` uploads when the host copy is newer, `toHost` downloads after
// kernels wrote it, so a picture moves at most once each way.
class SharedBuffer {
public:
    SharedBuffer(std::shared_ptr<ComputeContext> context, size_t bytes);
    ~SharedBuffer();
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;

    void* host() const { return host_; }
    cl_mem mem() const { return mem_.get(); }
    size_t bytes() const { return bytes_; }
    const ComputeContext& context() const { return *context_; }

    // The host copy was (or is about to be) written: the next device use
    // uploads it. Nothing to do on zero-copy contexts.
    void hostChanged() { deviceCurrent_ = false; }
    // Makes the device copy current (one upload at most).
    void toDevice(ComputeQueue& queue);
    // Kernels wrote the device copy: make the host copy current (one
    // download on copy contexts; nothing on zero-copy ones).
    void toHost(ComputeQueue& queue);

private:
    std::shared_ptr<ComputeContext> context_;
    size_t bytes_;
    Mem mem_;
    void* host_ = nullptr;
    bool mapped_ = false;         // zero-copy: host_ is the lasting mapping
    bool deviceCurrent_ = false;  // copy contexts: the device copy matches the host copy
};

} // namespace corvel::compute
