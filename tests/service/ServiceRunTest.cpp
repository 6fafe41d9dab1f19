// Runs: pacing, restarts, failures, live looks and the idle release, with
// real decoding and encoding of small pictures.
#include "common/EnhanceError.h"
#include "service/ServiceFixture.h"
#include "source/Mp4Track.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

using namespace corvel;
using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

int count(const std::string& text, const std::string& piece) {
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

// The base media decode time of a media segment (its first tfdt box).
uint64_t decodeTime(const std::string& segment) {
    const size_t at = segment.find("tfdt");
    if (at == std::string::npos || at + 16 > segment.size()) return 0;
    const auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<uint8_t>(segment[i])); };
    const bool wide = byte(at + 4) == 1; // version 1: 64-bit time
    uint64_t value = 0;
    for (size_t i = 0; i < (wide ? 8u : 4u); ++i) value = value << 8 | byte(at + 8 + i);
    return value;
}

// A stand-in lift that marks pictures as lifted without touching samples.
class MarkingLift : public LiftStage {
public:
    MarkingLift(int w, int h) : LiftStage(w, h) {}
    PictureRef apply(const PictureRef& picture) override { return picture; }
    void setParams(const ToneParams& p) override { params = p; }
    double takeMs() override { return 0; }
    ToneParams params;
};

// An upscaler that refuses every picture, as a broken stage would.
class FailingUpscaler : public PictureScaler {
public:
    FailingUpscaler(ScaleMethod m, int iw, int ih, int ow, int oh)
        : method_(std::move(m)), iw_(iw), ih_(ih), ow_(ow), oh_(oh) {}
    const ScaleMethod& method() const override { return method_; }
    int inWidth() const override { return iw_; }
    int inHeight() const override { return ih_; }
    int outWidth() const override { return ow_; }
    int outHeight() const override { return oh_; }
    std::optional<std::string> license() const override { return std::nullopt; }
    PictureRef scale(const PictureRef&) override { throw EnhanceError("No output pixel buffer."); }
    double takeMs(bool) override { return 0; }

private:
    ScaleMethod method_;
    int iw_, ih_, ow_, oh_;
};

// A lift that takes 30 ms a picture: a run slow enough that waiting four
// segments costs more than a restart.
class SlowLift : public MarkingLift {
public:
    using MarkingLift::MarkingLift;
    PictureRef apply(const PictureRef& picture) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return picture;
    }
};

StageFactory slowStages() {
    StageFactory f = defaultStageFactory();
    f.lift = [](int w, int h, const ToneParams& p) {
        auto lift = std::make_unique<SlowLift>(w, h);
        lift->setParams(p);
        return lift;
    };
    return f;
}

StageFactory testStages() {
    StageFactory f = defaultStageFactory();
    f.lift = [](int w, int h, const ToneParams& p) {
        auto lift = std::make_unique<MarkingLift>(w, h);
        lift->setParams(p);
        return lift;
    };
    f.upscaler = [](const ScaleMethod& m, int iw, int ih, int ow, int oh) {
        return std::make_unique<FailingUpscaler>(m, iw, ih, ow, oh);
    };
    return f;
}

class ServiceRun : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        addClip("small30.mp4", smallClipArgs(30));
        addSidecar("t", "small30.mp4", 320, 180, 25, 30);
    }
    int making() { return status()["segment"].get<int>(); }
};

} // namespace

TEST_F(ServiceRun, AheadZeroMakesOnlyWhatIsAskedAndTheReachRuleHolds) {
    ServiceOptions options;
    options.ahead = 0;
    startService(options);
    RawResponse first = get("/v1/enhanced/t/seg/0.m4s");
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(first.header("Content-Type"), "video/mp4");
    // The run made segment 0 and waits at the start of segment 1.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(making(), 1);
    EXPECT_EQ(status()["segments_held"], 1);
    EXPECT_EQ(status()["restarts"], 1);

    // Four ahead of the one being made: waited for, no restart.
    ASSERT_EQ(get("/v1/enhanced/t/seg/5.m4s").status, 200);
    EXPECT_EQ(status()["restarts"], 1);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(making(), 6);
    // Five ahead: the run restarts there.
    ASSERT_EQ(get("/v1/enhanced/t/seg/11.m4s").status, 200);
    EXPECT_EQ(status()["restarts"], 2);
    EXPECT_EQ(status()["start_segment"], 11);
    EXPECT_NE(log().find("service: run from segment 11 (11.0 s): segment 11 asked, making 6"),
              std::string::npos);
    // Behind the run's start: restart.
    ASSERT_EQ(get("/v1/enhanced/t/seg/9.m4s").status, 200);
    EXPECT_EQ(status()["restarts"], 3);
}

TEST_F(ServiceRun, NegativeAheadCountsAsZeroAndPositiveAheadWorksAhead) {
    ServiceOptions options;
    options.ahead = -1;
    startService(options);
    ASSERT_EQ(get("/v1/enhanced/t/seg/2.m4s").status, 200);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(making(), 3);

    options.ahead = 2;
    startService(options);
    ASSERT_EQ(get("/v1/enhanced/t/seg/2.m4s").status, 200);
    EXPECT_TRUE(eventually([&] { return making() == 5; }, 20s));
    // Segment 4 is filed once its encoder has drained, which may come after
    // the run turned to 5 (slow under the sanitizers).
    EXPECT_TRUE(eventually([&] { return status()["segments_held"] == 3; }, 20s)) << status().dump();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(making(), 5); // two beyond the asked one, then it waits
    EXPECT_EQ(status()["segments_held"], 3);
    // The segments it made ahead are served from the store.
    ASSERT_EQ(get("/v1/enhanced/t/seg/4.m4s").status, 200);
    EXPECT_EQ(status()["restarts"], 1);
}

TEST_F(ServiceRun, SegmentsPastTheSourceRepeatItsLastPicture) {
    addClip("small4.mp4", smallClipArgs(4));
    addSidecar("short", "small4.mp4", 320, 180, 25, 20); // the title claims more than the clip has
    startService();
    RawResponse init = get("/v1/enhanced/short/init.mp4");
    ASSERT_EQ(init.status, 200) << init.body;
    ASSERT_EQ(get("/v1/enhanced/short/seg/3.m4s").status, 200);
    RawResponse seg = get("/v1/enhanced/short/seg/6.m4s"); // made by the same run
    ASSERT_EQ(seg.status, 200) << seg.body;
    EXPECT_EQ(status()["restarts"], 1);
    writeFile(work_.file("late.mp4"), init.body + seg.body);
    auto times = ffprobeFrameTimes(work_.file("late.mp4"));
    ASSERT_EQ(times.size(), 25u);
    EXPECT_NEAR(times.front(), 6.0, 0.001);
    EXPECT_NEAR(times.back(), 6.96, 0.001);
    EXPECT_GT(status()["startup_ms"].get<double>(), 0);
    EXPECT_NE(log().find("service: segment 3 ready "), std::string::npos);

    // A run that starts where the source has nothing fails with its reason.
    RawResponse beyond = get("/v1/enhanced/short/seg/18.m4s"); // out of reach: a new run
    EXPECT_EQ(beyond.status, 503);
    EXPECT_EQ(beyond.status == 503 ? beyond.body : "", "The title ended before this segment.\n");
}

TEST_F(ServiceRun, PartFailingMidRunReachesThePlayerAndTheServiceRecovers) {
    startService();
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8").status, 200);
    ASSERT_EQ(get("/v1/enhanced/t/init.mp4").status, 200);
    standin_->fault("target=media&status=500");
    RawResponse failed = get("/v1/enhanced/t/seg/1.m4s");
    EXPECT_EQ(failed.status, 503);
    EXPECT_EQ(failed.header("Retry-After"), "1");
    EXPECT_NE(failed.body.find("500"), std::string::npos) << failed.body;
    EXPECT_EQ(status()["last_error"], failed.body.substr(0, failed.body.size() - 1));
    EXPECT_EQ(status()["running"], false);
    EXPECT_NE(log().find("service: run from segment 1 stopped: "), std::string::npos);

    standin_->clear();
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8?start=1").status, 200);
    RawResponse recovered = get("/v1/enhanced/t/seg/1.m4s");
    EXPECT_EQ(recovered.status, 200) << recovered.body;
}

TEST_F(ServiceRun, StageErrorFailsTheRunAndTheServiceGoesOnServing) {
    ServiceOptions options;
    options.upscaler = "bicubic";
    startService(options, fastTiming(), testStages());
    RawResponse r = get("/v1/enhanced/t/seg/0.m4s?up=1");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "No output pixel buffer.\n");
    EXPECT_EQ(status()["upscaler"], "bicubic (Catmull-Rom)");
    EXPECT_NE(log().find("service: upscaler bicubic (Catmull-Rom) 320x180 -> 640x360 ready"),
              std::string::npos);
    // A key without the broken stage plays.
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8").status, 200);
    EXPECT_EQ(get("/v1/enhanced/t/seg/0.m4s").status, 200);
}

TEST_F(ServiceRun, LookChangeRestartsAfterTheLastAskedSegment) {
    ServiceOptions options;
    options.ahead = 1;
    startService(options, fastTiming(), testStages());
    const std::string q = "?hdr=1";
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8" + q).status, 200);
    ASSERT_EQ(get("/v1/enhanced/t/seg/3.m4s" + q).status, 200);
    EXPECT_TRUE(eventually([&] { return status()["segments_held"] == 2; }, 20s));
    EXPECT_EQ(status()["hdr_used"], true);
    EXPECT_EQ(status()["hdr_lift"], "Corvel inverse tone mapping");
    RawResponse look = get("/v1/enhanced/t/look?con=150", "POST");
    EXPECT_EQ(look.status, 200);
    EXPECT_EQ(look.body, "ok\n");
    auto s = status();
    EXPECT_EQ(s["start_segment"], 4);
    EXPECT_EQ(s["restarts"], 2);
    EXPECT_NE(log().find("service: run from segment 4 (4.0 s): the picture controls changed"),
              std::string::npos);
    // The asked segment stays; a segment with another contrast is the same key.
    RawResponse kept = get("/v1/enhanced/t/seg/3.m4s?hdr=1&con=20");
    EXPECT_EQ(kept.status, 200);
    EXPECT_EQ(status()["restarts"], 2);
    // The same look again changes nothing.
    get("/v1/enhanced/t/look?con=150", "POST");
    EXPECT_EQ(status()["restarts"], 2);
}

TEST_F(ServiceRun, IdleRunIsReleased) {
    ServiceTiming timing = fastTiming();
    timing.idleMs = 2500; // longer than a first segment takes under the sanitizers
    timing.watchdogStepMs = 50;
    startService({}, timing);
    ASSERT_EQ(get("/v1/enhanced/t/seg/0.m4s?q=3").status, 200);
    EXPECT_TRUE(eventually([&] { return status()["item"].is_null(); }, 10s));
    auto s = status();
    EXPECT_EQ(s["q"], 3); // the released key still shows
    EXPECT_EQ(s["running"], false);
    EXPECT_EQ(s["segments_held"], 0);
    EXPECT_EQ(s["init_ready"], false);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count(log(), "service: no request for 2 s: run stopped, segments dropped"), 1);
    // The next request starts from preparation again.
    ASSERT_EQ(get("/v1/enhanced/t/seg/0.m4s?q=3").status, 200);
    EXPECT_EQ(count(log(), " prepared in "), 2);
}

TEST_F(ServiceRun, IdleReleaseLetsGoOfEveryPicture) {
    // Every stage a title can ask for (blacks, interpolation, the upscaler,
    // the lift), the decoder and the encoder hold pictures while a title
    // plays; once the title is released none is left, cycle after cycle.
    ServiceTiming timing = fastTiming();
    timing.idleMs = 2500; // longer than a first segment takes under the sanitizers
    timing.watchdogStepMs = 50;
    const int64_t before = Picture::liveBytes();
    startService({}, timing);
    for (int cycle = 0; cycle < 2; ++cycle) {
        ASSERT_EQ(get("/v1/enhanced/t/seg/0.m4s?blacks=1&hdr=1&fi=1").status, 200);
        EXPECT_GT(Picture::liveBytes(), before) << "cycle " << cycle;
        EXPECT_TRUE(eventually([&] { return status()["item"].is_null(); }, 10s));
        EXPECT_TRUE(eventually([&] { return Picture::liveBytes() == before; }, 5s))
            << "cycle " << cycle << ": " << Picture::liveBytes() - before << " bytes of pictures held";
    }
}

TEST_F(ServiceRun, RequestsFarApartEachGetTheirSegment) {
    // Two players (or a player seeking while its earlier request waits) ask
    // for segments the one run cannot make at once: every request is served,
    // each after one restart made for it, none waits out its time.
    ServiceOptions options;
    options.ahead = 0;
    startService(options);
    ASSERT_EQ(get("/v1/enhanced/t/init.mp4").status, 200);
    std::vector<std::thread> askers;
    std::vector<RawResponse> answers(3);
    const std::vector<int> asked = {5, 15, 25};
    for (size_t i = 0; i < asked.size(); ++i) {
        askers.emplace_back([&, i] { answers[i] = get("/v1/enhanced/t/seg/" + std::to_string(asked[i]) + ".m4s"); });
        std::this_thread::sleep_for(5ms);
    }
    for (auto& a : askers) a.join();
    std::vector<uint64_t> times;
    for (size_t i = 0; i < asked.size(); ++i) {
        ASSERT_EQ(answers[i].status, 200) << asked[i] << ": " << answers[i].body;
        times.push_back(decodeTime(answers[i].body));
    }
    // Each answer is the segment asked for: its decode time is in step with
    // its index.
    EXPECT_GT(times[0], 0u);
    EXPECT_EQ(times[0] * 3, times[1]);
    EXPECT_EQ(times[0] * 5, times[2]);
    EXPECT_EQ(status()["restarts"], 3);

    // A player keeps playing from 5 while another seeks about: it gets
    // every segment in turn.
    std::atomic<bool> done{false};
    std::thread seeker([&] {
        for (int s = 28; !done && s > 10; s -= 6) get("/v1/enhanced/t/seg/" + std::to_string(s) + ".m4s");
    });
    for (int s = 6; s <= 9; ++s) {
        RawResponse r = get("/v1/enhanced/t/seg/" + std::to_string(s) + ".m4s");
        EXPECT_EQ(r.status, 200) << s << ": " << r.body;
        if (r.status == 200) {
            EXPECT_EQ(decodeTime(r.body), times[0] / 5 * static_cast<uint64_t>(s)) << s;
        }
    }
    done = true;
    seeker.join();
}

TEST_F(ServiceRun, KeyChangeDuringPreparationKeepsOnlyTheNewKeysInit) {
    addSidecar("other", "small30.mp4", 320, 180, 25, 10);
    StageFactory slow = testStages();
    auto makeLift = slow.lift;
    slow.lift = [makeLift](int w, int h, const ToneParams& p) {
        std::this_thread::sleep_for(800ms); // a slow stage to build
        return makeLift(w, h, p);
    };
    startService({}, fastTiming(), slow);
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8?hdr=1").status, 200);
    std::this_thread::sleep_for(200ms); // the preparation of t is under way
    ASSERT_EQ(get("/v1/enhanced/other/index.m3u8").status, 200);
    RawResponse init = get("/v1/enhanced/other/init.mp4");
    ASSERT_EQ(init.status, 200);
    // The init segment is the new key's: SDR colour, not the lifted one.
    writeFile(work_.file("init.mp4"), init.body);
    EXPECT_EQ(init.body.find("mdcv"), std::string::npos);
    std::string text = log();
    EXPECT_EQ(count(text, "service: t fi=0 up= prepared in "), 0) << text;
    EXPECT_EQ(count(text, "service: other fi=0 up= prepared in "), 1) << text;
    // While the lifted key's own init does carry the HDR boxes.
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8?hdr=1").status, 200);
    RawResponse lifted = get("/v1/enhanced/t/init.mp4?hdr=1");
    ASSERT_EQ(lifted.status, 200);
    EXPECT_NE(lifted.body.find("mdcv"), std::string::npos);
}

TEST_F(ServiceRun, ErrorsAndBlackFiguresStayWithTheirKey) {
    addSidecar("broken", "missing.mp4", 320, 180, 25, 10); // its part is not there
    addSidecar("other", "small30.mp4", 320, 180, 25, 10);
    ServiceTiming timing = fastTiming();
    timing.initWaitMs = 1; // answers at once: what it says is what the service holds
    startService({}, timing);

    // The broken title's run fails; its error is the key's.
    ASSERT_EQ(get("/v1/enhanced/broken/index.m3u8").status, 200);
    RawResponse failed = get("/v1/enhanced/broken/seg/0.m4s");
    ASSERT_EQ(failed.status, 503);
    ASSERT_FALSE(status()["last_error"].is_null());
    const std::string brokenError = status()["last_error"].get<std::string>();
    EXPECT_EQ(failed.body, brokenError + "\n");

    // Another title: neither its init answer nor the status carries the
    // broken title's error.
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8?blacks=1").status, 200);
    EXPECT_TRUE(status()["last_error"].is_null());
    RawResponse init = get("/v1/enhanced/t/init.mp4?blacks=1");
    EXPECT_NE(init.body, brokenError + "\n");
    if (init.status != 200) {
        EXPECT_EQ(init.body, "The Mac is still preparing this title.\n");
    }

    // The blacks figures are those of the stage in force: measured while t
    // plays, and gone when a key without deepened blacks replaces it.
    ASSERT_EQ(get("/v1/enhanced/t/seg/0.m4s?blacks=1").status, 200);
    auto s = status();
    EXPECT_EQ(s["blacks"], true);
    EXPECT_GE(s["black_floor"].get<double>(), 0.0);
    ASSERT_EQ(get("/v1/enhanced/other/index.m3u8").status, 200);
    s = status();
    EXPECT_EQ(s["item"], "other");
    EXPECT_EQ(s["black_floor"].get<double>(), -1.0);
    EXPECT_EQ(s["black_lift"].get<double>(), 0.0);
    EXPECT_TRUE(s["last_error"].is_null());
}

TEST_F(ServiceRun, AWaitingRequestKeepsTheKeyFromTheIdleRelease) {
    // Each picture takes 40 ms to lift: the first segment takes a second,
    // three times the idle limit, while its request waits for it.
    StageFactory slow = testStages();
    slow.lift = [](int w, int h, const ToneParams& p) {
        class SlowLift : public MarkingLift {
        public:
            using MarkingLift::MarkingLift;
            PictureRef apply(const PictureRef& picture) override {
                std::this_thread::sleep_for(40ms);
                return picture;
            }
        };
        auto lift = std::make_unique<SlowLift>(w, h);
        lift->setParams(p);
        return lift;
    };
    ServiceTiming timing = fastTiming();
    timing.idleMs = 300;
    timing.watchdogStepMs = 50;
    startService({}, timing, slow);
    ASSERT_EQ(get("/v1/enhanced/t/init.mp4?hdr=1").status, 200);
    RawResponse r = get("/v1/enhanced/t/seg/0.m4s?hdr=1");
    EXPECT_EQ(r.status, 200) << r.body;
    // Released once nobody asks or waits any more.
    EXPECT_TRUE(eventually([&] { return status()["item"].is_null(); }, 10s));
}

TEST_F(ServiceRun, AWaitingInitRequestKeepsTheKeyFromTheIdleRelease) {
    // Making the lift stage takes a second, three times the idle limit, so
    // the preparation outlasts it while the init request waits (a slow
    // device's first program build looks like this).
    StageFactory slow = testStages();
    slow.lift = [](int w, int h, const ToneParams& p) {
        std::this_thread::sleep_for(1s);
        auto lift = std::make_unique<MarkingLift>(w, h);
        lift->setParams(p);
        return std::unique_ptr<LiftStage>(std::move(lift));
    };
    ServiceTiming timing = fastTiming();
    timing.idleMs = 300;
    timing.watchdogStepMs = 50;
    startService({}, timing, slow);
    RawResponse init = get("/v1/enhanced/t/init.mp4?hdr=1");
    EXPECT_EQ(init.status, 200) << init.body;
    EXPECT_EQ(count(log(), "no request for"), 0) << log();
    // Released once nobody asks or waits any more.
    EXPECT_TRUE(eventually([&] { return status()["item"].is_null(); }, 10s));
    EXPECT_EQ(count(log(), "no request for"), 1) << log();
}

TEST_F(ServiceRun, TheTitleIsOpenedOnceForPreparationAndItsRuns) {
    startService();
    // What reading the part's movie box costs in requests.
    standin_->resetStats();
    { Mp4Track track(standin_->base() + "/media/small30.mp4", "small30.mp4"); }
    const int64_t perOpening = standin_->stats()["media"].get<int64_t>();
    ASSERT_GE(perOpening, 1);

    standin_->resetStats();
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8").status, 200);
    ASSERT_EQ(get("/v1/enhanced/t/init.mp4").status, 200);
    ASSERT_EQ(get("/v1/enhanced/t/seg/0.m4s").status, 200);
    ASSERT_EQ(get("/v1/enhanced/t/seg/20.m4s").status, 200); // a restart, same title
    EXPECT_EQ(status()["restarts"], 2);
    // One opening for the preparation and both runs, and one window of
    // media bytes (the whole small title) that the restart reads again from
    // memory.
    EXPECT_EQ(standin_->stats()["media"].get<int64_t>(), perOpening + 1);
}

TEST_F(ServiceRun, ASlowRunIsRestartedForANearSegmentWhenWaitingTakesLonger) {
    for (const bool byMeasure : {true, false}) {
        SCOPED_TRACE(byMeasure ? "restart when faster" : "reach rule only");
        ServiceTiming timing = fastTiming();
        timing.restartWhenFaster = byMeasure;
        startService(ServiceOptions(), timing, slowStages());
        const std::string q = "?hdr=1";
        ASSERT_EQ(get("/v1/enhanced/t/seg/0.m4s" + q).status, 200);
        // A far request: a restart, whose time is measured.
        ASSERT_EQ(get("/v1/enhanced/t/seg/20.m4s" + q).status, 200);
        ASSERT_EQ(status()["restarts"], 2);
        const int at = making();
        ASSERT_LT(at, 23); // 25 pictures at 30 ms: 0.75 s a segment
        // Four ahead of the one being made: within the reach rule, but about
        // 3 s of waiting against a restart of about one segment.
        const int n = at + 4;
        RawResponse near = get("/v1/enhanced/t/seg/" + std::to_string(n) + ".m4s" + q);
        ASSERT_EQ(near.status, 200);
        EXPECT_EQ(decodeTime(near.body), static_cast<uint64_t>(n) * 25u);
        if (byMeasure) {
            EXPECT_EQ(status()["restarts"], 3);
            EXPECT_EQ(status()["start_segment"], n);
        } else {
            EXPECT_EQ(status()["restarts"], 2);
        }
    }
}

TEST_F(ServiceRun, DebugLevelLogsWhereTheTimeGoes) {
    startService();
    ASSERT_EQ(get("/v1/enhanced/t/seg/0.m4s").status, 200);
    EXPECT_EQ(log().find("debug: "), std::string::npos); // not without the level

    // The level is read from the environment line by line, and setenv under
    // threads that call getenv is a race: it changes between two services.
    server_.reset();
    service_.reset();
    setenv("CORVEL_ENHANCE_LOG_LEVEL", "debug", 1);
    struct AtEnd {
        std::function<void()> run;
        ~AtEnd() { run(); }
    } unset{[this] {
        server_.reset();
        service_.reset();
        unsetenv("CORVEL_ENHANCE_LOG_LEVEL");
    }};
    startService();
    addSidecar("u", "small30.mp4", 320, 180, 25, 30);
    ASSERT_EQ(get("/v1/enhanced/u/index.m3u8").status, 200);
    ASSERT_EQ(get("/v1/enhanced/u/init.mp4").status, 200);
    ASSERT_EQ(get("/v1/enhanced/u/seg/0.m4s").status, 200);
    ASSERT_EQ(get("/v1/enhanced/u/seg/20.m4s").status, 200);
    const std::string text = log();
    for (const char* line : {"debug: item request for u: ", "debug: preparation of u: MP4 open ",
                             "debug: run from segment 0: asked ", "debug: run from segment 20: asked ",
                             ", decode to the first needed picture ", "debug: segment 0 filed ",
                             "debug: segment 0 made: decode ", "debug: segment 20 filed "})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}
