#pragma once

#include "compute/ComputeQueue.h"
#include "processing/DevicePicture.h"
#include "processing/NetworkRunner.h"
#include "processing/PictureScaler.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace corvel {

// The AI upscaler: doubles a picture with a network that predicts a residual
// over a bicubic 2x enlargement, then brings the result to the output size
// and back to Y'CbCr. The network comes from the shader directory
// (vsr/NAME-WxH.json and the weight file it names); W x H is the model size
// for the input (neuralModelSize).
//
// The network's tensors cover the cells of the picture plus the network's
// reach, not the whole model size: the model's extra rows and columns only
// repeat the picture's edge, and cells further than the reach cannot change
// the picture's own pixels, so the result is the same for less work.
//
// Not thread-safe: one thread calls scale and the statistics. Every scale
// waits for its own device work.
class NeuralScaler final : public PictureScaler, public BenchScaler {
public:
    // Throws EnhanceError with the texts of construction: too large an
    // input, a missing model (its name in the message), "No Metal device.",
    // a description or weight file that cannot be used (the loader's
    // sentence), "No WxH pixel buffer pool." for an unusable output size.
    NeuralScaler(const std::string& network, int inWidth, int inHeight, int outWidth, int outHeight,
                 std::shared_ptr<compute::ComputeContext> context = {});

    const ScaleMethod& method() const override { return method_; }
    const std::string& network() const { return network_; }
    int inWidth() const override { return inWidth_; }
    int inHeight() const override { return inHeight_; }
    int outWidth() const override { return outWidth_; }
    int outHeight() const override { return outHeight_; }
    int modelWidth() const { return modelWidth_; }
    int modelHeight() const { return modelHeight_; }
    int packing() const { return f_; }
    // The cell grid the network runs over (see the class comment).
    int gridWidth() const { return gw_; }
    int gridHeight() const { return gh_; }
    // The licence written in the network's description.
    std::optional<std::string> license() const override { return license_; }
    // The network name followed by ", Neural Engine".
    std::string description() const override { return method_.description(); }

    PictureRef scale(const PictureRef& picture) override;

    using PictureScaler::takeMs;
    // Network time per picture, or whole pictures with `wall`; resets.
    double takeMs(bool wall) override;
    // (network, whole picture) per picture; resets.
    ScaleTimes takeBoth() override;
    void drain() override {}
    bool pipelined() const override { return pipelined_; }
    void setPipelined(bool on) override { pipelined_ = on; } // no effect: scale always waits

    // Median milliseconds of whole pictures, 1920x1080 -> 3840x2160 with the
    // network; a picture over 100 ms ends the measurement with its time.
    // None when the scaler cannot be built or a picture fails. Never throws.
    static std::optional<double> medianMs(const std::string& network);

    // Milliseconds of one whole inWidth x inHeight -> 2 inWidth x
    // 2 inHeight picture with the network: the lesser of two timed pictures
    // after one untimed one. None when the scaler cannot be built or a
    // picture fails. Never throws. A cheap lower bound of medianMs's figure
    // when the picture is smaller than 1920x1080.
    static std::optional<double> quickMs(const std::string& network, int inWidth, int inHeight);

    // (kr, kb) for the picture's Y'CbCr matrix: BT.601, BT.2020, else BT.709.
    static std::pair<float, float> coefficients(const Picture& picture);

    // The intermediate pictures, for tests: R'G'B'A in -1 ... 1 at the input
    // size and the network's 2x result in 0 ... 1, four half floats a pixel;
    // the network's input tensor (channels x gridHeight x gridWidth).
    std::vector<uint16_t> readBase();
    std::vector<uint16_t> readUp();
    std::vector<uint16_t> readInput();

private:
    void waitFor(cl_event event);

    ScaleMethod method_;
    std::string network_;
    int inWidth_;
    int inHeight_;
    int outWidth_;
    int outHeight_;
    int modelWidth_ = 0;
    int modelHeight_ = 0;
    int f_ = 2;
    int gw_ = 0; // cells the tensors hold across
    int gh_ = 0; // and down
    bool pipelined_ = false;
    std::optional<std::string> license_;
    std::shared_ptr<compute::ComputeContext> context_;
    std::unique_ptr<compute::ComputeQueue> queue_;
    compute::Kernel pack_;
    compute::Kernel finish_;
    compute::Kernel encode_;
    std::unique_ptr<PicturePool> pool_;
    PictureBinder binder_;
    std::unique_ptr<NetworkRunner> runner_;
    compute::Mem input_;  // x: 16 or 48 channels over gw x gh, half floats
    compute::Mem output_; // residual: 12 f^2 channels over gw x gh
    compute::Mem base_;   // inWidth x inHeight x 4 half floats
    compute::Mem up_;     // 2 inWidth x 2 inHeight x 4 half floats

    ScaleTally tally_; // the network alone, and whole scale calls
};

} // namespace corvel
