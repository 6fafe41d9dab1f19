#pragma once

#include "processing/Picture.h"
#include "processing/PictureScaler.h"
#include "processing/ToneParams.h"
#include "service/Stages.h"
#include "source/StreamInfo.h"

#include <memory>
#include <optional>
#include <string>

namespace corvel {

// The picture stages a run passes every output picture through, in order:
// debanding (source size, 8-bit sources lifted to HDR), deepened blacks
// (source size), the upscaler (source size to output size),
// the HDR lift (output size). Every picture entering the chain is 10-bit
// 4:2:0; each stage takes the previous one's output.
//
// The chain keeps its stage objects between runs and titles (they are
// expensive: device programs, pools) and rebuilds one only when what it was
// made for changes. A new stage joins here: a slot, its line in `prepare`
// (or `startRun` when it is made per run), its place in `apply`, its figure
// in `takeFigures`, and `release` when it is heavy.
//
// Pipeline thread only, except `blacks()`, whose object is shared so that the
// status can read its figures (they are atomics) from another thread.
class StageChain {
  public:
    explicit StageChain(StageFactory factory);

    // Builds or keeps the stages that `info` asks for, at the key's tone:
    // the upscaler for info.upscaler (none when empty), the HDR lift when
    // info.hdr, debanding at the source size when `deband` (the source has 8
    // bits and the title is lifted to HDR or the client lifts it). Logs a
    // "ready" line for every stage it builds. Throws the factory's
    // EnhanceError; stages made before the failing one stay.
    void prepare(const StreamInfo& info, const ToneParams& tone, bool deband = false);

    // The run's own start: the lift takes the run's tone (the look set last).
    void setTone(const ToneParams& tone);
    // Deepened blacks for a run of a title that asks for them: the measure
    // starts afresh. When the stage cannot be made the run goes without it,
    // silently. Without info.blacks the stage is dropped.
    void startRun(const StreamInfo& info);

    // One picture through the chain. Every stage's EnhanceError passes
    // through unchanged. `time` is the picture's output time in seconds.
    PictureRef apply(const PictureRef& picture, double time);

    // Drops every stage and its pools after an idle stop: an idle service
    // holds no pictures. The next run makes what it needs again.
    void release();

    // Per-picture means since the last take, in milliseconds; a figure is
    // absent when its stage is. Resets the stages' counters.
    struct Figures {
        std::optional<double> upMs;
        std::optional<double> hdrMs;
        std::optional<double> debandMs;
        // "; upscaler 1.23 ms a picture; HDR lift ..." for the rate line.
        std::string logText() const;
    };
    Figures takeFigures();

    bool empty() const { return !upscaler_ && !lift_ && !blacks_ && !deband_; }
    const DebandStage* deband() const { return deband_.get(); }
    const PictureScaler* upscaler() const { return upscaler_.get(); }
    const LiftStage* lift() const { return lift_.get(); }
    const std::shared_ptr<BlacksStage>& blacks() const { return blacks_; }

  private:
    void prepareUpscaler(const StreamInfo& info);
    void prepareLift(const StreamInfo& info, const ToneParams& tone);
    void prepareDeband(const StreamInfo& info, bool wanted);

    const StageFactory factory_;
    std::unique_ptr<PictureScaler> upscaler_;
    std::unique_ptr<LiftStage> lift_;
    std::unique_ptr<DebandStage> deband_;
    std::shared_ptr<BlacksStage> blacks_;
    bool firstPicture_ = false; // the next picture is a prepared chain's or a run's first
};

} // namespace corvel
