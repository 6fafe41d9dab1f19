// The tiled 2x scaler against one run of its engine on the whole picture:
// the same engine, the same picture, cut into the shipped engine's tiles or
// not cut at all. Prints the time per picture of both (median of the timed
// pictures after one warm-up, the two alternating), their ratio, and how far the tiled result
// is from the whole one (luma PSNR, worst code), which shows any seam.
//
//   tiled_overhead <image> [WxH (default 960x544, multiples of 16)] [pictures (3)]
#include "compute/ComputeContext.h"
#include "processing/DevicePicture.h"
#include "processing/TiledScaler.h"
#include "tools/Bench.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace corvel;

namespace {

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Timed {
    std::vector<double> gpu;
    std::vector<double> wall;
    PictureRef result;

    void once(VTTiledScaler& scaler, const PictureRef& input, bool keep) {
        result = scaler.scale(input);
        const ScaleTimes times = scaler.takeBoth();
        if (!keep) return;
        gpu.push_back(times.gpu);
        wall.push_back(times.wall);
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tiled_overhead <image> [WxH] [pictures]\n");
        return 2;
    }
    const auto size = tools::size(argc > 2 ? argv[2] : "960x544");
    const int pictures = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const auto image = tools::loadImage(argv[1]);
    if (!size || !image || size->first % 16 != 0 || size->second % 16 != 0) {
        std::fprintf(stderr, "need a readable image and a size in multiples of 16\n");
        return 2;
    }
    const int w = int(size->first), h = int(size->second);
    PicturePool inputs(w, h, 1, deviceStorage(compute::ComputeContext::shared()));
    PictureRef input = tools::picture(*image, w, h, inputs);

    auto limits = TwoXEngine::defaultLimits();
    VTTiledScaler tiled(w, h, 2 * w, 2 * h, 16, std::make_shared<TwoXEngine>(TwoXEngine::kNetwork, limits));
    limits.maxDimension = 16384;
    limits.maxPixels = int64_t(16384) * 16384;
    VTTiledScaler whole(w, h, 2 * w, 2 * h, 16, std::make_shared<TwoXEngine>(TwoXEngine::kNetwork, limits));

    // One warm-up each (kernel builds, first allocations), then the two
    // alternate picture by picture, so a change in the machine's load
    // falls on both alike.
    Timed a, b;
    a.once(whole, input, false);
    b.once(tiled, input, false);
    for (int i = 0; i < pictures; ++i) {
        a.once(whole, input, true);
        b.once(tiled, input, true);
    }
    const auto la = tools::luma(*a.result);
    const auto lb = tools::luma(*b.result);
    double worst = 0;
    for (size_t i = 0; i < la.size(); ++i) worst = std::max(worst, std::abs(la[i] - lb[i]) * 1023);
    std::printf("%dx%d -> %dx%d, %s, median of %d pictures\n", w, h, 2 * w, 2 * h, TwoXEngine::kNetwork,
                pictures);
    std::printf("whole:  %-50s engine+kernels %9.1f ms  wall %9.1f ms\n", whole.description().c_str(), medianOf(a.gpu),
                medianOf(a.wall));
    std::printf("tiled:  %-50s engine+kernels %9.1f ms  wall %9.1f ms\n", tiled.description().c_str(), medianOf(b.gpu),
                medianOf(b.wall));
    std::printf("tiled / whole: %.2fx (engine+kernels), %.2fx (wall); tiled vs whole luma PSNR %.2f dB, worst %.0f codes\n",
                medianOf(b.gpu) / medianOf(a.gpu), medianOf(b.wall) / medianOf(a.wall), tools::psnr(la, lb),
                worst);
    return 0;
}
