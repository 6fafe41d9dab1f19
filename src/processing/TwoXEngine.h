#pragma once

#include "compute/ComputeQueue.h"
#include "processing/DevicePicture.h"
#include "processing/PictureScaler.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvel {

// An 8-bit 4:2:0 frame in a device buffer: `height` luma rows of `pitch`
// bytes, then height / 2 chroma rows (Cb, Cr interleaved) of the same pitch
// starting at byte `chroma`. Sizes are even.
struct Frame8 {
    compute::Mem mem;
    int width = 0;
    int height = 0;
    int pitch = 0;
    int chroma = 0;

    // A frame of width x height with pitch = width. Throws EnhanceError
    // "No WxH 420v buffer (status)." when the buffer cannot be made.
    static Frame8 make(compute::ComputeContext& context, int width, int height);
};

// A low-latency 2x super-resolution engine on 8-bit 4:2:0 frames, built from
// this project's own AI upscaler: each frame is widened to the pipeline's
// 10-bit layout, doubled by the network, and narrowed back to 8 bits. Like a
// platform scaler it reports what it accepts (largest dimension and pixel
// count, scale factors, formats), so that larger pictures are cut into tiles
// (VTTiledScaler).
//
// Not thread-safe; `scale` waits for its work.
class TwoXEngine {
public:
    struct Limits {
        int maxDimension = 0;       // largest width or height accepted, pixels
        int64_t maxPixels = 0;      // largest width x height accepted
        std::vector<double> factors; // scale factors it offers
        std::vector<std::string> formats; // four-character pixel formats it takes
    };
    // Makes the 10-bit doubling scaler for frames of width x height.
    using ScalerFactory =
        std::function<std::unique_ptr<PictureScaler>(int width, int height)>;

    // The shipped engine: the network `network` of the shader directory's
    // vsr folder, with limits small enough that real pictures are tiled.
    static constexpr const char* kNetwork = "neural-low-student";
    static Limits defaultLimits();

    // `factory` empty: NeuralScaler with `network`.
    TwoXEngine(std::string network = kNetwork, Limits limits = defaultLimits(),
               ScalerFactory factory = {}, std::shared_ptr<compute::ComputeContext> context = {});

    const Limits& limits() const { return limits_; }
    const std::string& network() const { return network_; }
    // Whether the engine can run here: its network's files are in the
    // shader directory (always, with an injected factory).
    bool supported() const;

    // Opens the session for frames of width x height (throws EnhanceError
    // with the scaler's texts).
    void start(int width, int height);
    // Doubles `source` (the session's size) into `destination` (twice it).
    // Waits for the work. Returns the engine's own milliseconds (the
    // scaler's device or network time).
    double scale(const Frame8& source, const Frame8& destination);

private:
    std::string network_;
    Limits limits_;
    ScalerFactory factory_;
    std::shared_ptr<compute::ComputeContext> context_;
    std::unique_ptr<compute::ComputeQueue> queue_;
    compute::Kernel widenLuma_;   // placeLuma over the whole frame
    compute::Kernel widenChroma_; // placeChroma
    compute::Kernel narrowLuma_;  // cropLuma at the origin
    compute::Kernel narrowChroma_;
    std::unique_ptr<PictureScaler> scaler_;
    std::unique_ptr<PicturePool> inputs_;
    PictureBinder binder_;
    int width_ = 0;
    int height_ = 0;
};

// The tile layout of the tiled kernels: three pairs of 32-bit integers
// (input luma pixels, all even).
struct Tile {
    cl_int2 origin;  // top-left of the tile in the input
    cl_int2 coreMin; // first pixel it owns
    cl_int2 coreMax; // end (exclusive) of what it owns
};
static_assert(sizeof(Tile) == 24);

} // namespace corvel
