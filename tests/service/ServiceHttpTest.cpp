// The service's answers over HTTP, with titles from the stand-in.
#include "service/ServiceFixture.h"

#include "common/EnhanceError.h"

#include <gtest/gtest.h>
#include <sstream>
#include <thread>

using namespace corvel;
using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class ServiceHttp : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        addClip("small4.mp4", smallClipArgs(4));
    }
};

} // namespace

TEST_F(ServiceHttp, PlaylistOfA260FrameTitle) {
    addSidecar("t260", "small4.mp4", 320, 180, 25, 10.4);
    startService();
    RawResponse r = get("/v1/enhanced/t260/index.m3u8");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.header("Content-Type"), "application/vnd.apple.mpegurl");
    auto l = lines(r.body);
    ASSERT_EQ(l.size(), 6u + 1 + 2 * 11 + 1);
    EXPECT_EQ(l[0], "#EXTM3U");
    EXPECT_EQ(l[1], "#EXT-X-VERSION:7");
    EXPECT_EQ(l[2], "#EXT-X-TARGETDURATION:1");
    EXPECT_EQ(l[3], "#EXT-X-MEDIA-SEQUENCE:0");
    EXPECT_EQ(l[4], "#EXT-X-PLAYLIST-TYPE:VOD");
    EXPECT_EQ(l[5], "#EXT-X-INDEPENDENT-SEGMENTS");
    EXPECT_EQ(l[6], "#EXT-X-MAP:URI=\"init.mp4?q=2&hdr=0\"");
    EXPECT_EQ(l[7], "#EXTINF:1.000000,");
    EXPECT_EQ(l[8], "seg/0.m4s?q=2&hdr=0");
    EXPECT_EQ(l[27], "#EXTINF:0.400000,");
    EXPECT_EQ(l[28], "seg/10.m4s?q=2&hdr=0");
    EXPECT_EQ(l[29], "#EXT-X-ENDLIST");
    // Without a start the playlist only selects the key.
    auto s = status();
    EXPECT_EQ(s["item"], "t260");
    EXPECT_EQ(s["running"], false);
    EXPECT_EQ(s["restarts"], 0);

    EXPECT_EQ(get("/v1/enhanced/t260/seg/11.m4s").body, "no such segment\n");
    EXPECT_EQ(get("/v1/enhanced/t260/seg/11.m4s").status, 404);
    EXPECT_EQ(get("/v1/enhanced/t260/seg/-1.m4s").status, 404);
    EXPECT_EQ(get("/v1/enhanced/t260/seg/\xef\xbc\x91.m4s").status, 404); // a full-width digit
    EXPECT_EQ(get("/v1/enhanced/t260/seg/.m4s").status, 404);
    EXPECT_EQ(get("/v1/enhanced/t260/other").body, "not found\n");
    EXPECT_EQ(get("/v1/enhanced/t260").status, 404);
    EXPECT_EQ(get("/v1/enhanced/t260/index.m3u8", "POST").body, "GET or HEAD only\n");
    EXPECT_EQ(get("/v1/enhanced/status", "POST").status, 200);
}

TEST_F(ServiceHttp, TargetDurationsAndHdrSuffix) {
    addSidecar("t50", "small4.mp4", 320, 180, 25, 10);
    ServiceOptions two;
    two.segSec = 2;
    startService(two);
    auto l = lines(get("/v1/enhanced/t50/index.m3u8").body);
    EXPECT_EQ(l[2], "#EXT-X-TARGETDURATION:2");
    EXPECT_EQ(l[7], "#EXTINF:2.000000,");

    addSidecar("t24", "small4.mp4", 320, 180, 24, 9);
    ServiceOptions oneAndHalf;
    oneAndHalf.segSec = 1.5;
    startService(oneAndHalf);
    l = lines(get("/v1/enhanced/t24/index.m3u8?hdr=1&con=150").body);
    EXPECT_EQ(l[2], "#EXT-X-TARGETDURATION:2"); // D = 1.5 s rounds up
    EXPECT_EQ(l[7], "#EXTINF:1.500000,");
    const std::string suffix = "?q=2&hdr=1&sat=100&con=150&mid=50&peak=406&str=100";
    EXPECT_EQ(l[6], "#EXT-X-MAP:URI=\"init.mp4" + suffix + "\"");
    EXPECT_EQ(l[8], "seg/0.m4s" + suffix);
}

TEST_F(ServiceHttp, StartPositionsTheRunAtTheLastSegment) {
    addSidecar("t60", "small4.mp4", 320, 180, 25, 60);
    startService();
    auto before = status();
    EXPECT_TRUE(before["item"].is_null());
    EXPECT_EQ(before["why"], "");
    EXPECT_EQ(before["q"], 2);
    EXPECT_EQ(before["init_ready"], false);
    EXPECT_EQ(before.size(), 38u); // with "deband" and "deband_ms"

    auto noStart = lines(get("/v1/enhanced/t60/index.m3u8?start=-1").body);
    EXPECT_EQ(noStart[6].rfind("#EXT-X-MAP", 0), 0u);
    auto l = lines(get("/v1/enhanced/t60/index.m3u8?start=99999").body);
    EXPECT_EQ(l[6], "#EXT-X-START:TIME-OFFSET=59.900,PRECISE=YES");
    auto s = status();
    EXPECT_EQ(s["start_segment"], 59);
    EXPECT_EQ(s["requested"], 59);
    EXPECT_EQ(s["restarts"], 1);
    EXPECT_NE(log().find("service: run from segment 59 (59.0 s): playlist start"), std::string::npos);
}

TEST_F(ServiceHttp, TitleErrorsReachThePlayerAsRetryableAnswers) {
    ServiceOptions away;
    away.companion = "http://127.0.0.1:" + std::to_string(freePort());
    startService(away);
    RawResponse r = get("/v1/enhanced/x/index.m3u8");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "The Mac could not reach Corvel Server.\n");
    EXPECT_EQ(r.header("Retry-After"), "1");
    EXPECT_EQ(get("/v1/enhanced/x/seg/0.m4s").body, "The Mac could not reach Corvel Server.\n");

    startService();
    EXPECT_EQ(get("/v1/enhanced/missing/index.m3u8").body, "Corvel Server no longer has this title.\n");
    EXPECT_TRUE(status()["item"].is_null()); // nothing changed
}

TEST_F(ServiceHttp, KeysThatConflictAreRefused) {
    addSidecar("a", "small4.mp4", 320, 180, 25, 4);
    addSidecar("b", "small4.mp4", 320, 180, 25, 4);
    startService();
    ASSERT_EQ(get("/v1/enhanced/a/index.m3u8").status, 200);
    RawResponse other = get("/v1/enhanced/b/seg/0.m4s");
    EXPECT_EQ(other.status, 409);
    EXPECT_EQ(other.body, "Another title or setting is playing now.\n");
    EXPECT_EQ(get("/v1/enhanced/a/init.mp4?q=3").status, 409);
    EXPECT_EQ(get("/v1/enhanced/b/look?con=1", "POST").status, 409);
    // A playlist for another title takes the service over.
    ASSERT_EQ(get("/v1/enhanced/b/index.m3u8").status, 200);
    EXPECT_EQ(status()["item"], "b");
    EXPECT_NE(log().find("service: b fi=0 up= replaces a fi=0 up="), std::string::npos);
}

TEST_F(ServiceHttp, AdaptiveRungSwitchIsAdmitted) {
    addSidecar("tv", "small4.mp4", 320, 180, 25, 8);
    startService();
    ASSERT_EQ(get("/v1/enhanced/tv/index.m3u8?tv=1&abr=3000").status, 200);
    // Another rung of the same rendition is admitted (whatever the answer).
    EXPECT_NE(get("/v1/enhanced/tv/init.mp4?tv=1&abr=1500&seg=4").status, 409);
    auto s = status();
    EXPECT_EQ(s["tv"], true);
    // Another segment length is another rendition.
    EXPECT_EQ(get("/v1/enhanced/tv/init.mp4?tv=1&abr=1500&seg=2").status, 409);
}

TEST(ReachRule, OneBehindToFourAheadWaits) {
    // A request one behind the segment being made up to four ahead of it
    // waits; anything else restarts.
    EXPECT_TRUE(runWillReach(true, 5, 0, 6));   // one behind
    EXPECT_FALSE(runWillReach(true, 4, 0, 6));  // two behind
    EXPECT_TRUE(runWillReach(true, 10, 0, 6));  // four ahead
    EXPECT_FALSE(runWillReach(true, 11, 0, 6)); // five ahead
    EXPECT_FALSE(runWillReach(true, 5, 6, 6));  // before the run's start
    EXPECT_FALSE(runWillReach(false, 6, 0, 6)); // no run
    // Three encoders at once: the segments behind the one being made may
    // still be encoding.
    EXPECT_TRUE(runWillReach(true, 4, 0, 6, 4, 3));  // two behind
    EXPECT_TRUE(runWillReach(true, 3, 0, 6, 4, 3));  // three behind: its encoder may still drain
    EXPECT_FALSE(runWillReach(true, 2, 0, 6, 4, 3)); // four behind
    EXPECT_FALSE(runWillReach(true, 3, 4, 6, 4, 3)); // before the run's start
}

TEST(ReachRule, ASlowRunIsRestartedWhenThatIsFaster) {
    // 720p at 10 pictures/s, 24 a segment, a restart measured at 2.6 s: the
    // run is at picture 30 (making segment 1).
    // Segment 4 ends at picture 120: 90 pictures, 9 s of waiting: restart.
    EXPECT_TRUE(restartBeatsWaiting(30, 4, 24, 10.0, 2600));
    // Segment 2 ends at picture 72: 4.2 s, more than 1.25 x 2.6 s = 3.25 s: restart.
    EXPECT_TRUE(restartBeatsWaiting(30, 2, 24, 10.0, 2600));
    // The quarter's margin: 4.2 s of waiting against 1.25 x the restart.
    EXPECT_FALSE(restartBeatsWaiting(30, 2, 24, 10.0, 3360)); // 4.2 s against 4.2 s
    EXPECT_TRUE(restartBeatsWaiting(30, 2, 24, 10.0, 3350));
    // The segment being made is never restarted for, however slow the run:
    // a run just restarted there would otherwise be restarted again and again.
    EXPECT_FALSE(restartBeatsWaiting(30, 1, 24, 1.0, 100));
    EXPECT_FALSE(restartBeatsWaiting(24, 1, 24, 1.0, 100));
    EXPECT_FALSE(restartBeatsWaiting(47, 1, 24, 1.0, 100));
    // A fast run (200 pictures/s): four ahead is 0.45 s away: wait.
    EXPECT_FALSE(restartBeatsWaiting(30, 4, 24, 200.0, 2600));
    // Without a measured speed or restart the reach rule stands.
    EXPECT_FALSE(restartBeatsWaiting(30, 4, 24, 0.0, 2600));
    EXPECT_FALSE(restartBeatsWaiting(30, 4, 24, 10.0, 0));
    // Already made (the run is past its end): nothing to wait for.
    EXPECT_FALSE(restartBeatsWaiting(130, 4, 24, 10.0, 100));
}

TEST_F(ServiceHttp, TvDescriptionsAreCachedWithTheKeys) {
    addSidecar("show", "small4.mp4", 320, 180, 25, 4);
    startService();
    standin_->resetStats();
    StreamInfo first = service_->tvInfo("show");
    EXPECT_TRUE(first.tv);
    EXPECT_EQ(first.segments, 4);
    EXPECT_EQ(service_->tvInfo("show").durationSec, 4.0);
    EXPECT_EQ(standin_->stats()["items"], 1); // the second answer came from the cache
    // A TV playlist of the same title finds it there too.
    ASSERT_EQ(get("/v1/enhanced/show/index.m3u8?tv=1").status, 200);
    EXPECT_EQ(standin_->stats()["items"], 1);
    EXPECT_THROW(service_->tvInfo("nothing"), EnhanceError);
    EXPECT_EQ(standin_->stats()["items"], 2);
    EXPECT_THROW(service_->tvInfo("nothing"), EnhanceError); // failures are not cached
    EXPECT_EQ(standin_->stats()["items"], 3);
}
