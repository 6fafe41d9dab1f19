#include "processing/DeepenBlacks.h"
#include "processing/KernelReference.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

using namespace corvel;

namespace {

PictureRef flat(int w, int h, int y, int cb = 512, int cr = 512) {
    PictureRef p = makePicture(w, h);
    fillPicture(*p, y, cb, cr);
    return p;
}

float liftFor(float floor) {
    const float f = std::min(floor, 0.12f);
    return f > 0.016f ? (f - 0.016f) / ((1 - 2 * f) * (1 - 2 * f)) : 0.0f;
}

// Code 117 is 0.0605 of the video range, bin 61: a floor of 61.5 / 1024.
constexpr float kFloor117 = 61.5f / 1024.0f;

} // namespace

TEST(DeepenBlacks, MeasuresAFloorAndItsStrength) {
    DeepenBlacks blacks;
    EXPECT_EQ(blacks.reading().floor, -1.0f);
    blacks.measure(*flat(64, 36, 117), 1.0);
    EXPECT_FLOAT_EQ(blacks.reading().floor, kFloor117);
    EXPECT_NEAR(blacks.reading().lift, 0.0569, 0.0002); // (0.06 - 0.016) / 0.88^2
    EXPECT_EQ(blacks.floorPts(), 1.0);

    // Half a second later a black picture moves the floor 1/16 of the way.
    blacks.measure(*flat(64, 36, 64), 1.5);
    const float moved = kFloor117 + (0.5f / 1024 - kFloor117) * 0.0625f;
    EXPECT_FLOAT_EQ(blacks.reading().floor, moved);
    // The same time again: no move, but the time and strength are kept.
    blacks.measure(*flat(64, 36, 64), 1.5);
    EXPECT_FLOAT_EQ(blacks.reading().floor, moved);
    EXPECT_FLOAT_EQ(blacks.reading().lift, liftFor(moved));
    // Seconds later: at most an eighth of the way.
    blacks.measure(*flat(64, 36, 64), 9.0);
    EXPECT_FLOAT_EQ(blacks.reading().floor, moved + (0.5f / 1024 - moved) * 0.125f);

    // A bright picture (floor at 0.15 or above) says nothing.
    const DeepenBlacks::Reading before = blacks.reading();
    blacks.measure(*flat(64, 36, 64 + 140), 10.0);
    EXPECT_EQ(blacks.reading().floor, before.floor);
    EXPECT_EQ(blacks.floorPts(), 9.0);

    blacks.reset();
    EXPECT_EQ(blacks.reading().floor, -1.0f);
    EXPECT_EQ(blacks.reading().lift, 0.0f);
    // A floor above 0.12 is kept, the strength is computed from 0.12.
    blacks.measure(*flat(64, 36, 64 + 120), 0.0); // 120 / 876 = 0.137
    EXPECT_GT(blacks.reading().floor, 0.12f);
    EXPECT_FLOAT_EQ(blacks.reading().lift, liftFor(0.12f));
}

TEST(DeepenBlacks, TrueBlackLeavesPicturesAlone) {
    DeepenBlacks blacks;
    PictureRef black = flat(40, 22, 64);
    blacks.measure(*black, 0.0);
    EXPECT_EQ(blacks.reading().lift, 0.0f);
    EXPECT_EQ(blacks.apply(black), black); // the very same picture, no copy
}

// The bend against the reference on dark, random pictures with odd chroma
// sizes; code 64 stays 64, the upper half of the range is unchanged and a
// block of black luma gets neutral chroma.
TEST(DeepenBlacks, BendMatchesTheReference) {
    DeepenBlacks blacks;
    blacks.measure(*flat(64, 36, 117), 0.0);
    const float lift = blacks.reading().lift;
    ASSERT_GT(lift, 0.0f);

    PictureRef in = makePicture(38, 22);
    reference::fillRandom(*in, 31, 64, 600);
    for (int x = 0; x < 4; ++x) { // one 2x2 block of pure black with coloured chroma
        in->row(0, x / 2)[x % 2] = 64 << 6;
    }
    in->row(1, 0)[0] = 800 << 6;
    in->color.transfer = "ITU_R_709_2";
    PictureRef out = blacks.apply(in);
    ASSERT_NE(out, in);
    EXPECT_EQ(out->color.transfer, "ITU_R_709_2");
    double worst = 0;
    for (int cy = 0; cy < 11; ++cy) {
        for (int cx = 0; cx < 19; ++cx) {
            const reference::ItmBlock want = reference::deepen(*in, cx, cy, lift);
            for (int j = 0; j < 2; ++j) {
                for (int i = 0; i < 2; ++i) {
                    const uint16_t before = in->row(0, 2 * cy + j)[2 * cx + i];
                    const uint16_t after = out->row(0, 2 * cy + j)[2 * cx + i];
                    worst = std::max(worst, std::abs(after / 65535.0 - want.luma[j * 2 + i]) *
                                                65535.0 / 64.0);
                    if (before == (64 << 6)) {
                        EXPECT_EQ(after, 64 << 6);
                    }
                    if ((before >> 6) >= 64 + 438) {
                        EXPECT_EQ(after, before);
                    }
                    EXPECT_LE(after, before);
                }
            }
            worst = std::max(worst, std::abs(out->row(1, cy)[2 * cx] / 65535.0 - want.cb) * 1023.98);
            worst = std::max(worst,
                             std::abs(out->row(1, cy)[2 * cx + 1] / 65535.0 - want.cr) * 1023.98);
        }
    }
    EXPECT_LE(worst, 1.0);
    EXPECT_EQ(out->row(1, 0)[0], 512 << 6); // black block: neutral chroma

    // Another size: the output pool follows.
    PictureRef small = makePicture(10, 6);
    reference::fillRandom(*small, 32, 64, 300);
    PictureRef out2 = blacks.apply(small);
    EXPECT_EQ(out2->width, 10);
    EXPECT_EQ(out2->height, 6);
}

// The status thread reads while the stage thread measures: every pair read
// is one that measure stored (the strength matches the floor).
TEST(DeepenBlacks, ReadingFromAnotherThreadSeesConsistentPairs) {
    DeepenBlacks blacks;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop) {
            const DeepenBlacks::Reading r = blacks.reading();
            if (r.floor >= 0 && std::abs(r.lift - liftFor(r.floor)) > 1e-6f) ++bad;
        }
    });
    PictureRef a = flat(64, 36, 117);
    PictureRef b = flat(64, 36, 90);
    for (int i = 0; i < 400; ++i) blacks.measure(i % 2 ? *a : *b, i * 0.3);
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}
