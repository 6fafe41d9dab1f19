// The run side of the service: the pipeline loop, preparation, the frame
// loop (seek and skip, frame choice, pacing, reports) and the watchdog.
#include "common/DebugLog.h"
#include "common/EnhanceError.h"
#include "common/Fmt.h"
#include "common/Log.h"
#include "compute/ComputeContext.h"
#include "output/MediaSegment.h"
#include "service/Fitting.h"
#include "service/Service.h"
#include "source/Decoder.h"
#include "source/FFmpegPictures.h"
#include "source/FFmpegTool.h"
#include "source/HTTPClient.h"
#include "source/SourceCursor.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <malloc.h>

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
    if (info.tv) return std::make_unique<FFmpegPictures>(info);
    auto decoder = std::make_unique<Decoder>(info.parts, info.partOffsets, kPixelFormatX420);
    decoder->setPictureSize(info.width, info.height); // parts of another size are brought to it
    return decoder;
}

namespace {

// What a kept source must match to be used again: the same parts, brought
// to the same picture size.
std::string sourceIdentity(const StreamInfo& info) {
    std::string identity = std::to_string(info.width) + "x" + std::to_string(info.height);
    for (size_t i = 0; i < info.parts.size(); ++i) {
        identity += "\n" + info.parts[i].url + " " + fmt(6, info.parts[i].durationSec);
        if (i < info.partOffsets.size()) identity += " @" + fmt(6, info.partOffsets[i]);
    }
    return identity;
}

} // namespace

std::unique_ptr<PictureSource> Service::takeSource(const StreamInfo& info) {
    if (!info.tv && source_ && sourceFor_ == sourceIdentity(info)) return std::move(source_);
    source_.reset();
    return openSource(info);
}

void Service::keepSource(std::unique_ptr<PictureSource> source, const StreamInfo& info) {
    if (info.tv || !source) return;
    source_ = std::move(source);
    sourceFor_ = sourceIdentity(info);
}

void Service::renewEncoder(const EncoderConfig& config, const VideoTrack& track) {
    if (encoder_) {
        carriedStats_ += encoder_->takeStats();
        encoder_.reset();
    }
    // One stream, one set of parameter sets: the init segment carries the
    // first encoder's, so every later one must give the very same bytes.
    encoder_ = Encoder::continuing(config, track.hvcC);
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
            draining_.clear();
            encoder_.reset();
            source_.reset();
            interpolator_.reset();
            stages_.release();
            // The programs of the released stages: compiled code and the
            // compiler's state, the largest part of what an idle service held.
            if (options_.forgetProgramsOnRelease) compute::ComputeContext::forgetSharedPrograms();
            // The encoder's and the decoder's threads freed their pictures in
            // arenas of their own; what stays free there goes back now.
            if (options_.trimOnRelease) malloc_trim(0);
        }
        // A media-server request of work that has been replaced is abandoned
        // at once (within about a second of a stall) rather than waited out
        // to its time-out, which would hold up the work that replaced it.
        if (doPrepare) {
            TransferStop stop([this, &key] {
                std::lock_guard<std::mutex> guard(mu_);
                return quit_ || !haveKey_ || !(key_ == key);
            });
            prepare(key, info);
        }
        if (p) {
            TransferStop stop([this, serial] {
                std::lock_guard<std::mutex> guard(mu_);
                return quit_ || serial != serial_;
            });
            run(serial, start, key, info);
        }
        lock.lock();
    }
}

void Service::watchdogLoop() {
    Lock lock(mu_);
    while (!quit_) {
        cv_.wait_for(lock, std::chrono::milliseconds(timing_.watchdogStepMs));
        if (quit_) return;
        if (!haveKey_) continue;
        // A request still waiting for its segment or for the init segment
        // is activity: releasing the key under it would answer it "another
        // title" (409) or drop the preparation it waits for.
        if (!store_.waiters().empty() || initWaiters_ > 0) lastRequestMs_ = monotonicMs();
        if (monotonicMs() - lastRequestMs_ > timing_.idleMs) {
            logf("service: no request for " + std::to_string(timing_.idleMs / 1000) +
                 " s: run stopped, segments dropped");
            if (running_ || pending_) {
                ++serial_;
                running_ = pending_ = false;
                cv_.notify_all();
            }
            store_.clear();
            haveKey_ = false;
            blacksShown_.reset();
            lastError_.clear(); // the released key's error goes with it
            releasePending_ = true;
            cv_.notify_all();
        }
    }
}

void Service::prepare(const Key& key, const StreamInfo& info) {
    const int64_t t0 = monotonicMs();
    {
        // A new preparation of the key in force: an error of an earlier one
        // is no longer its answer.
        std::lock_guard<std::mutex> guard(mu_);
        if (key == key_) lastError_.clear();
    }
    try {
        SourceColor color;
        PictureShape shape;
        int sourceBits = 8;
        {
            // Kept for the run: its movie box is read once.
            auto source = takeSource(info);
            color = source->sourceColor();
            shape = source->sourceShape();
            sourceBits = source->sourceBits();
            keepSource(std::move(source), info);
        }
        bool clientLift = false;
        {
            std::lock_guard<std::mutex> guard(mu_);
            clientLift = clientLift_;
        }
        const int64_t tOpened = monotonicMs();
        EncoderConfig config = encoderConfig(info, color, key.tone, options_);
        config.segmentTuned = options_.segmentEncoders;
        config.sarWidth = shape.sarWidth;
        config.sarHeight = shape.sarHeight;
        // A closed encoder (drained after x265 held pictures back) takes no
        // more pictures: it is replaced like one of another configuration.
        if (!encoder_ || !encoder_->reusableFor(config)) {
            encoder_.reset();
            encoder_ = std::make_unique<Encoder>(config);
        }
        const int64_t tEncoder = monotonicMs();
        if (info.interpolate) {
            if (!(interpolator_ && interpolator_->width() == info.width &&
                  interpolator_->height() == info.height)) {
                interpolator_.reset();
                if (!makeInterpolator_)
                    throw EnhanceError("VTFrameRateConversion is not supported on this Mac.");
                interpolator_ = makeInterpolator_(info.width, info.height);
            }
        }
        stages_.prepare(info, key.tone, sourceBits <= 8 && (info.hdr || clientLift));
        {
            std::lock_guard<std::mutex> guard(mu_);
            debandWay_ = stages_.deband() ? stages_.deband()->way() : std::string();
        }
        const int64_t tStages = monotonicMs();
        const EncoderFormat format = encoder_->prime(kPixelFormatX420);
        const int64_t tPrimed = monotonicMs();
        auto record = hvcC(format);
        if (!record || record->empty()) throw EnhanceError("The encoder gave no hvcC.");
        VideoTrack track;
        track.width = info.outWidth;
        track.height = info.outHeight;
        track.timescale = info.fpsNum;
        track.frameDuration = info.fpsDen;
        track.hvcC = *record;
        track.color = config.color;
        track.shape = shape;
        if (info.hdr || info.sourcePq) {
            HDR10Boxes boxes = hdr10Boxes(format);
            track.masteringDisplay = boxes.masteringDisplay;
            track.contentLightLevel = boxes.contentLightLevel;
        }
        if (info.sound) {
            const SoundPlan& plan = *info.sound;
            const std::string soundKey = key.item + "/" + std::to_string(plan.ordinal) + (plan.aacOnly ? "/aac" : "") +
                                         (plan.small ? "/small" : "");
            auto entry = soundEntries_.find(soundKey);
            if (entry == soundEntries_.end())
                entry = soundEntries_.emplace(soundKey, soundSampleEntry(plan, toolInput(info.parts.front()))).first;
            track.soundEntry = entry->second;
        }
        auto data = std::make_shared<const std::vector<uint8_t>>(
            makeInitSegment(track, static_cast<uint64_t>(std::max<int64_t>(info.frames, 0))));

        debugf("preparation of " + key.item + ": MP4 open " + std::to_string(tOpened - t0) +
               " ms, encoder start " + std::to_string(tEncoder - tOpened) + " ms, stages " +
               std::to_string(tStages - tEncoder) + " ms, encoder prime " + std::to_string(tPrimed - tStages) +
               " ms, init segment " + std::to_string(monotonicMs() - tPrimed) + " ms");
        preparedMs_ = monotonicMs();
        std::lock_guard<std::mutex> guard(mu_);
        preparing_ = false;
        if (key == key_) {
            store_.setInit(data);
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
        const std::string message = errorText(error);
        // Kept only for the key it belongs to: a preparation that another
        // key replaced meanwhile must not answer the new key's requests.
        if (key == key_) lastError_ = message;
        logf("service: preparing " + key.item + " failed: " + message);
        cv_.notify_all();
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
            lastError_ = message; // a replaced run's error is not the key's
        }
        cv_.notify_all();
    };
    std::unique_ptr<PictureSource> source;
    auto stop = [&] {
        keepSource(std::move(source), info);
        abortOutput();
        logf("service: run from segment " + std::to_string(start) + " ended after " + std::to_string(frames) +
             " frames (restarted or stopped)");
    };

    stages_.setTone(key.tone);
    // Where the run's time goes (debug lines): milliseconds per phase.
    const int64_t tRun = monotonicMs();
    bool needPrepare;
    int64_t askedMs;
    {
        std::lock_guard<std::mutex> guard(mu_);
        needPrepare = !store_.init() || !(key == key_);
        askedMs = runAskedMs_;
    }
    if (needPrepare) prepare(key, info);
    if (!validRun(serial)) return;
    const int64_t tPrepared = monotonicMs();
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
    const bool perSegment = encoder_->config().segmentTuned;
    encoderSlots_ = encoderSlots(info);
    keeping_ = perSegment && keepEncoder_ && encoderSlots_ == 1;
    const EncoderConfig encoderConfig = encoder_->config();
    if (encoder_->closed()) {
        // The last run ended with a flush (segment-tuned encoders end so).
        try {
            renewEncoder(encoderConfig, track);
        } catch (const std::exception& error) {
            fail(errorText(error));
            return;
        }
    }
    beginOutput(serial, start, info, track);
    if (!needPrepare && preparedMs_ < askedMs) {
        // A restart of a key prepared before it was asked for: its first
        // segment's time is what a restart costs (a first run's includes
        // the preparation).
        std::lock_guard<std::mutex> out(outMu_);
        outTimed_ = true;
    }
    const int64_t first = static_cast<int64_t>(start) * info.gop;
    const double half = 0.5 / info.fps;
    const double startTime = static_cast<double>(first) * info.fpsDen / info.fpsNum;

    // The run's current source picture and the time of the next one; the
    // next is converted only when it is needed.
    std::optional<SourceCursor> cursor;
    int64_t tOpened = 0;
    try {
        source = takeSource(info);
        tOpened = monotonicMs();
        cursor.emplace(*source);
        if (!seekRun(serial, *source, startTime, half, *cursor)) {
            keepSource(std::move(source), info);
            return;
        }
    } catch (const std::exception& error) {
        fail(errorText(error));
        return;
    }
    debugf("run from segment " + std::to_string(start) + ": asked " + std::to_string(tRun - askedMs) +
           " ms before it began, preparation " + std::to_string(tPrepared - tRun) + " ms, MP4 open " +
           std::to_string(tOpened - tPrepared) + " ms, decode to the first needed picture " +
           std::to_string(monotonicMs() - tOpened) + " ms");
    if (!cursor->started()) {
        fail("The title ended before this segment.");
        return;
    }
    if (!cursor->hasNext()) {
        std::lock_guard<std::mutex> guard(mu_);
        if (serial == serial_) sourceEnded_ = true;
    }

    // The run interpolates when the title asks for it and the preparation
    // made the interpolator. Every run starts in random submission.
    Interpolator* const interpolator = info.interpolate ? interpolator_.get() : nullptr;
    if (interpolator) interpolator->lastNextPts = -1.0;
    int64_t inBetween = 0, repeats = 0;
    // The interpolator's copies of cur and next (A and B of the pair), made
    // once per source picture: when cur moves on by one picture the old B
    // becomes A. Keyed by presentation time, seconds.
    PictureRef pictureA, pictureB;
    double ptsA = -1.0, ptsB = -1.0;
    auto choose = [&](double t) -> PictureRef {
        const DecodedFrame& cur = cursor->current();
        if (!interpolator) return cur.buffer;
        if (!pictureA || ptsA != cur.pts) {
            if (pictureB && ptsB == cur.pts) {
                pictureA = pictureB;
            } else {
                pictureA = interpolator->source(cur.buffer);
            }
            ptsA = cur.pts;
        }
        // Within half an output frame after cur: cur itself.
        if (!cursor->hasNext() || t <= cur.pts + half) return pictureA;
        const double nextPts = cursor->nextPts();
        if (!pictureB || ptsB != nextPts) {
            pictureB = interpolator->source(cursor->next().buffer);
            ptsB = nextPts;
        }
        const double span = nextPts - cur.pts;
        const auto phase = static_cast<float>(std::clamp((t - cur.pts) / span, 0.0, 1.0));
        PictureRef mid = interpolator->between(pictureA, cur.pts, pictureB, nextPts, phase);
        if (mid) {
            ++inBetween;
            return mid;
        }
        ++repeats;
        return pictureA;
    };

    stages_.startRun(info);
    {
        std::lock_guard<std::mutex> guard(mu_);
        // Only the run in force shows its stage: a replaced run's stage may
        // belong to the previous key.
        if (serial == serial_) blacksShown_ = stages_.blacks();
    }

    int64_t intervalStart = monotonicMs();
    int64_t intervalFrames = 0;
    // One segment's phases, milliseconds (debug lines).
    int64_t decodeMs = 0, stagesMs = 0, submitMs = 0, paceMs = 0;
    const bool timing = debugLogging();
    // The run's speed for the near-seek decision: pictures per second of
    // work, from its first picture on, pacing waits left out.
    const int64_t workStart = monotonicMs();
    int64_t pacedMs = 0;
    try {
        for (int64_t f = first; f < info.frames; ++f) {
            const double t = static_cast<double>(f) * info.fpsDen / info.fpsNum;
            const int64_t s = f / info.gop;
            if (timing && f % info.gop == 0 && f > first) {
                debugf("segment " + std::to_string(s - 1) + " made: decode " + std::to_string(decodeMs) +
                       " ms, stages " + std::to_string(stagesMs) + " ms, encoder submit " +
                       std::to_string(submitMs) + " ms, pacing " + std::to_string(paceMs) + " ms");
                decodeMs = stagesMs = submitMs = paceMs = 0;
            }
            int64_t tick = timing ? monotonicMs() : 0;
            auto lap = [&](int64_t& into) {
                if (!timing) return;
                const int64_t now = monotonicMs();
                into += now - tick;
                tick = now;
            };
            // Frame choice: the last source picture that starts no later
            // than half an output frame after t (repeats when the output
            // rate is higher, skips when it is lower).
            while (cursor->hasNext() && cursor->nextPts() <= t + half) {
                cursor->advance();
                if (!cursor->hasNext()) {
                    std::lock_guard<std::mutex> guard(mu_);
                    if (serial == serial_) sourceEnded_ = true;
                }
            }
            lap(decodeMs);
            if (f % info.gop == 0) {
                const int64_t before = monotonicMs();
                if (f > first) {
                    const double workMs = static_cast<double>(before - workStart - pacedMs);
                    std::lock_guard<std::mutex> guard(mu_);
                    if (serial == serial_ && workMs > 0)
                        makingFps_ = static_cast<double>(frames) * 1000.0 / workMs;
                }
                int64_t drainMs = 0;
                if (f > first) {
                    // The segment before is complete: it is filed as soon
                    // as its pictures are back.
                    sealSegment(s - 1);
                    if (keeping_ && s - 1 != start) {
                        // The kept encoder goes on with this segment: the
                        // last pictures of the one before come back (and
                        // file it) as this one's pictures go in.
                    } else if (perSegment) {
                        // Its encoder drains on its own; the next segment
                        // gets a new one (waiting only when every slot is busy).
                        handOverEncoder(s - 1 == start);
                        drainMs = monotonicMs() - before;
                    }
                }
                pace(serial, s, f > first);
                pacedMs += monotonicMs() - before - drainMs;
                if (!encoder_ || encoder_->closed()) renewEncoder(encoderConfig, track);
                submitMs += drainMs;
                paceMs -= drainMs;
            }
            lap(paceMs);
            if (!validRun(serial)) {
                stop();
                return;
            }
            PictureRef picture = stages_.apply(choose(t), t);
            lap(stagesMs);
            encode(*encoder_, picture, f, info.gop, first, serial);
            lap(submitMs);
            if (frames == 0) {
                logf("service: first frame of the run submitted (source " + fmt(3, cursor->current().pts) + " s for " +
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
                report(intervalFrames, static_cast<double>(now - intervalStart), s, info, interpolator,
                       inBetween, repeats);
                intervalFrames = 0;
                intervalStart = now;
            }
        }
    } catch (const std::exception& error) {
        abortOutput();
        fail(errorText(error));
        return;
    }

    // The end of the title.
    keepSource(std::move(source), info);
    finishOutput();
    endSound();
    std::lock_guard<std::mutex> guard(mu_);
    inBetween_ = inBetween;
    repeated_ = repeats;
    logf("service: run from segment " + std::to_string(start) + " reached the end of the title (" +
         std::to_string(frames) + " frames, " + std::to_string(inBetween) + " in-between, " +
         std::to_string(repeats) + " repeated)");
    if (serial == serial_) running_ = false;
    cv_.notify_all();
}

bool Service::seekRun(int serial, PictureSource& source, double startTime, double half, SourceCursor& cursor) {
    // The last picture before the start. A TV stream's length is the
    // probe's estimate, and a stream that ends before it (a cut recording)
    // repeats its last picture up to that length when played through: a run
    // started in that tail makes the same segments rather than fail them.
    // A file title's samples are exact: a run past them fails (below).
    const bool padTail = source.padsItsTail() && startTime > 0;
    source.seek(startTime);
    source.skipBefore(startTime - half);
    if (!validRun(serial)) return false;
    // Sought past the end of a cut stream, ffmpeg may only report the
    // damage it met there: that is the title's failure only if no earlier
    // picture can be read either.
    std::exception_ptr firstError;
    std::optional<DecodedFrame> cur;
    try {
        cur = source.read();
    } catch (const EnhanceError&) {
        if (!padTail) throw;
        firstError = std::current_exception();
        cur.reset();
    }
    std::optional<DecodedFrame> last;
    while (cur && cur->pts < startTime - half) {
        if (!validRun(serial)) return false;
        if (padTail) last = std::move(cur);
        cur = source.read();
    }
    // Sought past the end: nothing came at all. Look further back (4 s,
    // then 16, 64 ... up to the title's start) for the stream's last picture.
    for (double back = 4; padTail && !cur && !last; back *= 4) {
        const double from = std::max(0.0, startTime - back);
        source.seek(from);
        try {
            while (auto picture = source.read()) {
                if (!validRun(serial)) return false;
                last = std::move(picture);
            }
        } catch (const EnhanceError&) {
            // Nothing readable from there either: look further back.
        }
        if (from == 0) break;
    }
    if (!cur && !last && firstError) std::rethrow_exception(firstError);
    if (!cur && last) {
        logf("service: the pictures end at " + fmt(3, last->pts) + " s, before the run's start at " +
             fmt(3, startTime) + " s: the last picture stands in for the rest");
        cursor.startAlone(std::move(*last));
        return true; // no next: every frame of the run repeats it
    }
    if (cur) cursor.start(std::move(*cur));
    return true;
}

void Service::pace(int serial, int64_t segment, bool madeOne) {
    const int ahead = std::max(options_.ahead, 0);
    bool willWait;
    {
        std::lock_guard<std::mutex> guard(mu_);
        willWait = serial == serial_ && !quit_ && wanted_ + ahead < segment;
    }
    if (willWait && madeOne) {
        // The segment before this one is sealed and files itself; the
        // encoders still draining are waited for and let go, so that a
        // paused run holds no more than its next encoder. A kept encoder
        // still holds that segment's last pictures: it is drained (and
        // replaced after the wait), so nothing made is left unfiled while
        // the run waits.
        retireDraining(0);
        drainKept();
    }
    Lock lock(mu_);
    cv_.wait(lock, [&] { return serial != serial_ || quit_ || wanted_ + ahead >= segment; });
}

void Service::drainKept() {
    if (!keeping_ || !encoder_ || encoder_->closed()) return;
    encoder_->close();
    carriedStats_ += encoder_->takeStats();
}

void Service::report(int64_t frames, double elapsedMs, int64_t segment, const StreamInfo& info,
                     Interpolator* interpolator, int64_t inBetween, int64_t repeats) {
    Encoder::Stats stats = encoder_ ? encoder_->takeStats() : Encoder::Stats{};
    for (auto& draining : draining_) stats += draining->takeStats();
    stats += carriedStats_;
    carriedStats_ = {};
    const StageChain::Figures figures = stages_.takeFigures();
    double frc = 0;
    if (interpolator) {
        frc = interpolator->calls < 1 ? 0 : interpolator->spentMs / interpolator->calls;
        interpolator->spentMs = 0;
        interpolator->calls = 0;
    }
    double fps, mbps;
    {
        std::lock_guard<std::mutex> guard(mu_);
        upMs_ = figures.upMs.value_or(0);
        hdrMs_ = figures.hdrMs.value_or(0);
        debandMs_ = figures.debandMs.value_or(0);
        encodingFps_ = static_cast<double>(frames) / (elapsedMs / 1000.0);
        // Against media time (pictures at the output rate), not wall time.
        mbps_ = stats.pictures < 1 ? 0
                                   : (static_cast<double>(stats.bytes) * 8 / 1e6) /
                                         (static_cast<double>(stats.pictures) / info.fps);
        frcMs_ = frc;
        inBetween_ = inBetween;
        repeated_ = repeats;
        fps = encodingFps_;
        mbps = mbps_;
    }
    logf("service: " + fmt(1, fps) + " frames/s (" + fmt(2, fps / info.fps) + "x real time) at segment " +
         std::to_string(segment) + "; " + fmt(1, mbps) + " Mbit/s" + figures.logText() +
         (interpolator ? "; VTFrameRateConversion " + fmt(2, frc) + " ms an in-between frame, " +
                             std::to_string(inBetween) + " made, " + std::to_string(repeats) + " repeated"
                       : std::string()));
}

} // namespace corvel
