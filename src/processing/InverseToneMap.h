#pragma once

#include "compute/ComputeQueue.h"
#include "processing/DevicePicture.h"
#include "processing/ToneParams.h"

namespace corvel {

// The SDR-to-HDR10 lift, the last picture stage: SDR Y'CbCr (BT.709, or
// BT.601 with params.bt601) in, BT.2020 / PQ / BT.2020 Y'CbCr out, video
// range, same size, in one kernel dispatch per picture.
//
// Not thread-safe: the stage thread calls apply, replaces `params` between
// pictures and reads and zeroes the statistics.
class InverseToneMap {
public:
    // Throws EnhanceError: "No Metal device.", the kernel's build log, or
    // "No WxH HDR pixel buffer pool." for a size no picture can have.
    InverseToneMap(int width, int height, const ToneParams& params,
                   std::shared_ptr<compute::ComputeContext> device = {});

    int width() const { return width_; }
    int height() const { return height_; }

    // A new HDR10 picture from a width x height SDR picture. The input's
    // colour description is not copied: the output says BT.2020, PQ,
    // BT.2020. Waits for its device work. Throws EnhanceError.
    PictureRef apply(const PictureRef& picture);

    // Mean device milliseconds per picture since the last call (0 before
    // any), then zeroes gpuMs and calls.
    double takeMs();

    ToneParams params; // read at every picture
    double gpuMs = 0;  // summed device time of finished pictures
    int calls = 0;     // pictures counted in gpuMs

private:
    int width_;
    int height_;
    std::shared_ptr<compute::ComputeContext> context_;
    std::unique_ptr<compute::ComputeQueue> queue_;
    compute::Kernel kernel_;
    std::unique_ptr<PicturePool> pool_;
    PictureBinder binder_;
};

} // namespace corvel
