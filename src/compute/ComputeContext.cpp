#include "compute/ComputeContext.h"
#include "compute/CompilerPages.h"
#include "compute/ProgramBuilder.h"

#include "common/DebugLog.h"
#include "common/EnhanceError.h"
#include "common/Env.h"
#include "common/Log.h"

#include <chrono>
#include <string_view>

namespace corvel::compute {

void check(cl_int status, const char* call) {
    if (status != CL_SUCCESS)
        throw EnhanceError(std::string("OpenCL ") + call + " failed (" + std::to_string(status) +
                           ").");
}

namespace {

struct Candidate {
    cl_device_id device;
    cl_device_type type;
};

std::vector<Candidate> allDevices() {
    std::vector<Candidate> found;
    cl_uint platformCount = 0;
    if (clGetPlatformIDs(0, nullptr, &platformCount) != CL_SUCCESS || platformCount == 0)
        return found;
    std::vector<cl_platform_id> platforms(platformCount);
    if (clGetPlatformIDs(platformCount, platforms.data(), nullptr) != CL_SUCCESS) return found;
    for (cl_platform_id platform : platforms) {
        cl_uint count = 0;
        if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 0, nullptr, &count) != CL_SUCCESS ||
            count == 0)
            continue;
        std::vector<cl_device_id> devices(count);
        if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, count, devices.data(), nullptr) !=
            CL_SUCCESS)
            continue;
        for (cl_device_id d : devices) {
            cl_device_type type = 0;
            clGetDeviceInfo(d, CL_DEVICE_TYPE, sizeof(type), &type, nullptr);
            found.push_back({d, type});
        }
    }
    return found;
}

const Candidate* firstOfType(const std::vector<Candidate>& all, cl_device_type type) {
    for (const Candidate& c : all)
        if (c.type & type) return &c;
    return nullptr;
}

std::string deviceString(cl_device_id device, cl_device_info what) {
    size_t size = 0;
    if (clGetDeviceInfo(device, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
    std::string text(size, '\0');
    clGetDeviceInfo(device, what, size, text.data(), nullptr);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

} // namespace

std::shared_ptr<ComputeContext> ComputeContext::create(const std::string& choice,
                                                       Transfer transfer) {
    const std::vector<Candidate> all = allDevices();
    const Candidate* chosen = nullptr;
    if (choice == "gpu") {
        chosen = firstOfType(all, CL_DEVICE_TYPE_GPU);
    } else if (choice == "cpu") {
        chosen = firstOfType(all, CL_DEVICE_TYPE_CPU);
    } else if (auto index = parseInt(choice); index && *index >= 0 &&
                                              static_cast<size_t>(*index) < all.size()) {
        chosen = &all[static_cast<size_t>(*index)];
    }
    // An unknown word, an index out of range or a missing kind falls back to
    // the default, as every other setting from the environment does.
    if (!chosen) chosen = firstOfType(all, CL_DEVICE_TYPE_GPU);
    if (!chosen) chosen = firstOfType(all, CL_DEVICE_TYPE_CPU);
    if (!chosen && !all.empty()) chosen = &all.front();
    if (!chosen) throw EnhanceError("No Metal device.");

    std::shared_ptr<ComputeContext> ctx(new ComputeContext());
    ctx->device_ = chosen->device;
    ctx->index_ = static_cast<int>(chosen - all.data());
    ctx->gpu_ = (chosen->type & CL_DEVICE_TYPE_GPU) != 0;
    ctx->name_ = deviceString(chosen->device, CL_DEVICE_NAME);
    ctx->driver_ = deviceString(chosen->device, CL_DRIVER_VERSION);
    // Host-unified memory does not make a lasting mapping safe while kernels
    // run: only the CPU device keeps its buffers mapped by default.
    ctx->zeroCopy_ = usesZeroCopy(transfer, ctx->gpu_);

    cl_int status = CL_SUCCESS;
    ctx->context_.reset(clCreateContext(nullptr, 1, &ctx->device_, nullptr, nullptr, &status));
    if (status != CL_SUCCESS || !ctx->context_) throw EnhanceError("No Metal device.");
    ctx->mapQueue_.reset(clCreateCommandQueue(ctx->context_.get(), ctx->device_, 0, &status));
    if (status != CL_SUCCESS || !ctx->mapQueue_) throw EnhanceError("No Metal device.");
    return ctx;
}

namespace {
std::mutex sharedLock;
std::shared_ptr<ComputeContext> sharedInstance; // guarded by sharedLock
int notedAvailability = -1;                      // guarded by sharedLock: -1 none, 0 no, 1 yes
} // namespace

void ComputeContext::noteAvailability(bool available) {
    std::lock_guard guard(sharedLock);
    notedAvailability = available ? 1 : 0;
}

bool ComputeContext::available() {
    {
        std::lock_guard guard(sharedLock);
        if (sharedInstance) return true;
        if (notedAvailability >= 0) return notedAvailability == 1;
    }
    try {
        return shared() != nullptr;
    } catch (const EnhanceError&) {
        return false;
    }
}

bool ComputeContext::loaded() {
    std::lock_guard guard(sharedLock);
    return sharedInstance != nullptr;
}

std::shared_ptr<ComputeContext> ComputeContext::shared() {
    std::lock_guard guard(sharedLock);
    std::shared_ptr<ComputeContext>& instance = sharedInstance;
    if (!instance) {
        const auto begin = std::chrono::steady_clock::now();
        instance = create(env("CORVEL_OPENCL_DEVICE", ""));
        if (notedAvailability >= 0) {
            // The device line was written at start-up by whoever noted the
            // answer; here only when the runtime came in, and its cost.
            debugf("compute: runtime loaded for the first stage in " +
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - begin)
                                      .count()) +
                   " ms");
            return instance;
        }
        logf("upscaler: compute device " + instance->name_ + (instance->gpu_ ? " (GPU" : " (CPU") +
             (instance->zeroCopy_ ? ", shared memory)" : ", copies)"));
    }
    return instance;
}

ComputeContext::~ComputeContext() {
    std::lock_guard guard(lock_);
    programs_.clear();
}

void ComputeContext::forgetPrograms() {
    std::map<std::string, Program> dropped;
    {
        std::lock_guard guard(lock_);
        dropped.swap(programs_);
    }
    // Released outside the lock: the compiler's state for each goes with it.
}

void ComputeContext::forgetSharedPrograms() {
    std::shared_ptr<ComputeContext> instance;
    {
        std::lock_guard guard(sharedLock);
        instance = sharedInstance;
    }
    if (instance) instance->forgetPrograms();
}

cl_program ComputeContext::program(const std::string& name,
                                   const std::vector<const char*>& sources,
                                   const std::string& options) {
    const std::string key = name + '\n' + options;
    std::lock_guard guard(lock_);
    if (auto it = programs_.find(key); it != programs_.end()) return it->second.get();

    buildApartFirst(name, sources, options);
    cl_int status = CL_SUCCESS;
    Program program(clCreateProgramWithSource(context_.get(), static_cast<cl_uint>(sources.size()),
                                              const_cast<const char**>(sources.data()), nullptr,
                                              &status));
    check(status, "clCreateProgramWithSource");
    status = clBuildProgram(program.get(), 1, &device_, options.c_str(), nullptr, nullptr);
    if (status != CL_SUCCESS) {
        size_t size = 0;
        clGetProgramBuildInfo(program.get(), device_, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
        std::string log(size, '\0');
        if (size > 0)
            clGetProgramBuildInfo(program.get(), device_, CL_PROGRAM_BUILD_LOG, size, log.data(),
                                  nullptr);
        while (!log.empty() && (log.back() == '\0' || log.back() == '\n')) log.pop_back();
        throw EnhanceError("The compute program " + name + " did not build (" +
                           std::to_string(status) + "): " + log);
    }
    cl_program raw = program.get();
    programs_.emplace(key, std::move(program));
    // No kernel runs the compiler's code: its pages go back to the page
    // cache until the next build (a few ms of page faults then).
    const auto begin = std::chrono::steady_clock::now();
    const size_t handedBack = handBackCompilerCode();
    if (debugLogging())
        debugf("compute: " + name + " built; " + std::to_string(handedBack >> 20) +
               " MB of compiler code handed back in " +
               std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - begin)
                                  .count()) +
               " us");
    return raw;
}

void ComputeContext::buildApartFirst(const std::string& name, const std::vector<const char*>& sources,
                                     const std::string& options) const {
    if (gpu_) return;
    BuildRequest request{std::to_string(index_), options, {}};
    for (const char* source : sources) request.sources.emplace_back(source);
    const std::string key = buildKey(request, name_ + '\n' + driver_);
    if (builtBefore(key)) return;
    const auto begin = std::chrono::steady_clock::now();
    const bool built = buildApart(request);
    const std::string ms = std::to_string(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count());
    // Once per program and machine (then marked): worth a line, as it is
    // where a first play's extra second goes.
    if (built) {
        noteBuilt(key);
        logf("compute: program " + name + " built for the kernel cache by the program builder in " + ms + " ms");
    } else {
        debugf("compute: program " + name + " not built apart (no builder, or its build failed) after " + ms +
               " ms; built here");
    }
}

Kernel ComputeContext::kernel(cl_program program, const char* name) {
    cl_int status = CL_SUCCESS;
    Kernel kernel(clCreateKernel(program, name, &status));
    if (status != CL_SUCCESS || !kernel)
        throw EnhanceError(std::string("The compute kernel ") + name + " is missing (" +
                           std::to_string(status) + ").");
    return kernel;
}

void* ComputeContext::mapForever(cl_mem buffer, size_t bytes) {
    cl_int status = CL_SUCCESS;
    void* host = clEnqueueMapBuffer(mapQueue_.get(), buffer, CL_TRUE, CL_MAP_READ | CL_MAP_WRITE, 0,
                                    bytes, 0, nullptr, nullptr, &status);
    check(status, "clEnqueueMapBuffer");
    return host;
}

void ComputeContext::unmap(cl_mem buffer, void* host) {
    // Called from destructors: failures are ignored, the buffer is released
    // right after anyway.
    if (clEnqueueUnmapMemObject(mapQueue_.get(), buffer, host, 0, nullptr, nullptr) == CL_SUCCESS)
        clFinish(mapQueue_.get());
}

} // namespace corvel::compute
