// Rate snapping and the segment layout.
#include "source/StreamInfo.h"

#include <gtest/gtest.h>

#include <limits>

namespace corvel {
namespace {

TEST(FrameRate, SnapsCommonRatesAndKeepsOthersInThousandths) {
    using Rate = std::pair<uint32_t, uint32_t>;
    EXPECT_EQ(frameRate(23.975), (Rate{24000, 1001}));
    EXPECT_EQ(frameRate(23.970), (Rate{23970, 1000}));
    EXPECT_EQ(frameRate(24.0015), (Rate{24, 1}));
    EXPECT_EQ(frameRate(29.97), (Rate{30000, 1001}));
    EXPECT_EQ(frameRate(59.94), (Rate{60000, 1001}));
    EXPECT_EQ(frameRate(50), (Rate{50, 1}));
    EXPECT_EQ(frameRate(119.999), (Rate{120, 1}));
    EXPECT_EQ(frameRate(12.5), (Rate{12500, 1000}));
    EXPECT_EQ(frameRate(14.9995), (Rate{15000, 1000})); // half away from zero
}

TEST(LayOut, SegmentsFromRateDurationAndLength) {
    StreamInfo info;
    info.fpsNum = 24;
    info.fpsDen = 1;
    info.durationSec = 10.0;
    info.layOut(2.0);
    EXPECT_EQ(info.gop, 48);
    EXPECT_EQ(info.frames, 240);
    EXPECT_EQ(info.segments, 5);
    EXPECT_DOUBLE_EQ(info.fps, 24.0);

    info.fpsNum = 24000;
    info.fpsDen = 1001;
    info.layOut(2.0);
    EXPECT_EQ(info.frames, 239);
    EXPECT_EQ(info.gop, 48);
    EXPECT_EQ(info.segments, 5); // the last one short

    info.layOut(0.001);
    EXPECT_EQ(info.gop, 1); // at least one picture per segment
    EXPECT_EQ(info.segments, 239);
}

TEST(LayOut, HugeTitlesSaturateInsteadOfWrapping) {
    // Loading refuses such titles; the layout itself must still never wrap
    // into a negative or small segment count.
    StreamInfo info;
    info.fpsNum = 30;
    info.fpsDen = 1;
    info.durationSec = 1e12;
    info.layOut(1.0);
    EXPECT_EQ(info.frames, 30'000'000'000'000LL);
    EXPECT_EQ(info.segments, std::numeric_limits<int>::max());
    info.fpsNum = 4'000'000'000u;
    info.durationSec = 1e300;
    info.layOut(4.0);
    EXPECT_GT(info.frames, 0);
    EXPECT_GE(info.gop, 1);
    EXPECT_EQ(info.segments, std::numeric_limits<int>::max());
}

} // namespace
} // namespace corvel
