#include "common/EnhanceError.h"
#include "compute/ComputeQueue.h"
#include "compute/SharedBuffer.h"
#include "processing/KernelSources.h"
#include "processing/ShaderScaler.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace corvel;
using namespace corvel::compute;

// Every kernel source of the program builds on the device, in every variant
// the stages use, and has the entry points they ask for.
TEST(Compute, EveryKernelBuilds) {
    auto context = ComputeContext::shared();
    for (const char* ratios : {"", "-DPHASES_X=3 -DSTEP_X=2 -DPHASES_Y=1 -DSTEP_Y=2"}) {
        cl_program resample = context->program("resample", ShaderScaler::resampleSources(), ratios);
        for (const std::string kind : {"Luma", "Chroma"})
            for (const char* pass :
                 {"resampleRows", "resampleColumns", "resampleRowsPhased", "resampleColumnsPhased"})
                EXPECT_TRUE(context->kernel(resample, (pass + kind).c_str())) << pass << kind;
    }
    cl_program itm = context->program("itm", {kernels::common, kernels::itm});
    EXPECT_TRUE(context->kernel(itm, "itm"));
    cl_program deepen = context->program("deepen", {kernels::common, kernels::deepen});
    EXPECT_TRUE(context->kernel(deepen, "deepen"));
    cl_program interp = context->program("interp", {kernels::common, kernels::interp});
    EXPECT_TRUE(context->kernel(interp, "interp"));
    cl_program tiled = context->program("tiled", {kernels::common, kernels::tiled});
    for (const char* name : {"cropLuma", "cropChroma", "placeLuma", "placeChroma"})
        EXPECT_TRUE(context->kernel(tiled, name));
    // Built once: the same program comes back.
    EXPECT_EQ(context->program("deepen", {kernels::common, kernels::deepen}), deepen);
    EXPECT_THROW(context->kernel(deepen, "nonesuch"), EnhanceError);
}

TEST(Compute, BuildErrorsCarryTheLog) {
    auto context = ComputeContext::shared();
    try {
        context->program("broken", {"__kernel void k(__global int* a) { a[0] = undeclared; }"});
        FAIL();
    } catch (const EnhanceError& e) {
        EXPECT_NE(e.description().find("The compute program broken did not build"),
                  std::string::npos);
        EXPECT_NE(e.description().find("undeclared"), std::string::npos) << e.description();
    }
}

TEST(Compute, DeviceChoiceFallsBackToWhatExists) {
    auto cpu = ComputeContext::create("cpu");
    EXPECT_FALSE(cpu->deviceName().empty());
    // An index out of range or an unknown word takes the default device.
    EXPECT_EQ(ComputeContext::create("99")->deviceName(), ComputeContext::create("")->deviceName());
    EXPECT_EQ(ComputeContext::create("banana")->deviceName(),
              ComputeContext::create("0")->deviceName());
    if (!cpu->isGpu()) {
        EXPECT_TRUE(cpu->zeroCopy());
    }
}

// A kernel sees what the host wrote and the host sees what the kernel wrote,
// in place on zero-copy contexts and through one copy each way otherwise.
TEST(Compute, SharedBuffersCarryDataBothWays) {
    for (Transfer transfer : {Transfer::ZeroCopy, Transfer::Copy}) {
        auto context = ComputeContext::create("cpu", transfer);
        cl_program program = context->program(
            "twice", {"__kernel void twice(__global int* a, int n) {"
                      " int i = get_global_id(0); if (i < n) a[i] *= 2; }"});
        Kernel kernel = context->kernel(program, "twice");
        ComputeQueue queue(context);
        SharedBuffer buffer(context, 100 * sizeof(int));
        int* host = static_cast<int*>(buffer.host());
        void* address = buffer.host();
        for (int i = 0; i < 100; ++i) host[i] = i;
        for (int round = 0; round < 2; ++round) {
            buffer.toDevice(queue);
            setArgs(kernel.get(), buffer.mem(), cl_int{99});
            Event done = queue.run(kernel.get(), 99, 1, 32, 1);
            queue.finish();
            buffer.toHost(queue);
            EXPECT_GE(ComputeQueue::spanMs(done.get(), done.get()), 0.0);
        }
        EXPECT_EQ(buffer.host(), address);
        EXPECT_EQ(host[0], 0);
        EXPECT_EQ(host[98], 98 * 4);
        EXPECT_EQ(host[99], 99); // outside the grid
        // A host write after a device round trip reaches the device again.
        host[1] = 1000;
        buffer.hostChanged();
        buffer.toDevice(queue);
        setArgs(kernel.get(), buffer.mem(), cl_int{2});
        queue.run(kernel.get(), 2, 1);
        queue.finish();
        buffer.toHost(queue);
        EXPECT_EQ(host[1], 2000);
    }
}

// The idle release forgets the built programs: a stage still alive keeps
// running its kernels (each holds its program), and the next request for the
// program builds it afresh.
TEST(Compute, KernelsOutliveForgottenPrograms) {
    auto context = ComputeContext::create("cpu");
    const std::vector<const char*> source = {
        "__kernel void add3(__global int* a) { a[get_global_id(0)] += 3; }"};
    Kernel kernel = context->kernel(context->program("add3", source), "add3");
    context->forgetPrograms();
    ComputeQueue queue(context);
    SharedBuffer buffer(context, 8 * sizeof(int));
    int* host = static_cast<int*>(buffer.host());
    for (int i = 0; i < 8; ++i) host[i] = i;
    buffer.toDevice(queue);
    setArgs(kernel.get(), buffer.mem());
    queue.run(kernel.get(), 8, 1);
    queue.finish();
    buffer.toHost(queue);
    EXPECT_EQ(host[7], 10);

    Kernel again = context->kernel(context->program("add3", source), "add3");
    host[0] = 100;
    buffer.hostChanged();
    buffer.toDevice(queue);
    setArgs(again.get(), buffer.mem());
    queue.run(again.get(), 8, 1);
    queue.finish();
    buffer.toHost(queue);
    EXPECT_EQ(host[0], 103);
    EXPECT_EQ(host[7], 13);
}

// Buffers stay mapped while kernels use them only on the CPU device: a GPU,
// host-unified memory or not, copies unless zero-copy is asked for.
TEST(Compute, OnlyTheCpuDeviceKeepsBuffersMappedByDefault) {
    EXPECT_TRUE(usesZeroCopy(Transfer::Auto, false));
    EXPECT_FALSE(usesZeroCopy(Transfer::Auto, true));
    EXPECT_TRUE(usesZeroCopy(Transfer::ZeroCopy, true));
    EXPECT_FALSE(usesZeroCopy(Transfer::Copy, false));
    // The device here takes the path its kind calls for, and the context
    // made with each mode keeps it.
    auto automatic = ComputeContext::create("");
    EXPECT_EQ(automatic->zeroCopy(), !automatic->isGpu());
    EXPECT_TRUE(ComputeContext::create("", Transfer::ZeroCopy)->zeroCopy());
    EXPECT_FALSE(ComputeContext::create("", Transfer::Copy)->zeroCopy());
}
