// Per-picture cost of the AI upscaler at 1920x1080 -> 3840x2160 on the
// compute device, for each shipped network: the network alone and the whole
// picture (pack, network, finish, encode), over the same timed pictures.
//
// Usage: neural_bench SHADER_DIR [pictures [network ...]]: `pictures` timed
// pictures per network (default 3) after one warm-up picture; the networks
// default to all six. bench/neural_speed.sh runs this and PyTorch on the same
// networks and input size in one go.

#include "compute/ComputeContext.h"
#include "processing/DevicePicture.h"
#include "processing/GreyRamp.h"
#include "processing/NeuralScaler.h"
#include "processing/ShaderDirectory.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace corvel;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: neural_bench SHADER_DIR [pictures [network ...]]\n");
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
        } catch (const std::exception& error) {
            std::printf("%-20s failed: %s\n", name.c_str(), error.what());
        }
        std::fflush(stdout);
    }
    return 0;
}
