// The run side of the service: preparation, the frame loop, filing encoded
// pictures into segments, and the watchdog.
#include "common/EnhanceError.h"
#include "common/Fmt.h"
#include "common/Log.h"
#include "output/MediaSegment.h"
#include "service/Fitting.h"
#include "service/Service.h"
#include "source/Decoder.h"

#include <algorithm>
#include <limits>

namespace corvel {

namespace {

std::string errorText(const std::exception& error) {
    if (auto* enhance = dynamic_cast<const EnhanceError*>(&error)) return enhance->description();
    return error.what();
}

} // namespace

bool Service::validRun(int serial) {
    std::lock_guard<std::mutex> guard(mu_);
    return serial == serial_ && !quit_;
}

std::unique_ptr<PictureSource> Service::openSource(const StreamInfo& info) {
    if (info.tv) throw EnhanceError("TV streams are not in this build.");
    return std::make_unique<Decoder>(info.parts, info.partOffsets, kPixelFormatX420);
}

void Service::pipelineLoop() {
    Lock lock(mu_);
    for (;;) {
        if (quit_) return;
        bool p = false, pp = false, rp = false;
        for (;;) {
            p = pending_;
            pp = preparePending_;
            rp = releasePending_;
            if (p || pp || rp) break;
            cv_.wait(lock);
            if (quit_) return;
        }
        releasePending_ = false;
        preparePending_ = false;
        const bool doPrepare = pp && haveKey_; // a preparation without a key is dropped
        if (doPrepare) preparing_ = true;
        pending_ = false;
        Key key = key_;
        key.tone = liveTone_;
        const int serial = serial_;
        const int start = startSegment_;
        const StreamInfo info = info_;
        lock.unlock();

        if (rp) {
            encoder_.reset();
            stages_.upscaler.reset();
            stages_.lift.reset();
        }
        if (doPrepare) prepare(key, info);
        if (p) run(serial, start, key, info);
        lock.lock();
    }
}

void Service::watchdogLoop() {
    Lock lock(mu_);
    while (!quit_) {
        cv_.wait_for(lock, std::chrono::milliseconds(timing_.watchdogStepMs));
        if (quit_) return;
        if (!haveKey_) continue;
        if (monotonicMs() - lastRequestMs_ > timing_.idleMs) {
            logf("service: no request for " + std::to_string(timing_.idleMs / 1000) +
                 " s: run stopped, segments dropped");
            if (running_ || pending_) {
                ++serial_;
                running_ = pending_ = false;
                cv_.notify_all();
            }
            segments_.clear();
            initSegment_.reset();
            haveKey_ = false;
            releasePending_ = true;
            cv_.notify_all();
        }
    }
}

void Service::prepare(const Key& key, const StreamInfo& info) {
    const int64_t t0 = monotonicMs();
    try {
        SourceColor color;
        {
            auto source = openSource(info);
            color = source->sourceColor();
        }
        const EncoderConfig config = encoderConfig(info, color, key.tone, options_);
        if (!encoder_ || !(encoder_->config() == config)) {
            encoder_.reset();
            encoder_ = std::make_unique<Encoder>(config);
        }
        // Frame interpolation joins here when this build has it.
        if (info.upscaler.empty()) {
            stages_.upscaler.reset();
        } else {
            const ScaleMethod m = ScaleMethod::parse(info.upscaler);
            auto& up = stages_.upscaler;
            if (!(up && up->method() == m && up->inWidth() == info.width && up->inHeight() == info.height &&
                  up->outWidth() == info.outWidth && up->outHeight() == info.outHeight)) {
                up.reset();
                up = stageFactory_.upscaler(m, info.width, info.height, info.outWidth, info.outHeight);
                std::string line = "service: upscaler " + m.description() + " " +
                                   std::to_string(info.width) + "x" + std::to_string(info.height) + " -> " +
                                   std::to_string(info.outWidth) + "x" + std::to_string(info.outHeight) +
                                   " ready";
                if (auto licence = up->license()) line += " (licence " + *licence + ")";
                logf(line);
            }
        }
        if (info.hdr) {
            auto& lift = stages_.lift;
            if (lift && lift->width == info.outWidth && lift->height == info.outHeight) {
                lift->setParams(key.tone);
            } else {
                lift.reset();
                lift = stageFactory_.lift(info.outWidth, info.outHeight, key.tone);
                logf("service: HDR lift " + std::to_string(info.outWidth) + "x" +
                     std::to_string(info.outHeight) + " ready (peak " +
                     std::to_string(static_cast<int>(key.tone.peak)) + " nits)");
            }
        } else {
            stages_.lift.reset();
        }
        // Debanding of 8-bit sources joins here when this build has it.
        const EncoderFormat format = encoder_->prime(kPixelFormatX420);
        auto record = hvcC(format);
        if (!record || record->empty()) throw EnhanceError("The encoder gave no hvcC.");
        VideoTrack track;
        track.width = info.outWidth;
        track.height = info.outHeight;
        track.timescale = info.fpsNum;
        track.frameDuration = info.fpsDen;
        track.hvcC = *record;
        track.color = config.color;
        if (info.hdr || info.sourcePq) {
            HDR10Boxes boxes = hdr10Boxes(format);
            track.masteringDisplay = boxes.masteringDisplay;
            track.contentLightLevel = boxes.contentLightLevel;
        }
        auto data = std::make_shared<const std::vector<uint8_t>>(
            makeInitSegment(track, static_cast<uint64_t>(std::max<int64_t>(info.frames, 0))));

        std::lock_guard<std::mutex> guard(mu_);
        preparing_ = false;
        if (key == key_) {
            initSegment_ = data;
            track_ = track;
            logf("service: " + key.item + " fi=" + (key.fi ? "1" : "0") + " up=" + key.up + " prepared in " +
                 std::to_string(monotonicMs() - t0) + " ms (init " + std::to_string(data->size()) +
                 " bytes, " + std::to_string(config.width) + "x" + std::to_string(config.height) + " at " +
                 std::to_string(config.fpsNum) + "/" + std::to_string(config.fpsDen) + ", " +
                 fmt(1, config.bitrate / 1e6) + " Mbit/s)");
        }
        cv_.notify_all();
    } catch (const std::exception& error) {
        std::lock_guard<std::mutex> guard(mu_);
        preparing_ = false;
        lastError_ = errorText(error);
        logf("service: preparing " + key.item + " failed: " + lastError_);
        cv_.notify_all();
    }
}

PictureRef Service::finished(const PictureRef& input, double time) {
    PictureRef picture = input;
    if (!stages_.upscaler && !stages_.lift && !stages_.blacks) return picture;
    // Every picture here is already 10-bit 4:2:0: the decoder makes nothing else.
    if (stages_.blacks) {
        stages_.blacks->measure(*picture, time);
        picture = stages_.blacks->apply(picture);
    }
    if (stages_.upscaler) picture = stages_.upscaler->scale(picture);
    if (stages_.lift) picture = stages_.lift->apply(picture);
    return picture;
}

void Service::encode(Encoder& encoder, const PictureRef& picture, int64_t frame, int gop, int64_t first,
                     int serial) {
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
            logf("service: frame " + std::to_string(frame) + " starts a segment but is not a keyframe");
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
    auto data = std::make_shared<const std::vector<uint8_t>>(
        makeMediaSegment(sequence, outTrack_, segmentFirst_, pictures_, {}));
    pictures_.clear();
    std::lock_guard<std::mutex> guard(mu_);
    if (outSerial_ == serial_) {
        segments_[static_cast<int>(index)] = data;
        trimLocked(std::max(startSegment_, lastAsked_));
        cv_.notify_all();
    }
}

void Service::trimLocked(int around) {
    const int64_t low = static_cast<int64_t>(around) - keepBehind_;
    const int64_t high = static_cast<int64_t>(around) + std::max(options_.ahead, 0) + 5;
    for (auto it = segments_.begin(); it != segments_.end();) {
        if (it->first < low || it->first > high) it = segments_.erase(it);
        else ++it;
    }
}

void Service::run(int serial, int start, const Key& key, const StreamInfo& info) {
    int64_t frames = 0;
    auto fail = [&](const std::string& message) {
        std::lock_guard<std::mutex> guard(mu_);
        logf("service: run from segment " + std::to_string(start) + " stopped: " + message);
        if (serial == serial_) {
            runError_ = message;
            running_ = false;
        }
        lastError_ = message;
        cv_.notify_all();
    };
    auto abortRun = [&] {
        {
            std::lock_guard<std::mutex> out(outMu_);
            outSerial_ = -1;
        }
        if (encoder_) encoder_->completeFrames();
        std::lock_guard<std::mutex> out(outMu_);
        pictures_.clear();
    };
    auto stop = [&] {
        abortRun();
        logf("service: run from segment " + std::to_string(start) + " ended after " + std::to_string(frames) +
             " frames (restarted or stopped)");
    };

    if (stages_.lift) stages_.lift->setParams(key.tone);
    bool needPrepare;
    {
        std::lock_guard<std::mutex> guard(mu_);
        needPrepare = !initSegment_ || !(key == key_);
    }
    if (needPrepare) prepare(key, info);
    if (!validRun(serial)) return;
    VideoTrack track;
    std::string lastError;
    {
        std::lock_guard<std::mutex> guard(mu_);
        track = track_;
        lastError = lastError_;
    }
    if (!encoder_ || track.hvcC.empty()) {
        fail(lastError.empty() ? std::string("The encoder did not open.") : lastError);
        return;
    }
    {
        std::lock_guard<std::mutex> out(outMu_);
        pictures_.clear();
        outGop_ = info.gop;
        outTrack_ = track;
        outSerial_ = serial;
        outSegments_ = info.segments;
    }
    const int64_t first = static_cast<int64_t>(start) * info.gop;
    const double half = 0.5 / info.fps;
    const double startTime = static_cast<double>(first) * info.fpsDen / info.fpsNum;

    std::unique_ptr<PictureSource> source;
    std::optional<DecodedFrame> cur, next;
    try {
        source = openSource(info);
        source->seek(startTime);
        if (!validRun(serial)) return;
        cur = source->read();
        while (cur && cur->pts < startTime - half) {
            if (!validRun(serial)) return;
            cur = source->read();
        }
        next = source->read();
    } catch (const std::exception& error) {
        fail(errorText(error));
        return;
    }
    if (!cur) {
        fail("The title ended before this segment.");
        return;
    }

    if (info.blacks) {
        if (stages_.blacks) {
            stages_.blacks->reset();
        } else {
            try {
                stages_.blacks = stageFactory_.blacks();
            } catch (const std::exception&) {
                stages_.blacks.reset(); // deepened blacks are skipped silently
            }
        }
    } else {
        stages_.blacks.reset();
    }
    {
        std::lock_guard<std::mutex> guard(mu_);
        blacksShown_ = stages_.blacks;
    }

    int64_t intervalStart = monotonicMs();
    int64_t intervalFrames = 0;
    const int ahead = std::max(options_.ahead, 0);
    try {
        for (int64_t f = first; f < info.frames; ++f) {
            const double t = static_cast<double>(f) * info.fpsDen / info.fpsNum;
            while (next && next->pts <= t + half) {
                cur = std::move(next);
                next = source->read();
            }
            const int64_t s = f / info.gop;
            if (f % info.gop == 0) {
                bool willWait;
                {
                    std::lock_guard<std::mutex> guard(mu_);
                    willWait = serial == serial_ && !quit_ && wanted_ + ahead < s;
                }
                if (willWait && f > first) {
                    // The segment before this one is complete. Filing it
                    // waits for the next segment's first picture otherwise,
                    // and that picture is not made until someone asks for
                    // more: a request for the last segment made would stall.
                    encoder_->completeFrames();
                    std::lock_guard<std::mutex> out(outMu_);
                    finishSegmentLocked();
                }
                Lock lock(mu_);
                cv_.wait(lock, [&] { return serial != serial_ || quit_ || wanted_ + ahead >= s; });
            }
            if (!validRun(serial)) {
                stop();
                return;
            }
            PictureRef picture = finished(cur->buffer, t);
            encode(*encoder_, picture, f, info.gop, first, serial);
            if (frames == 0) {
                logf("service: first frame of the run submitted (source " + fmt(3, cur->pts) + " s for " +
                     fmt(3, t) + " s)");
            }
            ++frames;
            ++intervalFrames;
            {
                std::lock_guard<std::mutex> guard(mu_);
                if (serial == serial_) nextFrame_ = f + 1;
            }
            const int64_t now = monotonicMs();
            if (now - intervalStart >= 2000) {
                const double e = static_cast<double>(now - intervalStart);
                const Encoder::Stats stats = encoder_->takeStats();
                const bool hasUp = stages_.upscaler != nullptr, hasLift = stages_.lift != nullptr;
                const double up = hasUp ? stages_.upscaler->takeMs() : 0;
                const double hdr = hasLift ? stages_.lift->takeMs() : 0;
                double fps, mbps;
                {
                    std::lock_guard<std::mutex> guard(mu_);
                    upMs_ = up;
                    hdrMs_ = hdr;
                    encodingFps_ = static_cast<double>(intervalFrames) / (e / 1000.0);
                    mbps_ = stats.pictures < 1 ? 0
                                               : (static_cast<double>(stats.bytes) * 8 / 1e6) /
                                                     (static_cast<double>(stats.pictures) / info.fps);
                    frcMs_ = 0;
                    inBetween_ = 0;
                    repeated_ = 0;
                    fps = encodingFps_;
                    mbps = mbps_;
                }
                std::string line = "service: " + fmt(1, fps) + " frames/s (" + fmt(2, fps / info.fps) +
                                   "x real time) at segment " + std::to_string(s) + "; " + fmt(1, mbps) +
                                   " Mbit/s";
                if (hasUp) line += "; upscaler " + fmt(2, up) + " ms a picture";
                if (hasLift) line += "; HDR lift " + fmt(2, hdr) + " ms a picture";
                logf(line);
                intervalFrames = 0;
                intervalStart = now;
            }
        }
    } catch (const std::exception& error) {
        abortRun();
        fail(errorText(error));
        return;
    }

    // The end of the title.
    encoder_->completeFrames();
    {
        std::lock_guard<std::mutex> out(outMu_);
        finishSegmentLocked();
    }
    std::lock_guard<std::mutex> guard(mu_);
    inBetween_ = 0;
    repeated_ = 0;
    logf("service: run from segment " + std::to_string(start) + " reached the end of the title (" +
         std::to_string(frames) + " frames, 0 in-between, 0 repeated)");
    if (serial == serial_) running_ = false;
    cv_.notify_all();
}

} // namespace corvel
