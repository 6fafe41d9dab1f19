// The compute runtime comes into the process only with the first title that
// needs a stage on the device: a plain title never loads it (its compiler
// libraries are tens of MB resident), a title with a stage still plays.
#include "compute/ComputeContext.h"
#include "service/ServiceFixture.h"

#include <gtest/gtest.h>

using namespace corvel;
using namespace corvel::test;

namespace {

class ComputeLoad : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        addClip("small3.mp4", smallClipArgs(3));
        addSidecar("t", "small3.mp4", 320, 180, 25, 3);
    }
    // The playlist, the init segment and two media segments of `query`.
    void play(const std::string& query) {
        for (const std::string file : {"index.m3u8", "init.mp4", "seg/0.m4s", "seg/1.m4s"}) {
            RawResponse r = get("/v1/enhanced/t/" + file + query);
            ASSERT_EQ(r.status, 200) << file << query << ": " << r.body;
        }
    }
};

} // namespace

TEST_F(ComputeLoad, APlainTitleNeverLoadsTheRuntimeAndAStageLoadsIt) {
    ASSERT_FALSE(compute::ComputeContext::loaded()); // each case is a process of its own
    startService();
    play("");
    play("?fi=0&up=0&hdr=0");
    EXPECT_FALSE(compute::ComputeContext::loaded()) << log();
    EXPECT_NE(log().find("no frame interpolation asked"), std::string::npos) << log();

    play("?up=bicubic");
    EXPECT_TRUE(compute::ComputeContext::loaded()) << log();
}

TEST_F(ComputeLoad, InterpolationAsksTheAnswerNotedAtStartup) {
    // Start-up found no device (in its child): a title asking for
    // interpolation is told so without the runtime being loaded here.
    compute::ComputeContext::noteAvailability(false);
    startService();
    play("?fi=1");
    EXPECT_NE(log().find("no frame interpolation (VTFrameRateConversion unavailable on this Mac)"),
              std::string::npos)
        << log();
    EXPECT_FALSE(compute::ComputeContext::loaded());
}
