// The encoded side of the run: submitting pictures to the encoder, and, on
// the encoder's completion thread, assembling the pictures of a segment and
// filing the finished segment in the store.
#include "common/DebugLog.h"
#include "common/Log.h"
#include "output/MediaSegment.h"
#include "service/Service.h"

#include <algorithm>
#include <limits>

namespace corvel {

void Service::beginOutput(int serial, int start, const StreamInfo& info, const VideoTrack& track) {
    std::shared_ptr<SoundReader> old;
    {
        std::lock_guard<std::mutex> out(outMu_);
        pictures_.clear();
        outGop_ = info.gop;
        outTrack_ = track;
        outSerial_ = serial;
        outSegments_ = info.segments;
        outStart_ = start;
        outTimed_ = false;
        old = std::move(outSound_);
        if (old) old->stop();
        if (info.tv && info.sound) {
            const double from = static_cast<double>(start) * info.gop * info.fpsDen / info.fpsNum;
            outSound_ = std::make_shared<SoundReader>(info, *info.sound, from);
        }
    }
    old.reset(); // joins the old reader's thread outside the lock
}

void Service::endSound() {
    std::shared_ptr<SoundReader> sound;
    {
        std::lock_guard<std::mutex> out(outMu_);
        sound = std::move(outSound_);
    }
    sound.reset(); // ends its ffmpeg and joins its thread outside the lock
}

void Service::abortOutput() {
    {
        std::lock_guard<std::mutex> out(outMu_);
        outSerial_ = -1; // later pictures of this run are ignored
        if (outSound_) outSound_->stop(); // kept (stopped) until the next run replaces it
    }
    if (encoder_) {
        // The stopped run's pictures still queued are not worth encoding:
        // the next run's first picture would wait behind them.
        if (encoder_->config().segmentTuned) {
            // It holds pictures back; draining it would encode them for
            // nothing. The next run opens a new one anyway.
            encoder_->discard();
        } else {
            const size_t dropped = encoder_->abandonQueued();
            if (dropped > 0) debugf("restart: " + std::to_string(dropped) + " queued pictures dropped unencoded");
        }
        encoder_->completeFrames();
    }
    std::lock_guard<std::mutex> out(outMu_);
    pictures_.clear();
}

void Service::finishOutput() {
    encoder_->completeFrames();
    std::lock_guard<std::mutex> out(outMu_);
    finishSegmentLocked();
}

void Service::encode(Encoder& encoder, const PictureRef& picture, int64_t frame, int gop,
                     int64_t first, int serial) {
    const bool key = frame == first || frame % gop == 0;
    // The encoder lives no longer than this service (the destructor lets it
    // go first), so its completions may file into it directly.
    encoder.encode(*picture, key, [this, frame, serial](std::optional<EncodedPicture> encoded) {
        if (encoded) addPicture(std::move(*encoded), frame, serial);
    });
}

void Service::addPicture(EncodedPicture picture, int64_t frame, int serial) {
    std::lock_guard<std::mutex> out(outMu_);
    if (serial != outSerial_) return;
    const bool starts = frame % outGop_ == 0;
    if (!pictures_.empty() && starts) finishSegmentLocked();
    if (pictures_.empty()) segmentFirst_ = frame;
    if (starts) {
        if (!picture.key) {
            logf("service: frame " + std::to_string(frame) +
                 " starts a segment but is not a keyframe");
            if (pictures_.empty()) picture.key = true;
        }
    } else if (pictures_.empty()) {
        picture.key = true;
    }
    pictures_.push_back(std::move(picture));
}

void Service::finishSegmentLocked() {
    if (pictures_.empty()) return;
    const int64_t index = segmentFirst_ / outGop_;
    const auto sequence = static_cast<uint32_t>(index + 1);
    std::vector<SoundSample> sound;
    if (outSound_) {
        // One segment's span in 1/48000 s; the last segment takes the rest.
        const int64_t ticks =
            static_cast<int64_t>(outGop_) * outTrack_.frameDuration * 48000 / outTrack_.timescale;
        const int64_t from = index * ticks;
        const int64_t to = index + 1 < outSegments_ ? from + ticks : std::numeric_limits<int64_t>::max();
        sound = outSound_->take(from, to, 3000);
    }
    auto data = std::make_shared<const std::vector<uint8_t>>(
        makeMediaSegment(sequence, outTrack_, segmentFirst_, pictures_, sound));
    pictures_.clear();
    std::lock_guard<std::mutex> guard(mu_);
    // A segment of a run that was replaced meanwhile is made and thrown away.
    if (outSerial_ == serial_) {
        const int64_t sinceAsked = monotonicMs() - runAskedMs_;
        debugf("segment " + std::to_string(index) + " filed " + std::to_string(sinceAsked) +
               " ms after its run was asked for (" + std::to_string(data->size()) + " bytes)");
        if (outTimed_ && index == outStart_) restartCostMs_ = static_cast<double>(sinceAsked);
        store_.file(static_cast<int>(index), data); // wakes the waiters
        store_.trim(std::max(startSegment_, lastAsked_));
    }
}

} // namespace corvel
