#pragma once

#include "compute/ComputeQueue.h"
#include "processing/DevicePicture.h"
#include "processing/HookShader.h"
#include "processing/PictureScaler.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvel {

// The compute-kernel upscaler: resizes both planes of a picture with the
// `resample` kernel (bilinear or Catmull-Rom bicubic), copying a plane
// sample for sample when the sizes are equal. With a hook method the luma
// first runs through the hook shader's passes and its result is brought to
// the output size by Catmull-Rom (copied when it already has that size);
// chroma is then scaled bilinearly.
//
// Not thread-safe: one thread calls scale and the statistics. Outside
// pipelined mode every scale waits for its own device work, so at most one
// picture is in flight.
class ShaderScaler final : public PictureScaler, public BenchScaler {
public:
    // Throws EnhanceError: "No Metal device." without a compute device, the
    // build log when the kernel does not build, the texts of the method
    // checks (a neural method, missing hook shaders), and "No WxH pixel
    // buffer pool." for a size no picture can have.
    ShaderScaler(const ScaleMethod& method, int inWidth, int inHeight, int outWidth, int outHeight,
                 std::shared_ptr<compute::ComputeContext> context = {});

    const ScaleMethod& method() const override { return method_; }
    int inWidth() const override { return inWidth_; }
    int inHeight() const override { return inHeight_; }
    int outWidth() const override { return outWidth_; }
    int outHeight() const override { return outHeight_; }
    std::optional<std::string> license() const override {
        return hook_ ? std::optional<std::string>(hook_->license()) : std::nullopt;
    }
    std::string description() const override { return method_.description(); }

    PictureRef scale(const PictureRef& picture) override;

    using PictureScaler::takeMs;
    double takeMs(bool wall) override;
    ScaleTimes takeBoth() override;
    void drain() override;
    bool pipelined() const override { return pipelined_; }
    void setPipelined(bool on) override { pipelined_ = on; }

    // Destination luma rows made per band of the resize passes (chroma:
    // half as many), rounded to whole periods of a small height ratio; 0
    // makes the whole plane in one band. The float rows between the passes
    // are held for one band only, and the output is the same bit for bit
    // whatever the band. Defaults to CORVEL_ENHANCE_SCALER_BAND_ROWS or
    // kDefaultBandRows, read at construction.
    static constexpr int kDefaultBandRows = 256;
    void setBandRows(int rows);
    int bandRows() const { return bandRows_; }
    // Bytes of the float rows between the passes (one buffer for both
    // planes, sized for the larger band), for tests and benchmarks.
    size_t tempBytes() const { return tempBytes_; }

    // The sources of the resample program, in order: both plane kinds'
    // kernels, named resampleRows, resampleRowsPhased, resampleColumns and
    // resampleColumnsPhased followed by Luma or Chroma. Built with the
    // ratio options (-DPHASES_X=... -DSTEP_X=..., the same for Y) or none.
    static std::vector<const char*> resampleSources();

    // Median device milliseconds per picture for 1920x1080 -> 3840x2160 with
    // the named method over 20 timed runs after 5 warm-up runs; none when the
    // scaler cannot be built or a run fails. Never throws.
    static std::optional<double> medianMs(const std::string& name);

    // Device milliseconds of one inWidth x inHeight -> 2 inWidth x
    // 2 inHeight picture with the named method: the lesser of two timed
    // pictures after one untimed one. None when the scaler cannot be built
    // or a run fails. Never throws. A cheap lower bound of medianMs's
    // figure when the picture is smaller than 1920x1080.
    static std::optional<double> quickMs(const std::string& name, int inWidth, int inHeight);

    // Milliseconds per picture, 1920x1080 -> 3840x2160, of a named method,
    // told the limit the caller compares the figure with (so that a
    // measurement may stop once the comparison is decided); none when the
    // method cannot be measured.
    using Measure = std::function<std::optional<double>(const std::string& name, double limitMs)>;

    // Chooses between two upscaler names by cost: `best` when it takes at
    // most budgetMs, otherwise `fallback` unless it takes more than maxMs
    // (then "" for none). Returns the choice and best's time (0 without
    // one). budgetMs defaults to CORVEL_ENHANCE_UPSCALER_BUDGET_MS or 6.0,
    // maxMs to CORVEL_ENHANCE_UPSCALER_MAX_MS or 12.0, read at each call.
    // `measure` defaults to medianMs; `best` is measured against budgetMs,
    // `fallback` against maxMs, and `fallback` only when `best` misses.
    static std::pair<std::string, double> pick(const std::string& best,
                                               const std::string& fallback,
                                               std::optional<double> budgetMs = std::nullopt,
                                               std::optional<double> maxMs = std::nullopt,
                                               const Measure& measure = {});
    static double defaultBudgetMs();
    static double defaultMaxMs();

private:
    // One band of a plane: destination rows (periods of the phased column
    // pass) from firstOut, outCount of them, made from source rows
    // firstRow ... firstRow + rowCount - 1.
    struct Band {
        int firstOut = 0;
        int outCount = 0;
        int firstRow = 0;
        int rowCount = 0;
    };
    // Plans the bands of both planes and sizes the float buffers for them.
    void planBands();

    // Queues both planes' work from `in` to `to`; returns the first and the
    // last event of it.
    std::pair<compute::Event, compute::Event> submit(const DevicePlanes& in, const DevicePlanes& to);
    // Queues one plane's resize from `in` to `out`; returns the first and
    // last events of that work.
    std::pair<compute::Event, compute::Event> resizePlane(int plane, const DevicePlanes& in,
                                                          const DevicePlanes& out, cl_uint mode);

    ScaleMethod method_;
    int inWidth_;
    int inHeight_;
    int outWidth_;
    int outHeight_;
    std::shared_ptr<compute::ComputeContext> context_;
    std::unique_ptr<compute::ComputeQueue> queue_;
    // Per plane (luma, chroma): the row pass and the column pass, each the
    // phased kernel when that axis has a small ratio, else the general one.
    compute::Kernel rows_[2];
    compute::Kernel columns_[2];
    std::optional<std::pair<int, int>> phasesX_; // (phases, step) of the widths
    std::optional<std::pair<int, int>> phasesY_; // of the heights
    compute::Mem temp_;          // float rows between the passes, one band of either plane
    std::vector<Band> bands_[2]; // per plane, top to bottom
    int bandRows_ = 0;
    size_t tempBytes_ = 0;
    std::unique_ptr<PicturePool> pool_;
    PictureBinder binder_;

    ScaleTally tally_; // device time and submission-to-completion time of finished pictures
    bool pipelined_ = false;
    compute::Event last_; // the last work submitted in pipelined mode
    std::unique_ptr<HookShader> hook_; // hook methods only
    compute::Kernel hookToLuma_;       // hook result -> output luma plane
};

} // namespace corvel
