#pragma once

#include "output/SoundSample.h"
#include "source/Child.h"
#include "source/SoundPlan.h"
#include "source/StreamInfo.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace corvel {

class JoinableThread;

using Bytes = std::vector<uint8_t>;

// ffmpeg's arguments for the sound of `plan` in `input` from `from` seconds
// (for `seconds` when given) as fragmented MP4 of about half a second a
// fragment on standard output, with the source's timestamps kept.
std::vector<std::string> soundArguments(const SoundPlan& plan, const std::string& input, double from,
                                        std::optional<double> seconds);

// Reads top-level boxes from `read` (a function filling exactly n bytes or
// reporting fewer) and hands each (type, body) to `handler` until it answers
// false, the stream ends or a box is malformed (size below its header, a
// body of 2^31 bytes or more).
using ByteReader = std::function<size_t(uint8_t* into, size_t count)>;
void readBoxes(const ByteReader& read, const std::function<bool(const std::string&, Bytes&&)>& handler);
// The same over a child's standard output.
void readBoxes(Child& child, const std::function<bool(const std::string&, Bytes&&)>& handler);

// The parser state of one ffmpeg sound stream: the movie box gives the
// sample entry, time scale and defaults; each fragment header announces
// samples, and the mdat after it holds their bytes.
struct SoundFragments {
    std::optional<Bytes> entry; // the first sound sample entry box, whole
    uint32_t timescale = 48000;
    uint32_t defaultDuration = 0;
    uint32_t defaultSize = 0;
    std::vector<std::tuple<int64_t, uint32_t, uint32_t>> pending; // tick, duration, size

    using Samples = std::vector<std::tuple<int64_t, uint32_t, Bytes>>;
    // Feeds one top-level box; an mdat hands its complete samples (tick and
    // duration in the track's time scale) to `samples`.
    void take(const std::string& type, const Bytes& body, const std::function<void(Samples&&)>& samples);

private:
    void parseMoov(const Bytes& body);
    void parseMoof(const Bytes& body);
};

// The whole sample entry box ffmpeg writes for this plan (one second of the
// sound from the start). Throws EnhanceError "This Mac has no ffmpeg, which a
// TV stream needs." or "ffmpeg gave no sound description: " + its last error.
Bytes soundSampleEntry(const SoundPlan& plan, const std::string& input);

// Reads a TV title's sound ahead of the segment writer on a thread named
// "sound": at most 60 s (2,880,000 ticks) beyond what was taken, timed on the
// title's clock in 1/48000 s ticks across parts.
class SoundReader {
public:
    SoundReader(StreamInfo info, SoundPlan plan, double from);
    // Stops the reader (its ffmpeg ends) and joins its thread.
    ~SoundReader();
    SoundReader(const SoundReader&) = delete;
    SoundReader& operator=(const SoundReader&) = delete;

    // The samples with from <= tick < to, waiting up to waitMs for the reader
    // to reach `to`; samples before `from` are dropped.
    std::vector<SoundSample> take(int64_t from, int64_t to, int waitMs);
    // Asks the reader to stop and ends its ffmpeg; any thread, any time.
    void stop();
    // Ticks buffered beyond the last range taken (for tests of the bound).
    int64_t reachedTick() const;
    bool finished() const;

    static constexpr int64_t kAheadTicks = 2880000; // 60 s at 48 kHz

private:
    void loop(double from);
    void handle(SoundFragments::Samples&& batch, int64_t partTick, uint32_t timescale);

    const StreamInfo info_;
    const SoundPlan plan_;
    mutable std::mutex lock_;
    std::condition_variable cond_;
    std::vector<SoundSample> samples_; // guarded by lock_, in tick order
    int64_t reachedTick_ = 0;          // guarded by lock_
    bool finished_ = false;            // guarded by lock_
    bool stopped_ = false;             // guarded by lock_
    std::shared_ptr<Child> child_;     // guarded by lock_; the reader thread holds its own reference
    int64_t takenTick_ = 0;            // guarded by lock_
    std::unique_ptr<JoinableThread> thread_;
};

} // namespace corvel
