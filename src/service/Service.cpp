#include "service/Service.h"

#include "common/DebugLog.h"
#include "source/FFmpegTool.h"
#include "source/TitleProbe.h"

#include "common/EnhanceError.h"
#include "common/Env.h"
#include "common/Fmt.h"
#include "common/Log.h"
#include "compute/ComputeContext.h"
#include "service/Fitting.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace corvel {

namespace {

const char* kConflict = "Another title or setting is playing now.\n";

HTTPResponse notFound() { return HTTPResponse::text(404, "not found\n"); }

HTTPResponse bytesResponse(const std::shared_ptr<const std::vector<uint8_t>>& bytes) {
    return HTTPResponse{200, "video/mp4", {}, bytes}; // sent from the store, not copied
}

// x rounded to `decimals` places, halves away from zero. Divides by a power
// of ten (exact) so that the JSON shows 101.35, not 101.35000000000001.
double roundTo(double x, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(x * scale) / scale;
}

// Whether `text` is all ASCII digits (the numeric characters a segment name
// may hold; other scripts' digits do not parse as a number).
bool asciiDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool Service::interpolationSupported() {
    // The flow is OpenCV's, linked into every build; the warp needs the
    // compute device. Answered without loading the runtime when start-up
    // noted whether there is one.
    return compute::ComputeContext::available();
}

namespace {

// The options as the service uses them: however they were made, the run
// works at most kMaxAhead segments ahead.
ServiceOptions withinLimits(ServiceOptions options) {
    options.ahead = std::min(options.ahead, kMaxAhead);
    return options;
}

} // namespace

namespace {

// CORVEL_ENHANCE_ENCODERS: 1 to 16 encoders at once; 0 (from the cores)
// when absent or anything else.
int encodersFromEnv() {
    return envIntIn("CORVEL_ENHANCE_ENCODERS", 1, 16, "service", "encoders from the cores").value_or(0);
}

// CORVEL_ENHANCE_KEEP_ENCODER=0: an encoder per segment even with one
// encoder at a time (as before the kept encoder; for measuring).
bool keepEncoderFromEnv(bool asked) {
    auto value = rawEnv("CORVEL_ENHANCE_KEEP_ENCODER");
    if (!value || value->empty()) return asked;
    return *value != "0";
}

} // namespace

int encodersFor(int asked, unsigned cores, int64_t pixels) {
    if (asked >= 1) return std::min(asked, 16);
    // Two cores or fewer: one. Both cores are busy with one encoder's
    // pictures and the run's decoding; a second encoder bought no CPU time
    // there and cost 230 MB at 720p (docs/BENCHMARKS.md). From four cores
    // on, one more per four cores, at most six.
    if (cores <= 2) return 1;
    int n = static_cast<int>(std::min(6u, 1 + cores / 4));
    if (pixels > 0) n = static_cast<int>(std::clamp<int64_t>(kEncoderPixels / pixels, 1, n));
    return n;
}

Service::Service(ServiceOptions options, ServiceTiming timing, StageFactory stages)
    : options_(withinLimits(std::move(options))), timing_(timing),
      infos_(timing.titleCacheEntries, timing.titleMaxAgeMs),
      store_(cv_, keepBehind_, std::max(options_.ahead, 0) + 5),
      encodersAsked_(options_.encoders > 0 ? options_.encoders : encodersFromEnv()),
      cores_(std::thread::hardware_concurrency()),
      keepEncoder_(keepEncoderFromEnv(options_.keepEncoder)),
      makeInterpolator_(stages.interpolator), stages_(std::move(stages)) {
    info_.layOut(options_.segSec);
    pipeline_ = std::make_unique<JoinableThread>("pipeline", 4 << 20, [this] { pipelineLoop(); });
    watchdog_ = std::make_unique<JoinableThread>("watchdog", 0, [this] { watchdogLoop(); });
}

Service::~Service() {
    {
        std::lock_guard<std::mutex> guard(mu_);
        quit_ = true;
        ++serial_;
        cv_.notify_all();
    }
    pipeline_.reset();
    watchdog_.reset();
    // The encoder's destructor waits for its pictures, whose completions
    // still file into this object: let it go while everything exists.
    draining_.clear();
    encoder_.reset();
}

HTTPResponse Service::handle(const HTTPRequest& request) {
    static const std::string prefix = "/v1/enhanced/";
    if (request.path.rfind(prefix, 0) != 0) return notFound();
    const std::string rest = request.path.substr(prefix.size());
    if (rest == "status") return status();
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) return notFound();
    const std::string item = rest.substr(0, slash);
    const std::string file = rest.substr(slash + 1);
    if (request.method == "POST") {
        if (file == "look") return setLook(item, request.query);
        return HTTPResponse::text(405, "GET or HEAD only\n");
    }
    const Key key = keyFromQuery(item, request.query);
    if (file == "index.m3u8") {
        {
            std::lock_guard<std::mutex> guard(mu_);
            auto chdr = request.query.find("chdr");
            clientLift_ = chdr != request.query.end() && chdr->second == "1";
        }
        double start = -1;
        if (auto it = request.query.find("start"); it != request.query.end())
            start = parseDouble(it->second).value_or(-1);
        return playlist(key, start, request.query.count("warm") > 0);
    }
    if (file == "init.mp4") return initResponse(key);
    if (file.rfind("subs/", 0) == 0) return subtitles(key, file.substr(5), request.query);
    if (file.rfind("seg/", 0) == 0) {
        const std::string name = file.substr(4);
        const std::string ext = ".m4s";
        if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) {
            const std::string digits = name.substr(0, name.size() - ext.size());
            if (asciiDigits(digits)) {
                if (auto n = parseInt(digits); n && *n <= std::numeric_limits<int>::max())
                    return segment(key, static_cast<int>(*n));
            }
        }
        return notFound();
    }
    return notFound();
}

// ---------------------------------------------------------------- keys

std::optional<HTTPResponse> Service::admitLocked(Lock& lock, const Key& key) {
    if (haveKey_ && !(key == key_) && !isRungSwitch(key_, key))
        return HTTPResponse::text(409, kConflict);
    try {
        useKeyLocked(lock, key);
    } catch (const EnhanceError& error) {
        return HTTPResponse::text(503, error.description() + "\n");
    }
    return std::nullopt;
}

void Service::useKeyLocked(Lock& lock, const Key& key) {
    lastRequestMs_ = monotonicMs();
    if (haveKey_ && key == key_) return;
    std::optional<StreamInfo> cached = infos_.find(key.cacheKey(), monotonicMs());
    if (!cached) {
        lock.unlock();
        StreamInfo loaded;
        try {
            const int64_t t0 = monotonicMs();
            loaded = loadStreamInfo(options_.companion, key.item, options_.segSec, key.tv);
            debugf("item request for " + key.item + ": " + std::to_string(monotonicMs() - t0) + " ms");
        } catch (...) {
            lock.lock();
            throw;
        }
        lock.lock();
        infos_.store(key.cacheKey(), loaded, monotonicMs());
        cached = std::move(loaded);
        if (haveKey_ && key == key_) return;
        const StreamInfo& i = *cached;
        logf("service: " + key.item + ": " + std::to_string(i.width) + "x" + std::to_string(i.height) + " " +
             i.projection + "/" + i.layout + " at " + std::to_string(i.fpsNum) + "/" +
             std::to_string(i.fpsDen) + " fps, " + std::to_string(i.parts.size()) + " parts, " +
             fmt(1, i.durationSec) + " s");
    }
    StreamInfo info = std::move(*cached);
    if (haveKey_ && isRungSwitch(key_, key)) {
        info.sound = info_.sound; // a rung switch keeps the sound in force without a probe
    } else if (key.tv) {
        // The sound stream the key's `audio` names; the probe is a child
        // process, so it runs without the lock.
        const TitlePart first = info.parts.front();
        lock.unlock();
        std::optional<SoundPlan> sound;
        try {
            sound = probeTitle(toolInput(first), key.audio).sound;
        } catch (...) {
            lock.lock();
            throw;
        }
        lock.lock();
        if (haveKey_ && key == key_) return;
        info.sound = sound;
    }
    if (key.abr >= 1) fitRung(key, info);
    if (key.aac && info.sound) info.sound->aacOnly = true;
    // Only a title that asks for interpolation asks after the device: a plain
    // title does not load the compute runtime.
    fitFi(key, info, options_, key.fi && interpolationSupported());
    fitUp(key, info, options_);
    if (info.sound) info.why += "; sound: " + info.sound->summary();
    info.hdr = key.hdr;
    info.blacks = key.blacks;
    if (key.hdr) {
        info.why += "; HDR10 by Corvel's inverse tone mapping (peak " +
                    std::to_string(static_cast<int>(key.tone.peak)) + " nits, contrast " +
                    std::to_string(static_cast<int>(key.tone.contrast)) + ", middle grey " +
                    std::to_string(static_cast<int>(key.tone.middleGrey)) + ")";
    }
    if (running_ || pending_) {
        ++serial_;
        pending_ = running_ = false;
        cv_.notify_all();
    }
    if (haveKey_) {
        logf("service: " + key.item + " fi=" + (key.fi ? "1" : "0") + " up=" + key.up + " replaces " +
             key_.item + " fi=" + (key_.fi ? "1" : "0") + " up=" + key_.up);
    }
    key_ = key;
    liveTone_ = key.tone;
    // The near-seek figures were another key's runs (another size, other stages).
    makingFps_ = 0;
    restartCostMs_ = 0;
    // The shown blacks and the error belonged to the previous key: the new
    // key's run sets its own.
    blacksShown_.reset();
    lastError_.clear();
    info_ = std::move(info);
    haveKey_ = true;
    store_.clear();
    lastAsked_ = -1;
    preparePending_ = true;
    cv_.notify_all();
}

HTTPResponse Service::setLook(const std::string& item, const std::map<std::string, std::string>& query) {
    std::lock_guard<std::mutex> guard(mu_);
    if (!haveKey_ || key_.item != item) return HTTPResponse::text(409, kConflict);
    lastRequestMs_ = monotonicMs();
    if (key_.hdr) {
        auto near = [](float v) { return static_cast<int>(std::lround(v)); };
        ToneParams tone = toneFromQuery(query, near(liveTone_.middleGrey), static_cast<int>(liveTone_.peak),
                                        near(liveTone_.contrast), near(liveTone_.saturation * 100.0f),
                                        near(liveTone_.strength));
        // The peak is part of the key: never taken from a look request.
        int peak = static_cast<int>(liveTone_.peak);
        tone.peak = peak < 1 ? 406.0f : static_cast<float>(std::clamp(peak, 400, 1400));
        useToneLocked(tone);
    }
    return HTTPResponse::text(200, "ok\n");
}

void Service::useToneLocked(const ToneParams& tone) {
    if (tone == liveTone_) return;
    liveTone_ = tone;
    const bool kept = store_.keepOnly(lastAsked_);
    if (!running_) return;
    int n = std::max(kept ? lastAsked_ + 1 : lastAsked_, 0);
    if (n >= info_.segments) {
        if (running_ || pending_) {
            ++serial_;
            running_ = pending_ = false;
            cv_.notify_all();
        }
        return;
    }
    restartLocked(n, "the picture controls changed");
}

void Service::restartLocked(int n, const std::string& why) {
    ++serial_;
    pending_ = running_ = true;
    startSegment_ = n;
    nextFrame_ = static_cast<int64_t>(n) * info_.gop;
    wanted_ = n;
    runError_.clear();
    ++restarts_;
    runAskedMs_ = monotonicMs();
    sourceEnded_ = false;
    double at = static_cast<double>(info_.fpsDen) * info_.gop / info_.fpsNum * n;
    logf("service: run from segment " + std::to_string(n) + " (" + fmt(1, at) + " s): " + why);
    cv_.notify_all();
}

StreamInfo Service::tvInfo(const std::string& item) {
    const std::string cacheKey = "tv/" + item;
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (auto cached = infos_.find(cacheKey, monotonicMs())) return *cached;
    }
    StreamInfo loaded = loadStreamInfo(options_.companion, item, options_.segSec, true);
    std::lock_guard<std::mutex> guard(mu_);
    infos_.store(cacheKey, loaded, monotonicMs());
    return loaded;
}

// ---------------------------------------------------------------- answers

HTTPResponse Service::playlist(const Key& key, double start, bool warm) {
    Lock lock(mu_);
    const bool rungSwitch = rungSwitchLocked(key);
    if (!rungSwitch) {
        try {
            useKeyLocked(lock, key);
        } catch (const EnhanceError& error) {
            return HTTPResponse::text(503, error.description() + "\n");
        }
        if (!warm) useToneLocked(key.tone);
    }
    const StreamInfo& info = info_;
    const double D = static_cast<double>(info.fpsDen) * info.gop / info.fpsNum;
    const double T = static_cast<double>(info.fpsDen) * static_cast<double>(info.frames) / info.fpsNum;
    const std::string Q = querySuffix(key);
    std::string body = "#EXTM3U\n#EXT-X-VERSION:7\n";
    body += "#EXT-X-TARGETDURATION:" + std::to_string(std::max(1L, std::lround(D))) + "\n";
    body += "#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-INDEPENDENT-SEGMENTS\n";
    if (start >= 0) {
        // start=-0 passes the test above; written as "-0.000" it would be a
        // negative offset, which counts from the end of the title.
        double t = std::min(start, std::max(T - 0.1, 0.0));
        if (t == 0) t = 0;
        body += "#EXT-X-START:TIME-OFFSET=" + fmt(3, t) + ",PRECISE=YES\n";
        if (!rungSwitch && info.segments > 0) {
            const int s = static_cast<int>(std::clamp(std::floor(t / D), 0.0, info.segments - 1.0));
            lastAsked_ = s;
            const int c = static_cast<int>(nextFrame_ / std::max(info.gop, 1));
            if (store_.has(s)) {
                if (running_) wanted_ = std::max(wanted_, s);
            } else if (runWillReach(running_, s, startSegment_, c, reach_, encoderSlots(info))) {
                wanted_ = std::max(wanted_, s);
            } else {
                restartLocked(s, "playlist start");
            }
        }
    }
    body += "#EXT-X-MAP:URI=\"init.mp4" + Q + "\"\n";
    for (int i = 0; i < info.segments; ++i) {
        const int64_t pictures = std::min<int64_t>(info.frames - static_cast<int64_t>(i) * info.gop, info.gop);
        body += "#EXTINF:" + fmt(6, static_cast<double>(pictures) * info.fpsDen / info.fpsNum) + ",\n";
        body += "seg/" + std::to_string(i) + ".m4s" + Q + "\n";
    }
    body += "#EXT-X-ENDLIST\n";
    return HTTPResponse{200, "application/vnd.apple.mpegurl", std::move(body)};
}

HTTPResponse Service::initResponse(const Key& key) {
    Lock lock(mu_);
    if (auto refusal = admitLocked(lock, key)) return *refusal;
    if (!store_.init() && !preparePending_ && !preparing_) {
        preparePending_ = true;
        cv_.notify_all();
    }
    SegmentStore::Checks checks;
    // No key any more (the watchdog released it) counts as another key.
    checks.wanted = [&] { return haveKey_ && key_ == key; };
    // A preparation that ended without an init segment failed: answer with
    // its error now rather than at the deadline.
    checks.failed = [&] { return !preparePending_ && !preparing_; };
    ++initWaiters_;
    const SegmentStore::Waited waited =
        store_.waitForInit(lock, monotonicMs() + timing_.initWaitMs, 20, checks);
    --initWaiters_; // the wait returns with the lock held, whatever ended it
    if (waited.end == SegmentStore::WaitEnd::Ready) {
        lock.unlock();
        return bytesResponse(waited.bytes);
    }
    return HTTPResponse::text(503, lastError_.empty() ? std::string("The Mac is still preparing this title.\n")
                                                      : lastError_ + "\n");
}

HTTPResponse Service::segment(const Key& key, int n) {
    Lock lock(mu_);
    if (auto refusal = admitLocked(lock, key)) return *refusal;
    if (n < 0 || n >= info_.segments) return HTTPResponse::text(404, "no such segment\n");
    lastAsked_ = n;
    store_.trim(n);
    if (running_ && n >= startSegment_) {
        wanted_ = std::max(wanted_, n);
        cv_.notify_all();
    }
    if (auto bytes = store_.find(n)) {
        lock.unlock();
        return bytesResponse(bytes);
    }
    const int64_t t0 = monotonicMs();
    int64_t restartedAt = -1;
    // Registered for the whole wait (removed under the lock right after it):
    // trimming keeps a segment made for a waiting request, and the waiters
    // share the one run fairly.
    const uint64_t ticket = store_.addWaiter(n);
    auto reachable = [&](int i) {
        const int making = static_cast<int>(nextFrame_ / std::max(info_.gop, 1));
        if (!runWillReach(running_, i, startSegment_, making, reach_, encoderSlots(info_))) return false;
        return !(timing_.restartWhenFaster && !sourceEnded_ &&
                 restartBeatsWaiting(nextFrame_, i, info_.gop, makingFps_, restartCostMs_));
    };
    // Re-checked at every wake, so after every restart another request made:
    // a segment the run in force will not make is restarted for, unless that
    // run is making a segment another request waits for (it finishes that
    // one first) or an earlier request waits its turn for a restart too (the
    // earliest goes first; each then gets its segment within its wait).
    auto serveOrQueue = [&] {
        if (store_.has(n)) return;
        if (reachable(n)) {
            if (wanted_ < n) {
                wanted_ = n; // the run may be pacing below it
                cv_.notify_all();
            }
            return;
        }
        for (const auto& [other, index] : store_.waiters()) {
            if (other == ticket || store_.has(index)) continue;
            if (reachable(index) || other < ticket) return;
        }
        const int making = static_cast<int>(nextFrame_ / std::max(info_.gop, 1));
        restartLocked(n, "segment " + std::to_string(n) + " asked, " +
                             (running_ ? "making " + std::to_string(making) : std::string("none running")));
        restartedAt = monotonicMs();
    };
    serveOrQueue();
    int s0 = serial_;
    SegmentStore::Checks checks;
    checks.wanted = [&] { return haveKey_ && key_ == key; };
    // A run error counts once the serial has held still over a step: an
    // error left by a run that a newer restart replaced is not this one's.
    checks.failed = [&] {
        if (serial_ == s0 && !runError_.empty()) return true;
        serveOrQueue();
        s0 = serial_;
        return false;
    };
    const SegmentStore::Waited waited = store_.waitForSegment(lock, n, t0 + timing_.waitMs, 50, checks);
    store_.removeWaiter(ticket);
    switch (waited.end) {
    case SegmentStore::WaitEnd::Ready:
        if (restartedAt >= 0) {
            startupMs_ = static_cast<double>(monotonicMs() - restartedAt);
            logf("service: segment " + std::to_string(n) + " ready " +
                 std::to_string(static_cast<int64_t>(startupMs_)) + " ms after the restart");
        }
        lock.unlock();
        return bytesResponse(waited.bytes);
    case SegmentStore::WaitEnd::Gone:
        return HTTPResponse::text(409, kConflict);
    case SegmentStore::WaitEnd::Failed:
        return HTTPResponse::text(503, runError_ + "\n");
    case SegmentStore::WaitEnd::TimedOut:
        break;
    }
    return HTTPResponse::text(503, "The Mac is still making this part.\n");
}

HTTPResponse Service::status() {
    std::lock_guard<std::mutex> guard(mu_);
    using nlohmann::json;
    json o = json::object();
    const StreamInfo& info = info_;
    o["item"] = haveKey_ ? json(key_.item) : json(nullptr);
    o["q"] = key_.quality;
    o["hdr"] = key_.hdr;
    o["fi"] = haveKey_ && info.interpolate;
    o["upscale"] = haveKey_ && !info.upscaler.empty();
    o["upscaler"] = haveKey_ && !info.upscaler.empty() ? json(ScaleMethod::parse(info.upscaler).description())
                                                        : json(nullptr);
    o["up_ms"] = roundTo(upMs_, 2);
    o["out_width"] = info.outWidth;
    o["out_height"] = info.outHeight;
    o["hdr_used"] = haveKey_ && info.hdr;
    o["hdr_ms"] = roundTo(hdrMs_, 2);
    o["hdr_lift"] = haveKey_ && info.hdr ? json("Corvel inverse tone mapping") : json(nullptr);
    o["deband"] = haveKey_ && !debandWay_.empty() ? json(debandWay_) : json(nullptr);
    o["deband_ms"] = roundTo(debandMs_, 2);
    o["blacks"] = haveKey_ && info.blacks;
    // One reading of the stage in force: floor and lift of the same picture.
    const BlacksStage::Reading blacks = blacksShown_ ? blacksShown_->reading() : BlacksStage::Reading{};
    o["black_floor"] = roundTo(blacks.floor, 3);
    o["black_lift"] = roundTo(blacks.lift, 3);
    o["encoding_fps"] = roundTo(encodingFps_, 2);
    o["realtime_factor"] = haveKey_ && info.fps > 0 ? roundTo(encodingFps_ / info.fps, 3) : 0.0;
    o["segment"] = haveKey_ ? nextFrame_ / std::max(info.gop, 1) : 0;
    o["restarts"] = restarts_;
    o["running"] = running_;
    o["start_segment"] = startSegment_;
    o["requested"] = lastAsked_;
    o["startup_ms"] = std::llround(startupMs_);
    o["mbps"] = roundTo(mbps_, 1);
    o["frc_ms"] = roundTo(frcMs_, 2);
    o["in_between"] = inBetween_;
    o["repeated"] = repeated_;
    o["width"] = info.width;
    o["height"] = info.height;
    o["fps"] = roundTo(info.fps, 3);
    o["tv"] = haveKey_ && key_.tv;
    o["sound"] = haveKey_ && info.sound ? json(info.sound->summary()) : json(nullptr);
    o["init_ready"] = store_.init() != nullptr;
    o["segments_held"] = store_.size();
    o["why"] = haveKey_ ? info.why : std::string();
    o["last_error"] = lastError_.empty() ? json(nullptr) : json(lastError_);
    std::string body;
    try {
        // Replace invalid UTF-8 (a title name, an error text) rather than fail.
        body = o.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception&) {
        body = "{}";
    }
    return HTTPResponse::text(200, body + "\n", "application/json");
}

} // namespace corvel
