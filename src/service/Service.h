#pragma once

#include "common/Thread.h"
#include "http/HTTPMessage.h"
#include "output/Encoder.h"
#include "output/InitSegment.h"
#include "processing/Picture.h"
#include "service/Clock.h"
#include "service/Key.h"
#include "service/SegmentStore.h"
#include "subtitles/TextSubtitles.h"
#include "service/ServiceOptions.h"
#include "service/StageChain.h"
#include "service/Stages.h"
#include "service/TitleCache.h"
#include "source/PictureSource.h"
#include "source/SourceCursor.h"
#include "source/Sound.h"
#include "source/StreamInfo.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvel {

// How long requests wait and when the idle run is released. The defaults are
// the service's; tests shorten them.
struct ServiceTiming {
    int64_t waitMs = 15000;     // a segment request waits this long for its segment
    int64_t initWaitMs = 8000;  // an init-segment request waits this long
    int64_t idleMs = 120000;    // no request for this long releases the run
    int64_t watchdogStepMs = 5000; // how often the watchdog looks
    // A request the run will reach restarts it anyway when, by the run's
    // measured speed, waiting would take longer (restartBeatsWaiting).
    bool restartWhenFaster = true;
    // The title descriptions' cache: how many and how old (TitleCache).
    size_t titleCacheEntries = TitleCache::kCapacity;
    int64_t titleMaxAgeMs = TitleCache::kMaxAgeMs;
};

// How many segment-tuned encoders work on consecutive segments at once:
// `asked` when it is 1 or more, else from the machine's `cores`, and no more
// than kEncoderPixels allows for pictures of `pixels` (0: no bound). Each
// one is a full x265 (its own thread pool over every core), so a lone
// segment (the first after a play or a seek) is as fast as with one; more
// of them fill the gaps one encoder leaves (the drain at each segment's
// end, the serial parts of a picture) where there are cores to spare.
// Bounded because each holds its own pictures: about 150-240 MB at 1280x720
// here (docs/BENCHMARKS.md).
int encodersFor(int asked, unsigned cores, int64_t pixels = 0);
// The output pixels that several encoders may hold at once: two 1080p
// encoders, four at 720p, one from 1440p up.
inline constexpr int64_t kEncoderPixels = 2LL * 1920 * 1080;

// The enhancement service: turns requests into keys, keys into runs and runs
// into segments. One key (one title with one set of enhancements) is served
// at a time. The request side runs on the HTTP connection threads; the run
// side on the "pipeline" thread, the "watchdog" thread and the encoder's
// completion thread.
//
// Files by concern: Service.cpp the request side (keys, answers, status),
// ServiceRun.cpp the run (the pipeline loop, preparation, the frame loop,
// pacing, reports, the watchdog), ServiceOutput.cpp the encoded pictures
// (submitting, assembling segments, filing them in the store). The segment
// store and the stage chain are classes of their own.
//
// Locking: `cond` (mu_ + cv_) guards the service state and the segment
// store; `outLock` guards the segment being assembled. Lock order: outLock before cond; nothing takes
// outLock while holding cond. Functions named "...Locked" are called with
// cond held (passed as the lock so they may wait or release it).
class Service {
public:
    explicit Service(ServiceOptions options, ServiceTiming timing = {},
                     StageFactory stages = defaultStageFactory());
    // Stops the threads: the current run leaves at its next check.
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    HTTPResponse handle(const HTTPRequest& request);

    const ServiceOptions& options() const { return options_; }

    // The title's description as a TV stream, cached with the other
    // descriptions: unfitted, laid out in the configured segment length.
    // Throws EnhanceError as loading does; a failure caches nothing.
    StreamInfo tvInfo(const std::string& item);

    // The subtitle cache (tests count its extractions).
    const TextSubtitles& subtitleCache() const { return text_; }

    // Whether frame interpolation can run here: the compute device is
    // there (the optical flow is always built in).
    static bool interpolationSupported();

private:
    using Lock = std::unique_lock<std::mutex>;

    // Request side.
    HTTPResponse setLook(const std::string& item, const std::map<std::string, std::string>& query);
    std::optional<HTTPResponse> admitLocked(Lock& lock, const Key& key);
    void useKeyLocked(Lock& lock, const Key& key);
    void useToneLocked(const ToneParams& tone);
    void restartLocked(int segment, const std::string& why);
    HTTPResponse playlist(const Key& key, double start, bool warm);
    HTTPResponse initResponse(const Key& key);
    HTTPResponse segment(const Key& key, int n);
    HTTPResponse status();
    HTTPResponse subtitles(const Key& key, const std::string& name,
                           const std::map<std::string, std::string>& query);
    bool rungSwitchLocked(const Key& asked) const { return haveKey_ && isRungSwitch(key_, asked); }

    // Run side.
    void pipelineLoop();
    void watchdogLoop();
    void prepare(const Key& key, const StreamInfo& info);
    void run(int serial, int start, const Key& key, const StreamInfo& info);
    // Positions the run's source: seeks to startTime (seconds) and skips the
    // pictures that start more than `half` (half an output frame) before it,
    // and starts `cursor` at the first picture to use (not started when the
    // source ended before it). False when a newer run replaced this one
    // meanwhile. Throws the source's EnhanceError.
    bool seekRun(int serial, PictureSource& source, double startTime, double half, SourceCursor& cursor);
    // At the start of `segment`: waits while the run is far enough ahead of
    // what was asked (wanted + ahead), after filing the segment just made
    // (`madeOne`) so that its request is not left waiting.
    void pace(int serial, int64_t segment, bool madeOne);
    // The rate line and the status figures of one reporting interval.
    // `interpolator` is the run's (none when it does not interpolate), with
    // the run's in-between and repeat counts so far.
    void report(int64_t frames, double elapsedMs, int64_t segment, const StreamInfo& info,
                Interpolator* interpolator, int64_t inBetween, int64_t repeats);
    // The run's encoded side (ServiceOutput.cpp). beginOutput: the run's
    // pictures are accepted from now on. abortOutput: they are not (a stop
    // or a failure); drops every encoder's pictures and what was assembled.
    // finishOutput: waits for every encoder and files what was assembled
    // (the title's end).
    void beginOutput(int serial, int start, const StreamInfo& info, const VideoTrack& track);
    // Ends the run's sound reader at the end of the title.
    void endSound();
    void abortOutput();
    void finishOutput();
    void encode(Encoder& encoder, const PictureRef& picture, int64_t frame, int gop, int64_t first,
                int serial);
    // The run submitted the last picture of `segment` (the one it was
    // submitting to): it is filed once all its pictures are back and every
    // segment before it is filed. Nothing for any other segment.
    void sealSegment(int64_t segment);
    // Segment-tuned encoding at a segment's end: the current encoder drains
    // in the background (`draining_`) while the next segment goes to a new
    // one; with `encoderSlots_` encoders at work, the oldest is waited for
    // first. One slot: each segment waits for its own drain.
    // `alone`: the segment is the run's first, the one a viewer waits for
    // after a play or a seek: its drain is waited for before the next
    // segment's encoder starts, which would take cores from it.
    void handOverEncoder(bool alone);
    // Waits for the oldest draining encoders and lets them go until `keep`
    // are left (0: a pause of the run, or its end).
    void retireDraining(size_t keep);
    // One encoded picture (or a lost one: nothing) of frame `frame`, from an
    // encoder's completion thread.
    void addPicture(std::optional<EncodedPicture> picture, int64_t frame, int serial);
    // Files, in order, the segments from outNext_ on whose pictures are all
    // back. Caller holds outLock.
    void fileReadyLocked();
    bool validRun(int serial);
    std::unique_ptr<PictureSource> openSource(const StreamInfo& info);
    // The title's picture source: the one kept from the last preparation or
    // run when it reads the same title (its movie boxes already read, its
    // decoder session open), else a new one.
    std::unique_ptr<PictureSource> takeSource(const StreamInfo& info);
    // Keeps `source` for the next run of the same title. TV sources (a child
    // process each) are not kept.
    void keepSource(std::unique_ptr<PictureSource> source, const StreamInfo& info);

    const ServiceOptions options_;
    const ServiceTiming timing_;
    // The text subtitle cache: its own lock, never held together with mu_.
    TextSubtitles text_;
    static constexpr int reach_ = 4;
    static constexpr int keepBehind_ = 4;

    // ---- guarded by mu_ ("cond") ----
    std::mutex mu_;
    std::condition_variable cv_;
    bool quit_ = false;
    Key key_;
    ToneParams liveTone_;
    bool haveKey_ = false;
    bool clientLift_ = false;
    StreamInfo info_;
    TitleCache infos_;   // bounded in size and age
    SegmentStore store_; // the finished segments and the init segment of key_
    VideoTrack track_;
    int serial_ = 0;
    bool pending_ = false;
    bool running_ = false;
    bool preparePending_ = false;
    bool preparing_ = false;
    bool releasePending_ = false;
    int startSegment_ = 0;
    int64_t nextFrame_ = 0;
    int wanted_ = 0;
    int lastAsked_ = -1;
    int64_t lastRequestMs_ = 0;
    // Requests waiting for the init segment (the preparation) now; like a
    // request waiting for a segment, each counts as activity for the idle
    // release, which would otherwise drop the key under it.
    int initWaiters_ = 0;
    int64_t runAskedMs_ = 0; // when the run in force was asked for (restartLocked)
    // The near-seek figures (restartBeatsWaiting): the run's pictures per
    // second of work (pacing waits left out), and how long the last restart
    // of a prepared key took from being asked to filing its first segment.
    double makingFps_ = 0;
    double restartCostMs_ = 0;
    // The run in force read its source's last picture (it repeats it from
    // there): a restart further on would find no picture.
    bool sourceEnded_ = false;
    std::string runError_;
    std::string lastError_;
    int restarts_ = 0;
    double startupMs_ = 0;
    double encodingFps_ = 0;
    double mbps_ = 0;
    double frcMs_ = 0;
    int64_t inBetween_ = 0;
    int64_t repeated_ = 0;
    double upMs_ = 0;
    double hdrMs_ = 0;
    double debandMs_ = 0;
    // How the debanding stage makes its map ("" without the stage); written
    // under mu_ by the pipeline thread at each preparation.
    std::string debandWay_;
    // The run's black-deepening stage as the status shows it; replaced
    // under mu_ by the pipeline thread, its figures are atomics.
    std::shared_ptr<BlacksStage> blacksShown_;

    // ---- stage objects: pipeline thread only ----
    std::unique_ptr<Encoder> encoder_;
    // Encoders of the segments before the current one, still draining,
    // oldest first (segment-tuned encoding; see handOverEncoder).
    std::deque<std::unique_ptr<Encoder>> draining_;
    // Encoders asked for (ServiceOptions::encoders or the environment; 0:
    // from the cores) and the cores; encodersFor gives a title's count.
    const int encodersAsked_;
    const unsigned cores_;
    int encoderSlots(const StreamInfo& info) const {
        return encodersFor(encodersAsked_, cores_, static_cast<int64_t>(info.outWidth) * info.outHeight);
    }
    // The run's count (pipeline thread).
    int encoderSlots_ = 1;
    // keepEncoder, unless the environment turns it off.
    const bool keepEncoder_;
    // The run's encoder goes on across segment boundaries (keepEncoder_,
    // segment-tuned, one slot): set per run.
    bool keeping_ = false;
    // A pacing pause with a kept encoder: drains it, so that the segment
    // whose last pictures it still holds is filed while the run waits (the
    // title's end drains it in finishOutput, a stop discards it).
    void drainKept();
    // The segment the run is submitting to and how many pictures so far
    // (pipeline thread; beginOutput resets them under outLock before the
    // run's first picture). The count goes into the segment's seal.
    int64_t sealing_ = -1;
    int64_t sealingCount_ = 0;
    // Segment-tuned encoding: a new encoder for the next segment, like
    // `config`, whose parameter sets equal the track's (throws EnhanceError
    // when not).
    void renewEncoder(const EncoderConfig& config, const VideoTrack& track);
    Encoder::Stats carriedStats_; // what replaced encoders counted since the last report
    std::unique_ptr<PictureSource> source_; // see takeSource
    int64_t preparedMs_ = 0;                // when the last preparation ended
    std::string sourceFor_;                 // the title source_ reads
    // Frame interpolation is the run's frame choice, before the chain; made
    // by the factory's `interpolator` (declared before stages_, which takes
    // the factory over).
    std::function<std::unique_ptr<Interpolator>(int width, int height)> makeInterpolator_;
    std::unique_ptr<Interpolator> interpolator_;
    StageChain stages_;

    // ---- guarded by outMu_ ("outLock") ----
    std::mutex outMu_;
    // A segment being assembled: several encoders may each be finishing one.
    struct Assembly {
        std::vector<EncodedPicture> pictures;
        int64_t first = 0;      // frame index of the first picture in `pictures`
        int64_t submitted = 0;  // pictures the run gave the encoder for it
        int64_t arrived = 0;    // completions so far, lost pictures included
        bool sealed = false;    // the run has submitted all of it
    };
    std::map<int64_t, Assembly> assembling_; // by segment index; made by the first completion or the seal
    int64_t outNext_ = 0;                    // the next segment to file: they are filed in order
    // Turns an assembly into a media segment and files it (under cond).
    void finishSegmentLocked(int64_t index, Assembly& assembly);
    int outSerial_ = -1;
    int outGop_ = 1;
    VideoTrack outTrack_;
    int outSegments_ = 0;
    int outStart_ = -1;      // the run's first segment
    bool outTimed_ = false;  // its filing measures a restart's cost
    // The current run's sound (TV titles with sound); guarded by outMu_.
    std::shared_ptr<SoundReader> outSound_;
    // Sound sample entries built so far, by item/ordinal[/aac][/small]; used
    // by the pipeline thread alone.
    std::map<std::string, std::vector<uint8_t>> soundEntries_;

    // Last: the threads start after every field above exists and stop
    // before any of them goes.
    std::unique_ptr<JoinableThread> pipeline_;
    std::unique_ptr<JoinableThread> watchdog_;
};

// Whether a request for segment `n`, which the run in force will reach,
// should rather restart the run at `n`: waiting costs the pictures from the
// run's next one (`nextFrame`) to the end of `n` at the run's measured rate
// (`framesPerSecond`, pictures per second of work); a restart costs what the
// last measured restart took (`restartMs`, from being asked to its first
// segment filed). Only segments after the one being made qualify. The
// restart must win by a quarter, as its cost varies with
// the distance to the key picture before its start. Without both figures the
// reach rule stands.
inline bool restartBeatsWaiting(int64_t nextFrame, int n, int gop, double framesPerSecond, double restartMs) {
    if (framesPerSecond <= 0 || restartMs <= 0 || gop < 1) return false;
    // The segment being made (or just begun by a restart) is never worth a
    // restart: a restart's cost includes making that very segment, and a
    // new run at n would meet this same test again.
    if (static_cast<int64_t>(n) <= nextFrame / gop) return false;
    const double frames = static_cast<double>(n + 1) * gop - static_cast<double>(nextFrame);
    if (frames <= 0) return false;
    return frames / framesPerSecond * 1000.0 > restartMs * 1.25;
}

// Whether a run that is making segment `making` (and started at
// `startSegment`) will soon reach segment `n`, so that a request for it waits
// rather than restarting the run: n lies from `inFlight` behind `making` to
// `reach` beyond it. `inFlight`: the encoders at work at once; with one, a
// segment is done when the next is begun, and only the one just behind may
// still be filed; with N, the N behind may still be encoding, and a restart
// would throw their work away.
inline bool runWillReach(bool running, int n, int startSegment, int making, int reach = 4, int inFlight = 1) {
    return running && n >= startSegment && making <= n + std::max(inFlight, 1) && making + reach >= n;
}

} // namespace corvel
