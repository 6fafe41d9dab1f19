#pragma once

#include "compute/Handles.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvel::compute {

// How pictures reach the device. ZeroCopy: buffers live in host-visible
// memory, mapped for their whole life, that the device reads and writes in
// place. Copy: each buffer has a host copy and a device copy, moved at most
// once each way per picture.
//
// OpenCL leaves it undefined what a kernel sees of a buffer that is mapped
// while it runs, so Auto takes ZeroCopy only where that is safe by
// construction: a CPU device, whose kernels run on the host's own cores over
// the very memory the host maps (no second copy, no device cache to keep
// coherent). Every GPU copies, host-unified memory or not; ZeroCopy on a GPU
// must be asked for.
enum class Transfer { Auto, ZeroCopy, Copy };

// Whether buffers of a device of this kind stay mapped for good (true) or
// move by copies (false) under `transfer`.
inline bool usesZeroCopy(Transfer transfer, bool gpu) {
    switch (transfer) {
    case Transfer::ZeroCopy: return true;
    case Transfer::Copy: return false;
    case Transfer::Auto: break;
    }
    return !gpu;
}

// The one OpenCL device and context of the process, and the programs built
// on it. Thread-safe; stages and buffers hold it by shared_ptr so that it
// outlives them.
class ComputeContext {
public:
    // `choice`: "gpu" (the first GPU), "cpu" (the first CPU device), a device
    // index counted over all platforms, or anything else for the default:
    // the first GPU device, else the first CPU device, else any device.
    // Throws EnhanceError "No Metal device." when there is no device at all.
    static std::shared_ptr<ComputeContext> create(const std::string& choice,
                                                  Transfer transfer = Transfer::Auto);

    // The process-wide context for CORVEL_OPENCL_DEVICE, made on first use.
    // A failed attempt is not remembered: the next call tries again.
    static std::shared_ptr<ComputeContext> shared();

    // Whether `shared` gives a device. Loading the compute runtime maps its
    // compiler libraries (about 60 MB resident on the CPU device) for the
    // rest of the process, so a process that only needs the answer can have
    // it found elsewhere (a child at start-up) and noted here: `available`
    // then answers from the note while the shared context has not been made,
    // and loads nothing. Without a note it makes the shared context.
    static void noteAvailability(bool available);
    static bool available();
    // Whether the shared context has been made in this process.
    static bool loaded();

    ~ComputeContext();
    ComputeContext(const ComputeContext&) = delete;
    ComputeContext& operator=(const ComputeContext&) = delete;

    cl_context context() const { return context_.get(); }
    cl_device_id device() const { return device_; }
    const std::string& deviceName() const { return name_; }
    bool isGpu() const { return gpu_; }
    bool zeroCopy() const { return zeroCopy_; }

    // The program made of `sources` joined in order and built with
    // `options`, built once per (name, options) and kept for the process.
    // A build failure throws EnhanceError naming the program, with the
    // compiler's log.
    cl_program program(const std::string& name, const std::vector<const char*>& sources,
                       const std::string& options = "");
    // Drops the built programs. A kernel holds its program, so live stages
    // keep working; the next stage made builds its program again. On a CPU
    // device a built program holds its compiled code and the compiler's
    // state for it (tens of MB each), which an idle service has no use for.
    // Only while no stage is being made: a program just handed out by
    // `program` is released before its kernels are made.
    void forgetPrograms();
    // forgetPrograms on the process-wide context, when it has been made.
    static void forgetSharedPrograms();

    // On the CPU device, has a short-lived child process build `sources`
    // with `options` first (see ProgramBuilder.h), so that this process's
    // own build of them finds them in the kernel cache and its compiler
    // keeps nothing; on a GPU, or without the builder, does nothing.
    // `program` does it; a caller that builds a program itself calls it
    // before clBuildProgram.
    // `name` is for the log line.
    void buildApartFirst(const std::string& name, const std::vector<const char*>& sources,
                         const std::string& options) const;

    // A new kernel object (each stage needs its own: setting arguments is not
    // thread-safe on a shared one).
    Kernel kernel(cl_program program, const char* name);

    // Blocking map and unmap for buffers that stay mapped for their lifetime,
    // on a queue of the context's own. Thread-safe.
    void* mapForever(cl_mem buffer, size_t bytes);
    void unmap(cl_mem buffer, void* host);

private:
    ComputeContext() = default;

    ContextHandle context_;
    cl_device_id device_ = nullptr;
    int index_ = 0; // the device's index over every platform's devices
    std::string name_;
    std::string driver_; // CL_DRIVER_VERSION
    bool gpu_ = false;
    bool zeroCopy_ = true;
    QueueHandle mapQueue_; // for mapForever/unmap only

    std::mutex lock_; // guards programs_
    std::map<std::string, Program> programs_;
};

} // namespace corvel::compute
