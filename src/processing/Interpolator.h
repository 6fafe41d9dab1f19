#pragma once

#include "compute/ComputeQueue.h"
#include "processing/DevicePicture.h"

#include <memory>
#include <string>

namespace corvel {

// The interpolator's flow size, flow method and cut threshold. The
// defaults are the measured choice (docs/BENCHMARKS.md).
struct InterpolatorTuning {
    int flowLongSide = 960; // the flow's picture is scaled down until its longer side fits
    int preset = 1;         // DIS preset: 0 ultrafast, 1 fast, 2 medium
    // Mean absolute luma difference after warping, in 8-bit levels,
    // above which a pair is a scene cut.
    double cutLevel = 24.0;
    // A pair that continues the last one starts its flows from the last
    // pair's flows instead of from rest.
    bool seedSequential = false;
};

// Makes the picture between two source pictures at a phase: dense optical
// flow (DIS) on the luma at a reduced size, both ways, on the CPU; then one
// kernel on the compute device that warps both pictures toward the phase and
// blends them, with forward/backward consistency for occlusions and a plain
// blend where neither flow holds. A pair that differs too much after warping
// (a scene cut) is not interpolated: `between` gives none, and the caller
// repeats the earlier picture.
//
// Not thread-safe: the pipeline thread calls source and between, and reads
// and zeroes spentMs and calls between pictures.
class Interpolator {
public:
    // How a request relates to the one before: a pair that starts where the
    // last successful one ended is sequential, anything else random.
    enum class Submission { None = 0, Random = 1, Sequential = 2 };

    using Tuning = InterpolatorTuning;

    // Throws EnhanceError: "VTFrameRateConversion does not take WxH." for a
    // size the flow or the pictures cannot have, "No Metal device.", or the
    // kernel's build log.
    Interpolator(int width, int height, std::shared_ptr<compute::ComputeContext> device = {},
                 Tuning tuning = {});
    ~Interpolator();
    Interpolator(const Interpolator&) = delete;
    Interpolator& operator=(const Interpolator&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }

    // A decoded picture as between wants it: the picture itself when it
    // already lives in this interpolator's compute context, else one copy
    // into a picture that does (so that each source picture is copied once
    // however many pairs use it). The copy keeps the colour description.
    // Throws EnhanceError "pixel transfer: -1" for a picture of another
    // size and "pixel buffer: -1" when no picture can be had.
    PictureRef source(const PictureRef& decoded);

    // The picture at tA + (tB - tA) x phase between A (at tA, seconds) and B
    // (at tB), phase clamped to 0 ... 1, with A's colour description; none
    // when the pair is a scene cut or anything fails. Never throws: a
    // failure is one log line, spentMs and calls stay as they were, and
    // lastNextPts goes back to -1 so that the next request is random.
    PictureRef between(const PictureRef& a, double tA, const PictureRef& b, double tB,
                       float phase) noexcept;

    // Presentation time (seconds) of B of the last successful request; -1
    // after a failure or before any.
    double lastNextPts = -1.0;
    double spentMs = 0; // summed wall milliseconds of successful requests
    int calls = 0;      // successful requests counted in spentMs

    // What the last request was (None before any).
    Submission lastSubmission() const { return lastSubmission_; }

    // Running sums for the bench and the tests; never reset by the run.
    struct Figures {
        double flowMs = 0;       // reducing the luma and both flows, wall time
        double synthesisMs = 0;  // the warp/blend kernel, wall time
        long flows = 0;          // flow fields computed (two per new pair)
        long reducedReused = 0;  // reduced pictures taken over from the previous pair
        long cuts = 0;           // pairs found to be scene cuts
    };
    const Figures& figures() const { return figures_; }

    // The flow's working size (for the bench).
    int flowWidth() const;
    int flowHeight() const;

private:
    struct Flow; // the OpenCV side, kept out of this header
    PictureRef make(const PictureRef& a, double tA, const PictureRef& b, double tB, float phase,
                    Submission mode, std::string& failure);

    int width_;
    int height_;
    Tuning tuning_;
    std::shared_ptr<compute::ComputeContext> context_;
    std::unique_ptr<compute::ComputeQueue> queue_;
    compute::Kernel kernel_;
    std::unique_ptr<PicturePool> sourcePool_;
    std::unique_ptr<PicturePool> destinationPool_;
    PictureBinder binderA_;
    PictureBinder binderB_;
    std::unique_ptr<Flow> flow_;
    Submission lastSubmission_ = Submission::None;
    Figures figures_;
    double lastCutPts_ = -1.0; // tA of the last cut that was logged: one line per cut
};

} // namespace corvel
