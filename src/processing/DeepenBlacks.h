#pragma once

#include "compute/ComputeQueue.h"
#include "processing/DevicePicture.h"

#include <mutex>

namespace corvel {

// Deepened blacks: `measure` estimates each picture's black floor from a
// luma histogram of its central region and smooths it over presentation time
// into a bend strength, `lift`; `apply` bends the dark end of luma down by
// that strength on the compute device and scales chroma with it.
//
// The stage thread calls measure and apply in presentation order. `reading`
// may be called from any thread (the status answer): floor and lift are
// guarded by a lock of their own, so the pair read is always one that
// measure stored.
class DeepenBlacks {
public:
    // Throws EnhanceError: "No Metal device." or the kernel's build log.
    explicit DeepenBlacks(std::shared_ptr<compute::ComputeContext> device = {});

    // Reads the luma plane on the CPU (36864 samples) and updates floor,
    // lift and floorPts. `pts` in seconds. Never fails.
    void measure(const Picture& picture, double pts);

    // The picture itself while lift is not above 0; otherwise a new picture
    // with the bend applied. Waits for its device work. Throws EnhanceError.
    PictureRef apply(const PictureRef& picture);

    struct Reading {
        float floor; // smoothed black floor, fraction of the video range; < 0: not measured
        float lift;  // bend strength; 0 disables apply
    };
    Reading reading() const;
    double floorPts() const;
    // Back to "not measured": floor -1, lift 0, floorPts 0 (a new run).
    void reset();

private:
    std::shared_ptr<compute::ComputeContext> context_;
    std::unique_ptr<compute::ComputeQueue> queue_;
    compute::Kernel kernel_;
    std::unique_ptr<PicturePool> pool_; // remade when the picture size changes
    int poolWidth_ = 0;
    int poolHeight_ = 0;
    PictureBinder binder_;

    mutable std::mutex lock_; // guards the three fields below; written by the stage thread
    float floor_ = -1.0f;
    float lift_ = 0.0f;
    double floorPts_ = 0.0;
};

} // namespace corvel
