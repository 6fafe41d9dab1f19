#include "service/StageChain.h"

#include "common/Fmt.h"
#include "common/Log.h"
#include "compute/CompilerPages.h"
#include "processing/ScaleMethod.h"

namespace corvel {

StageChain::StageChain(StageFactory factory) : factory_(std::move(factory)) {}

void StageChain::prepare(const StreamInfo& info, const ToneParams& tone, bool deband) {
    // Frame interpolation is not a stage of this chain: it chooses the
    // pictures that enter it.
    prepareUpscaler(info);
    prepareLift(info, tone);
    prepareDeband(info, deband);
    firstPicture_ = true;
}

void StageChain::prepareDeband(const StreamInfo& info, bool wanted) {
    if (!wanted || !factory_.deband) {
        deband_.reset();
        return;
    }
    if (deband_ && deband_->width == info.width && deband_->height == info.height) return;
    deband_.reset();
    deband_ = factory_.deband(info.width, info.height);
    logf("service: debanding " + std::to_string(info.width) + "x" + std::to_string(info.height) +
         " ready (" + deband_->way() + ")");
}

void StageChain::prepareUpscaler(const StreamInfo& info) {
    if (info.upscaler.empty()) {
        upscaler_.reset();
        return;
    }
    const ScaleMethod m = ScaleMethod::parse(info.upscaler);
    auto& up = upscaler_;
    if (up && up->method() == m && up->inWidth() == info.width && up->inHeight() == info.height &&
        up->outWidth() == info.outWidth && up->outHeight() == info.outHeight)
        return;
    // Dropped before the new one is made: two at once would hold both sets
    // of device buffers.
    up.reset();
    up = factory_.upscaler(m, info.width, info.height, info.outWidth, info.outHeight);
    std::string line = "service: upscaler " + m.description() + " " + std::to_string(info.width) +
                       "x" + std::to_string(info.height) + " -> " + std::to_string(info.outWidth) +
                       "x" + std::to_string(info.outHeight) + " ready";
    if (auto licence = up->license()) line += " (licence " + *licence + ")";
    logf(line);
}

void StageChain::prepareLift(const StreamInfo& info, const ToneParams& tone) {
    if (!info.hdr) {
        lift_.reset();
        return;
    }
    if (lift_ && lift_->width == info.outWidth && lift_->height == info.outHeight) {
        lift_->setParams(tone);
        return;
    }
    lift_.reset();
    lift_ = factory_.lift(info.outWidth, info.outHeight, tone);
    logf("service: HDR lift " + std::to_string(info.outWidth) + "x" +
         std::to_string(info.outHeight) + " ready (peak " +
         std::to_string(static_cast<int>(tone.peak)) + " nits)");
}

void StageChain::setTone(const ToneParams& tone) {
    if (lift_) lift_->setParams(tone);
}

void StageChain::startRun(const StreamInfo& info) {
    firstPicture_ = true;
    if (!info.blacks) {
        blacks_.reset();
        return;
    }
    if (blacks_) {
        blacks_->reset();
        return;
    }
    try {
        blacks_ = factory_.blacks();
    } catch (const std::exception&) {
        blacks_.reset(); // deepened blacks are skipped silently
    }
}

PictureRef StageChain::apply(const PictureRef& input, double time) {
    PictureRef picture = input;
    if (empty()) return picture;
    // Every picture here is already 10-bit 4:2:0: the decoder makes nothing else.
    if (deband_) picture = deband_->apply(picture);
    if (blacks_) {
        blacks_->measure(*picture, time);
        picture = blacks_->apply(picture);
    }
    if (upscaler_) picture = upscaler_->scale(picture);
    if (lift_) picture = lift_->apply(picture);
    if (firstPicture_) {
        // A kernel's first run on the CPU device may compile its code for
        // the launch's shape (kept in the kernel cache), running the
        // compiler's code: its pages go back to the page cache, as after a
        // program build, before the run grows to its peak.
        firstPicture_ = false;
        compute::handBackCompilerCode();
    }
    return picture;
}

void StageChain::release() {
    upscaler_.reset();
    lift_.reset();
    deband_.reset();
    blacks_.reset();
}

StageChain::Figures StageChain::takeFigures() {
    Figures figures;
    if (upscaler_) figures.upMs = upscaler_->takeMs();
    if (lift_) figures.hdrMs = lift_->takeMs();
    if (deband_) figures.debandMs = deband_->takeMs();
    return figures;
}

std::string StageChain::Figures::logText() const {
    std::string text;
    if (upMs) text += "; upscaler " + fmt(2, *upMs) + " ms a picture";
    if (hdrMs) text += "; HDR lift " + fmt(2, *hdrMs) + " ms a picture";
    if (debandMs) text += "; deband " + fmt(2, *debandMs) + " ms a picture";
    return text;
}

} // namespace corvel
