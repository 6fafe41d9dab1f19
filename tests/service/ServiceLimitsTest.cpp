// What requests, the environment and the media server can make the service
// hold, echo or wait for: the title cache's bounds, item names on the wire,
// over-long query values, the start offset, the look-ahead, and stalled
// transfers of replaced work.
#include "service/ServiceFixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <thread>

using namespace corvel;
using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

class ServiceLimits : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        addClip("small4.mp4", smallClipArgs(4));
    }
    int64_t itemRequests() { return standin_->stats()["items"].get<int64_t>(); }
    static int segmentLines(const std::string& playlist) {
        int n = 0;
        std::stringstream in(playlist);
        for (std::string line; std::getline(in, line);) n += line.rfind("seg/", 0) == 0;
        return n;
    }
};

} // namespace

TEST_F(ServiceLimits, TitleCacheForgetsOldAndLeastUsedTitles) {
    ServiceTiming timing = fastTiming();
    timing.titleMaxAgeMs = 2500;
    timing.titleCacheEntries = 2;
    addSidecar("t", "small4.mp4", 320, 180, 25, 4);
    startService({}, timing);
    standin_->resetStats();
    ASSERT_EQ(segmentLines(get("/v1/enhanced/t/index.m3u8").body), 4);
    // The server changes the title; another setting of it right away still
    // finds the cached description.
    addSidecar("t", "small4.mp4", 320, 180, 25, 3);
    EXPECT_EQ(segmentLines(get("/v1/enhanced/t/index.m3u8?q=3").body), 4);
    EXPECT_EQ(itemRequests(), 1);
    // Past the age the title is read again and the change shows.
    std::this_thread::sleep_for(2700ms);
    EXPECT_EQ(segmentLines(get("/v1/enhanced/t/index.m3u8?q=1").body), 3);
    EXPECT_EQ(itemRequests(), 2);

    // Two titles at most: a third pushes out the one used least recently.
    timing.titleMaxAgeMs = 600000;
    startService({}, timing);
    addSidecar("a", "small4.mp4", 320, 180, 25, 4);
    addSidecar("b", "small4.mp4", 320, 180, 25, 4);
    standin_->resetStats();
    ASSERT_EQ(get("/v1/enhanced/a/index.m3u8").status, 200);
    ASSERT_EQ(get("/v1/enhanced/b/index.m3u8").status, 200);
    ASSERT_EQ(get("/v1/enhanced/a/index.m3u8?q=3").status, 200); // a is used again
    EXPECT_EQ(itemRequests(), 2);
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8").status, 200); // b goes
    ASSERT_EQ(get("/v1/enhanced/a/index.m3u8").status, 200);
    EXPECT_EQ(itemRequests(), 3);
    ASSERT_EQ(get("/v1/enhanced/b/index.m3u8").status, 200);
    EXPECT_EQ(itemRequests(), 4);
}

TEST_F(ServiceLimits, ItemNamesReachTheMediaServerAsOneSegment) {
    startService();
    standin_->resetStats();
    // Each escaped once by the player, decoded once by our server, encoded
    // once again on the way out.
    EXPECT_EQ(get("/v1/enhanced/a%3Fapi_key%3Dx%26y%3D1/index.m3u8").status, 503);
    EXPECT_EQ(get("/v1/enhanced/%2e%2e/index.m3u8").status, 503);
    EXPECT_EQ(get("/v1/enhanced/%25%32%65/index.m3u8").status, 503);
    const std::vector<std::string> expected = {"/v1/items/a%3Fapi_key%3Dx%26y%3D1", "/v1/items/%2E%2E",
                                               "/v1/items/%252e"};
    EXPECT_EQ(standin_->targets(), expected);
    // A title whose name holds "?" and "&" is found under that name.
    addSidecar("a?api_key=x&y=1", "small4.mp4", 320, 180, 25, 4);
    RawResponse r = get("/v1/enhanced/a%3Fapi_key%3Dx%26y%3D1/index.m3u8");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(status()["item"], "a?api_key=x&y=1");
}

TEST_F(ServiceLimits, OverlongUpIsNotEchoedAndNonsenseTitlesAreRefused) {
    addSidecar("t", "small4.mp4", 320, 180, 25, 4);
    startService();
    const std::string longUp(15000, 'x');
    RawResponse r = get("/v1/enhanced/t/index.m3u8?up=" + longUp);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("xxxxxxxx"), std::string::npos);
    EXPECT_LT(r.body.size(), 1000u);
    EXPECT_NE(r.body.find("seg/0.m4s?q=2&hdr=0\n"), std::string::npos);
    // A method name of ordinary length still travels with every URI.
    r = get("/v1/enhanced/t/index.m3u8?up=ravu-lite");
    EXPECT_NE(r.body.find("seg/3.m4s?q=2&hdr=0&up=ravu-lite\n"), std::string::npos);

    addSidecar("endless", "small4.mp4", 320, 180, 25, 1e12);
    r = get("/v1/enhanced/endless/index.m3u8");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "This title's length (1000000000000.0 s) is longer than the Mac's enhancer takes "
                      "(24 hours at most).\n");
    addSidecar("fast", "small4.mp4", 320, 180, 500000, 4);
    EXPECT_EQ(get("/v1/enhanced/fast/index.m3u8").body,
              "This title's frame rate (500000.000 frames/s) is higher than the Mac's enhancer takes (240 at "
              "most).\n");
    EXPECT_EQ(status()["item"], "t"); // refusals change nothing
}

TEST_F(ServiceLimits, StartMinusZeroIsTheBeginning) {
    addSidecar("t", "small4.mp4", 320, 180, 25, 4);
    startService();
    std::string body = get("/v1/enhanced/t/index.m3u8?start=-0").body;
    EXPECT_NE(body.find("#EXT-X-START:TIME-OFFSET=0.000,PRECISE=YES\n"), std::string::npos) << body;
    EXPECT_EQ(status()["start_segment"], 0);
    body = get("/v1/enhanced/t/index.m3u8?start=-0.0").body;
    EXPECT_EQ(body.find("TIME-OFFSET=-"), std::string::npos) << body;
}

TEST_F(ServiceLimits, HugeLookAheadStillMakesSegments) {
    addSidecar("t", "small4.mp4", 320, 180, 25, 4);
    ServiceOptions options;
    options.ahead = INT_MAX;
    startService(options);
    EXPECT_EQ(get("/v1/enhanced/t/seg/0.m4s").status, 200);
    // Asking for segment 1 moves the wanted segment to 1: with the look-ahead
    // unclamped, 1 + ahead overflowed and the run stopped making segments.
    RawResponse r = get("/v1/enhanced/t/seg/1.m4s");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(get("/v1/enhanced/t/seg/3.m4s").status, 200);
}

TEST_F(ServiceLimits, StalledTransferOfReplacedKeyIsAbandoned) {
    addSidecar("t", "small4.mp4", 320, 180, 25, 4);
    ServiceTiming timing = fastTiming();
    timing.initWaitMs = 8000; // the service's own wait
    startService({}, timing);
    // The media server stalls on the part's bytes: the preparation of the
    // first key hangs in its range request.
    standin_->fault("target=media&delay_ms=25000");
    standin_->resetStats();
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8").status, 200);
    ASSERT_TRUE(eventually([&] { return standin_->stats()["media"].get<int64_t>() >= 1; }, 10s));
    // The stall clears and the player asks for another setting: its init
    // segment comes within the init wait, not after the stalled request.
    standin_->clear();
    ASSERT_EQ(get("/v1/enhanced/t/index.m3u8?q=3").status, 200);
    RawResponse init = get("/v1/enhanced/t/init.mp4?q=3&hdr=0");
    EXPECT_EQ(init.status, 200) << init.body;
    EXPECT_EQ(init.body.substr(4, 4), "ftyp");
    EXPECT_EQ(get("/v1/enhanced/t/seg/0.m4s?q=3&hdr=0").status, 200);
}
