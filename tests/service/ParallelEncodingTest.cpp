// Several encoders working on consecutive segments at once, or one kept
// from segment to segment: whatever their number, the player gets segments
// filed in order that decode as one stream (each on its own too); a pause
// files what the kept encoder held; a seek drops what every encoder held.
#include "service/ServiceFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <thread>
#include <vector>

using namespace corvel;
using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

constexpr int kSegments = 16; // 16 s of 25 frames/s, one-second segments

// The base media decode time of a media segment (its first tfdt box).
uint64_t decodeTime(const std::string& segment) {
    const size_t at = segment.find("tfdt");
    if (at == std::string::npos || at + 16 > segment.size()) return 0;
    const auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<uint8_t>(segment[i])); };
    const bool wide = byte(at + 4) == 1;
    uint64_t value = 0;
    for (size_t i = 0; i < (wide ? 8u : 4u); ++i) value = value << 8 | byte(at + 8 + i);
    return value;
}

// The first group of every match of `pattern` in the log, in log order.
std::vector<int> numbers(const std::string& log, const std::string& pattern) {
    std::vector<int> found;
    const std::regex line(pattern);
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
        found.push_back(std::stoi((*it)[1].str()));
    return found;
}

class ParallelEncoding : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        addClip("small16.mp4", smallClipArgs(kSegments));
        addSidecar("t", "small16.mp4", 320, 180, 25, kSegments);
        setenv("CORVEL_ENHANCE_LOG_LEVEL", "debug", 1);
    }
    void TearDown() override {
        // The service's threads read the level: they end before it changes.
        server_.reset();
        service_.reset();
        unsetenv("CORVEL_ENHANCE_LOG_LEVEL");
        ServiceFixture::TearDown();
    }
    // `keep`: one encoder goes on from segment to segment (with one
    // encoder at a time); otherwise an encoder per segment.
    void startWith(int encoders, int ahead, bool keep = false) {
        ServiceOptions options;
        options.encoders = encoders;
        options.ahead = ahead;
        options.keepEncoder = keep;
        // Requests within the reach rule wait for the run: the restarts
        // here are the ones the test makes.
        ServiceTiming timing = fastTiming();
        timing.restartWhenFaster = false;
        startService(options, timing);
    }
    std::string segment(int n) {
        RawResponse answer = get("/v1/enhanced/t/seg/" + std::to_string(n) + ".m4s");
        EXPECT_EQ(answer.status, 200) << "segment " << n << ": " << answer.body;
        EXPECT_EQ(decodeTime(answer.body), static_cast<uint64_t>(n) * 25u) << "segment " << n;
        return answer.body;
    }
    // Init segment and segments first..last as one file: ffprobe's frame times.
    std::vector<double> decoded(const std::string& init, const std::vector<std::string>& segments,
                                const std::string& name) {
        std::string file = init;
        for (const auto& s : segments) file += s;
        writeFile(work_.file(name), file);
        return ffprobeFrameTimes(work_.file(name));
    }
};

} // namespace

TEST(EncoderSlots, FromTheCoresOrAsAsked) {
    EXPECT_EQ(encodersFor(0, 0), 1); // cores unknown
    EXPECT_EQ(encodersFor(0, 1), 1);
    EXPECT_EQ(encodersFor(0, 2), 1); // both cores busy with one
    EXPECT_EQ(encodersFor(0, 4), 2);
    int last = 0;
    for (unsigned cores : {2u, 4u, 8u, 16u, 64u, 256u}) {
        const int n = encodersFor(0, cores);
        EXPECT_GE(n, last) << cores; // never fewer for more cores
        EXPECT_LE(n, 6) << cores;    // each holds its own pictures
        last = n;
    }
    // Each encoder holds its own pictures: fewer for larger ones, at least one.
    EXPECT_EQ(encodersFor(0, 16, 1280 * 720), 4);
    EXPECT_EQ(encodersFor(0, 16, 1920 * 1080), 2);
    EXPECT_EQ(encodersFor(0, 16, 2560 * 1440), 1);
    EXPECT_EQ(encodersFor(0, 16, 3840 * 2160), 1);
    EXPECT_EQ(encodersFor(0, 8, 320 * 180), 3);
    EXPECT_EQ(encodersFor(3, 2, 3840 * 2160), 3); // asked for: as asked
    EXPECT_EQ(encodersFor(1, 16), 1);
    EXPECT_EQ(encodersFor(3, 2), 3);
    EXPECT_EQ(encodersFor(40, 2), 16);
}

TEST_F(ParallelEncoding, SegmentsAreFiledInOrderAndMakeOneStreamWhateverTheEncoders) {
    std::vector<std::string> reference;
    struct Way {
        int encoders;
        bool keep;
    };
    for (const Way way : {Way{1, false}, Way{3, false}, Way{1, true}}) {
        const int encoders = way.encoders;
        SCOPED_TRACE(std::to_string(encoders) + " encoders" + (way.keep ? ", kept" : ""));
        const size_t logFrom = log().size(); // this service's lines only
        startWith(encoders, kSegments, way.keep); // no pacing: the run goes straight through
        RawResponse init = get("/v1/enhanced/t/init.mp4");
        ASSERT_EQ(init.status, 200) << init.body;
        std::vector<std::string> segments;
        for (int n = 0; n < kSegments; ++n) segments.push_back(segment(n));
        ASSERT_TRUE(eventually(
            [&] { return log().find("reached the end of the title", logFrom) != std::string::npos; }, 20s));

        const std::string text = log().substr(logFrom);
        // Filing order, from the "segment N filed" lines.
        const std::vector<int> order = numbers(text, "debug: segment ([0-9]+) filed");
        ASSERT_EQ(order.size(), static_cast<size_t>(kSegments));
        for (int n = 0; n < kSegments; ++n) EXPECT_EQ(order[n], n);

        // As many encoders at once as asked, never more.
        int most = 0, handOvers = 0;
        const std::regex held("debug: encoders held: ([0-9]+) of ([0-9]+)");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), held); it != std::sregex_iterator(); ++it) {
            most = std::max(most, std::stoi((*it)[1].str()));
            EXPECT_EQ(std::stoi((*it)[2].str()), encoders);
            ++handOvers;
        }
        EXPECT_EQ(most, encoders);
        // A new encoder at every segment's end, or, kept, only after the
        // run's first segment (drained alone for the viewer who waits).
        EXPECT_EQ(handOvers, way.keep ? 1 : kSegments - 1);

        // One stream: every picture, at its time, none twice.
        const auto times = decoded(init.body, segments, "all" + std::to_string(encoders) + ".mp4");
        ASSERT_EQ(times.size(), static_cast<size_t>(kSegments) * 25u);
        for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(times[i], 0.04 * static_cast<double>(i), 1e-6) << i;
        EXPECT_EQ(text.find("starts a segment but is not a keyframe"), std::string::npos);

        if (way.keep) {
            // One encoder's stream cut at its IDR pictures: each segment
            // decodes on its own after the init segment, all its pictures
            // at their times, as a player that seeks needs it.
            for (const int n : {1, 7, kSegments - 1}) {
                const auto alone = decoded(init.body, {segments[n]}, "alone" + std::to_string(n) + ".mp4");
                ASSERT_EQ(alone.size(), 25u) << "segment " << n;
                for (size_t i = 0; i < alone.size(); ++i)
                    ASSERT_NEAR(alone[i], n + 0.04 * static_cast<double>(i), 1e-6) << "segment " << n;
            }
            // The first segment is its own encoder's, as with an encoder
            // per segment: the same bytes.
            EXPECT_TRUE(segments[0] == reference[0]);
        } else if (reference.empty()) {
            reference = segments;
        } else {
            // Each segment is its own encoder's work from the same
            // pictures: one encoder at a time or three, the bytes are the same.
            for (int n = 0; n < kSegments; ++n) EXPECT_TRUE(segments[n] == reference[n]) << "segment " << n;
        }
    }
}

TEST_F(ParallelEncoding, APauseFilesWhatTheKeptEncoderHeldAndASeekDropsIt) {
    startWith(1, 2, true);
    RawResponse init = get("/v1/enhanced/t/init.mp4");
    ASSERT_EQ(init.status, 200) << init.body;
    segment(0);
    // Two ahead of segment 0: the run makes 1 and 2, then waits before 3.
    // Segment 2's last pictures were in the kept encoder: the pause drains
    // it, so segment 2 is filed while the run waits.
    ASSERT_TRUE(eventually([&] { return log().find("debug: segment 2 filed") != std::string::npos; }, 20s))
        << log();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log().find("debug: segment 3 filed"), std::string::npos) << "the run did not pause";
    // Played on: after the pause a new encoder continues the same stream.
    std::vector<std::string> played;
    for (int n = 1; n <= 6; ++n) played.push_back(segment(n));
    const auto times = decoded(init.body, played, "played.mp4");
    ASSERT_EQ(times.size(), 6u * 25u);
    for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(times[i], 1 + 0.04 * static_cast<double>(i), 1e-6) << i;

    // A far request restarts the run: the kept encoder's pictures are
    // dropped, and the new run's segments decode from there on.
    constexpr int kSeek = 14; // the run waits at 9 at the latest: out of its reach
    std::vector<std::string> after;
    for (int n = kSeek; n < kSegments; ++n) after.push_back(segment(n));
    EXPECT_EQ(status()["restarts"], 2) << log();
    EXPECT_EQ(status()["start_segment"], kSeek);
    const auto seeked = decoded(init.body, after, "after-seek-kept.mp4");
    ASSERT_EQ(seeked.size(), static_cast<size_t>(kSegments - kSeek) * 25u);
    for (size_t i = 0; i < seeked.size(); ++i)
        ASSERT_NEAR(seeked[i], kSeek + 0.04 * static_cast<double>(i), 1e-6) << i;
    EXPECT_EQ(log().find("encoder: a picture failed"), std::string::npos);
    EXPECT_EQ(log().find("starts a segment but is not a keyframe"), std::string::npos);
}

TEST_F(ParallelEncoding, ASeekWhileSeveralSegmentsAreInFlight) {
    // The segments of a run from the start, one encoder at a time.
    startWith(1, kSegments);
    std::vector<std::string> reference;
    for (int n = 0; n < kSegments; ++n) reference.push_back(segment(n));

    startWith(3, 5);
    RawResponse init = get("/v1/enhanced/t/init.mp4");
    ASSERT_EQ(init.status, 200);
    segment(0);
    // The run goes on with three encoders; wait until three are held.
    ASSERT_TRUE(eventually([&] { return log().find("debug: encoders held: 3 of 3") != std::string::npos; }, 20s));
    // Beyond the reach of the run (it stops at segment 6 at the latest): a
    // restart while segments are in flight.
    constexpr int kSeek = 12;
    std::vector<std::string> after;
    for (int n = kSeek; n < kSegments; ++n) after.push_back(segment(n));
    EXPECT_EQ(status()["restarts"], 2) << log();
    EXPECT_EQ(status()["start_segment"], kSeek);
    // Nothing of the stopped run's encoders leaked into the new run's
    // segments: they are the very segments a plain run makes, and decode
    // after the init segment as one stream from 9 s on.
    for (int n = kSeek; n < kSegments; ++n) EXPECT_TRUE(after[n - kSeek] == reference[n]) << "segment " << n;
    const auto times = decoded(init.body, after, "after-seek.mp4");
    ASSERT_EQ(times.size(), static_cast<size_t>(kSegments - kSeek) * 25u);
    for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(times[i], kSeek + 0.04 * static_cast<double>(i), 1e-6) << i;
    EXPECT_EQ(log().find("encoder: a picture failed"), std::string::npos);
}
