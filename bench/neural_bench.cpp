// Per-picture cost of the AI upscaler at 1920x1080 -> 3840x2160 on the
// compute device, for each shipped network: the network alone and the whole
// picture (pack, network, finish, encode), over the same timed pictures.
//
// Usage: neural_bench SHADER_DIR [pictures [network ...]]: `pictures` timed
// pictures per network (default 3) after one warm-up picture; the networks
// default to all six. Then each network's NeuralScaler::medianMs (a
// warm-up picture, then up to 24 timed; one over 100 ms ends it).
//
//        neural_bench --runner SHADER_DIR [pictures [network ...]]: the
// network alone through NetworkRunner over the grid a 1920x1080 picture
// needs (960 x 544 cells), from random input, exactly what
// training/torch_speed.py gives PyTorch: wall and process CPU milliseconds
// per picture (best of the timed pictures), once for each convolution shape
// (strips, what CPU devices run; work-groups, what GPUs run). The device's
// threads follow POCL_MAX_PTHREAD_COUNT; bench/neural_speed.sh sets it and
// PyTorch's threads alike and runs both side by side. The name
// "truehdr-debander" times the debanding network (shaders/deband) over the
// cells of a 1920x1080 picture's map (480 x 272 in).

#include "compute/ComputeContext.h"
#include "compute/ComputeQueue.h"
#include "processing/DebandWeights.h"
#include "processing/DevicePicture.h"
#include "processing/GreyRamp.h"
#include "processing/NetworkRunner.h"
#include "processing/NeuralScaler.h"
#include "processing/ShaderDirectory.h"
#include "ProcessFigures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

using corvel::bench::processCpuMs;

using namespace corvel;

namespace {

compute::Mem buffer(compute::ComputeContext& context, size_t bytes) {
    cl_int status = CL_SUCCESS;
    compute::Mem mem(clCreateBuffer(context.context(), CL_MEM_READ_WRITE, bytes, nullptr, &status));
    compute::check(status, "clCreateBuffer");
    return mem;
}

void runnerOnly(const std::string& shaders, const std::string& name, int pictures) {
    // The debanding network starts at half its 960x544 map.
    const bool debander = name == "truehdr-debander";
    const int kColumns = debander ? 480 : 960;
    const int kRows = debander ? 272 : 544;
    const NetworkDescription description =
        debander ? DebandWeights::load(shaders + "/deband").network
                 : NetworkDescription::load(shaders + "/vsr/" + name + "-1920x1088.json");
    auto context = compute::ComputeContext::shared();
    compute::ComputeQueue queue(context);
    // Random half floats of either sign, magnitudes 1/8 to 1 (exponent
    // fields 12 to 14 and any mantissa).
    const size_t inputCount = static_cast<size_t>(description.inputChannels) * kRows * kColumns;
    std::vector<uint16_t> input(inputCount);
    std::mt19937 random(1);
    for (uint16_t& v : input) v = static_cast<uint16_t>((random() & 0x8000u) | (0x3000u + random() % 0xc00u));
    compute::Mem in = buffer(*context, inputCount * 2);
    queue.write(in.get(), 0, inputCount * 2, input.data());
    for (auto shape : {NetworkRunner::ConvShape::Strips, NetworkRunner::ConvShape::WorkGroups}) {
        NetworkRunner runner(context, description, kColumns, kRows, shape);
        const int outW = runner.outputSize(kColumns);
        const int outH = runner.outputSize(kRows);
        compute::Mem out = buffer(*context, static_cast<size_t>(description.outputChannels) * outW * outH * 2);
        double wall = 1e30;
        double cpu = 1e30;
        for (int i = 0; i <= pictures; ++i) { // the first builds and warms
            const double c0 = processCpuMs();
            const auto t0 = std::chrono::steady_clock::now();
            runner.run(queue, in.get(), {kColumns, kColumns * kRows}, out.get(), {outW, outW * outH},
                       kColumns, kRows);
            queue.finish();
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            if (i > 0) {
                wall = std::min(wall, ms);
                cpu = std::min(cpu, processCpuMs() - c0);
            }
        }
        std::printf("%-20s ours (%s), %dx%d cells: network %.1f ms wall, %.1f ms CPU per picture "
                    "(best of %d)\n",
                    name.c_str(), shape == NetworkRunner::ConvShape::Strips ? "strips" : "work-groups",
                    kColumns, kRows, wall, cpu, pictures);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    const bool runner = argc > 1 && std::strcmp(argv[1], "--runner") == 0;
    if (runner) {
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: neural_bench [--runner] SHADER_DIR [pictures [network ...]]\n");
        return 2;
    }
    setShaderDirectoryOverride(std::string(argv[1]));
    const int pictures = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::vector<std::string> networks;
    for (int i = 3; i < argc; ++i) networks.emplace_back(argv[i]);
    if (networks.empty())
        networks = {"neural-low", "neural-low-student", "neural-medium", "neural-hb", "neural-hb-student",
                    "neural-hb-medium"};
    std::printf("device: %s\n", compute::ComputeContext::shared()->deviceName().c_str());
    for (const std::string& name : networks) {
        try {
            if (runner) {
                runnerOnly(argv[1], name, pictures);
                continue;
            }
            NeuralScaler scaler(name, 1920, 1080, 3840, 2160);
            PicturePool sources(1920, 1080, 1, deviceStorage(compute::ComputeContext::shared()));
            PictureRef source = sources.take();
            fillGreyRamp(*source);
            scaler.scale(source); // warm-up: first use of every kernel
            scaler.takeBoth();
            for (int i = 0; i < pictures; ++i) scaler.scale(source);
            const ScaleTimes t = scaler.takeBoth();
            std::printf("%-20s grid %dx%d cells: network %.1f ms, whole picture %.1f ms per picture "
                        "(%d pictures)\n",
                        name.c_str(), scaler.gridWidth(), scaler.gridHeight(), t.gpu, t.wall, pictures);
            std::fflush(stdout);
            // What the start-up probe would use to choose a tier.
            const std::optional<double> median = NeuralScaler::medianMs(name);
            if (median) std::printf("%-20s medianMs %.1f ms\n", name.c_str(), *median);
            else std::printf("%-20s medianMs: none (the network failed)\n", name.c_str());
        } catch (const std::exception& error) {
            std::printf("%-20s failed: %s\n", name.c_str(), error.what());
        }
        std::fflush(stdout);
    }
    return 0;
}
