// The encoded side of the run: submitting pictures to the encoders, and, on
// their completion threads, assembling the pictures of each segment and
// filing the finished segments in the store, in order.
//
// Segment-tuned encoding keeps up to `encoderSlots_` encoders at work: the
// pipeline feeds the current one; the ones before it drain the held
// pictures of their segments in the background. Each segment is assembled
// on its own; a segment is filed when the run has submitted all of it
// (sealed), all its completions arrived, and the segment before it is filed.
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
        assembling_.clear();
        outNext_ = start;
        sealing_ = -1;
        sealingCount_ = 0;
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
    // The stopped run's pictures still queued or held are not worth
    // encoding: the next run's first picture would wait behind them.
    for (auto& encoder : draining_) encoder->discard();
    draining_.clear();
    if (encoder_) {
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
    assembling_.clear();
}

void Service::retireDraining(size_t keep) {
    while (draining_.size() > keep) {
        std::unique_ptr<Encoder> oldest = std::move(draining_.front());
        draining_.pop_front();
        oldest->close(); // its segment is filed by its last completion
        carriedStats_ += oldest->takeStats();
    }
}

void Service::handOverEncoder(bool alone) {
    encoder_->finish(); // its held pictures come back on its own thread
    draining_.push_back(std::move(encoder_));
    // The next segment's encoder makes one more at work: beyond the slots,
    // wait for the oldest.
    retireDraining(alone ? 0 : static_cast<size_t>(std::max(encoderSlots_, 1) - 1));
    debugf("encoders held: " + std::to_string(draining_.size() + 1) + " of " + std::to_string(encoderSlots_));
}

void Service::finishOutput() {
    sealSegment(sealing_);
    retireDraining(0);
    if (encoder_) encoder_->completeFrames();
    std::lock_guard<std::mutex> out(outMu_);
    fileReadyLocked();
}

void Service::sealSegment(int64_t segment) {
    if (segment != sealing_ || sealingCount_ == 0) return; // nothing submitted to it
    const int64_t count = sealingCount_;
    sealingCount_ = 0;
    std::lock_guard<std::mutex> out(outMu_);
    Assembly& assembly = assembling_[segment];
    assembly.submitted = count;
    assembly.sealed = true;
    fileReadyLocked();
}

void Service::encode(Encoder& encoder, const PictureRef& picture, int64_t frame, int gop,
                     int64_t first, int serial) {
    const bool key = frame == first || frame % gop == 0;
    // Counted here, without a lock: the count goes with the seal.
    if (frame / gop != sealing_) {
        sealing_ = frame / gop;
        sealingCount_ = 0;
    }
    ++sealingCount_;
    // The encoder lives no longer than this service (the destructor lets it
    // go first), so its completions may file into it directly.
    encoder.encode(picture, key, [this, frame, serial](std::optional<EncodedPicture> encoded) {
        addPicture(std::move(encoded), frame, serial);
    });
}

void Service::addPicture(std::optional<EncodedPicture> picture, int64_t frame, int serial) {
    std::lock_guard<std::mutex> out(outMu_);
    if (serial != outSerial_) return;
    Assembly& assembly = assembling_[frame / outGop_];
    ++assembly.arrived;
    if (picture) {
        const bool starts = frame % outGop_ == 0;
        if (starts && !picture->key) {
            logf("service: frame " + std::to_string(frame) + " starts a segment but is not a keyframe");
            if (assembly.pictures.empty()) picture->key = true;
        } else if (!starts && assembly.pictures.empty()) {
            // The segment's first picture was lost: it starts at this one.
            picture->key = true;
        }
        if (assembly.pictures.empty()) assembly.first = frame;
        assembly.pictures.push_back(std::move(*picture));
    }
    fileReadyLocked();
}

void Service::fileReadyLocked() {
    for (;;) {
        auto found = assembling_.find(outNext_);
        if (found == assembling_.end()) return;
        Assembly& assembly = found->second;
        if (!assembly.sealed || assembly.arrived < assembly.submitted) return;
        finishSegmentLocked(found->first, assembly);
        assembling_.erase(found);
        ++outNext_;
    }
}

void Service::finishSegmentLocked(int64_t index, Assembly& assembly) {
    if (assembly.pictures.empty()) return; // every picture lost: nothing to file
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
        makeMediaSegment(sequence, outTrack_, assembly.first, assembly.pictures, sound));
    assembly.pictures.clear();
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
