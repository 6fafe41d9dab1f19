#include "common/EnhanceError.h"
#include "common/SourceColor.h"
#include "processing/DevicePicture.h"
#include "processing/InverseToneMap.h"
#include "processing/KernelReference.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace corvel;

namespace {

// The largest difference from the reference, in 10-bit codes, over every
// sample of both planes.
double worstCodes(const Picture& in, const Picture& out, const ToneKernel& k) {
    double worst = 0;
    auto diff = [&](uint16_t got, double want) {
        worst = std::max(worst, std::abs(got / 65535.0 - want) * 65535.0 / 64.0);
    };
    for (int cy = 0; cy < in.height / 2; ++cy) {
        for (int cx = 0; cx < in.width / 2; ++cx) {
            const reference::ItmBlock want = reference::itm(in, cx, cy, k);
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i)
                    diff(out.row(0, 2 * cy + j)[2 * cx + i], want.luma[j * 2 + i]);
            diff(out.row(1, cy)[2 * cx], want.cb);
            diff(out.row(1, cy)[2 * cx + 1], want.cr);
        }
    }
    return worst;
}

double lumaCode(const Picture& p) { return p.row(0, 0)[0] / 64.0; }
double nitsOf(const Picture& p) {
    return reference::pqToNits((p.row(0, 0)[0] / 64.0 - 64) / 876.0);
}

PictureRef flat(int y, int cb, int cr) {
    PictureRef p = makePicture(6, 4);
    fillPicture(*p, y, cb, cr);
    return p;
}

} // namespace

TEST(ToneParams, KernelConstantsHitPeakAndMiddleGrey) {
    const ToneParams defaults;
    const ToneKernel k = defaults.kernel();
    EXPECT_FLOAT_EQ(k.c, 0.85f);
    EXPECT_FLOAT_EQ(k.s, 1.05f);
    EXPECT_FLOAT_EQ(k.scale, 730.8f);
    EXPECT_EQ(k.bt601, 0u);
    auto curve = [&](double y) { return std::pow(y, k.c) / (k.a * std::pow(y, 1.3 * k.c) + k.b); };
    EXPECT_NEAR(curve(1.0), 0.556, 1e-5); // P = M = 556 units
    EXPECT_NEAR(curve(0.214), 0.050, 1e-5);

    ToneParams low = defaults;
    low.peak = 292; // at or below 292.32 nits: 400 units whatever the strength
    const ToneKernel kl = low.kernel();
    EXPECT_NEAR(std::pow(1.0, kl.c) / (kl.a + kl.b), 0.4, 1e-5);
    ToneParams high = defaults;
    high.peak = 5000; // capped at 2000 units
    const ToneKernel kh = high.kernel();
    EXPECT_NEAR(1.0 / (kh.a + kh.b), 2.0, 1e-4);
    ToneParams none = defaults;
    none.peak = 1000;
    none.strength = 0;
    const ToneKernel kn = none.kernel();
    EXPECT_NEAR(1.0 / (kn.a + kn.b), 0.4, 1e-5);
    none.bt601 = true;
    EXPECT_EQ(none.kernel().bt601, 1u);
    EXPECT_NE(none, ToneParams{});
}

TEST(InverseToneMap, BlackWhiteAndGreyLandWhereTheCurveAims) {
    InverseToneMap itm(6, 4, ToneParams{});
    PictureRef black = itm.apply(flat(64, 512, 512));
    EXPECT_EQ(black->row(0, 0)[0], 64 * 64);
    EXPECT_EQ(black->row(1, 0)[0], 512 * 64);
    EXPECT_EQ(black->row(1, 0)[1], 512 * 64);
    EXPECT_EQ(black->color.primaries, color::kPrimaries2020);
    EXPECT_EQ(black->color.transfer, color::kTransferPQ);
    EXPECT_EQ(black->color.matrix, color::kMatrix2020);

    PictureRef white = itm.apply(flat(940, 512, 512));
    EXPECT_NEAR(lumaCode(*white), 637, 1.0);
    EXPECT_NEAR(white->row(1, 0)[0] / 64.0, 512, 1.0);
    EXPECT_NEAR(nitsOf(*white), 406, 6);

    // Linear 0.214 grey lands on middle grey: 0.05 units, about 36.5 nits.
    const int grey = static_cast<int>(std::lround(64 + 876 * std::pow(0.214, 1 / 2.2)));
    PictureRef mid = itm.apply(flat(grey, 512, 512));
    EXPECT_NEAR(nitsOf(*mid), 36.5, 1.0);

    ToneParams flatPeak;
    flatPeak.peak = 1000;
    flatPeak.strength = 0;
    itm.params = flatPeak; // takes effect with the next picture
    PictureRef white0 = itm.apply(flat(940, 512, 512));
    EXPECT_NEAR(nitsOf(*white0), 292.3, 4);
    EXPECT_LE(worstCodes(*flat(940, 512, 512), *white0, flatPeak.kernel()), 1.0);
    EXPECT_EQ(itm.calls, 4);
    EXPECT_GE(itm.takeMs(), 0.0);
    EXPECT_EQ(itm.calls, 0);
    EXPECT_EQ(itm.takeMs(), 0.0);
}

// Random colours, saturated ones included (the gamut bisection), on a
// picture whose chroma plane has odd sizes; BT.709 and BT.601 input.
TEST(InverseToneMap, MatchesTheReferenceOnRandomColours) {
    auto context = compute::ComputeContext::shared();
    PicturePool pool(34, 18, 0, deviceStorage(context));
    PictureRef in = pool.take();
    reference::fillRandom(*in, 21);

    for (float saturation : {1.0f, 2.0f}) {
        ToneParams tone;
        tone.peak = 1000;
        tone.saturation = saturation;
        InverseToneMap itm(34, 18, tone);
        PictureRef out = itm.apply(in);
        EXPECT_LE(worstCodes(*in, *out, tone.kernel()), 1.0) << saturation;

        tone.bt601 = true;
        itm.params = tone;
        PictureRef out601 = itm.apply(in);
        EXPECT_LE(worstCodes(*in, *out601, tone.kernel()), 1.0) << saturation;
        int differ = 0;
        for (int x = 0; x < 34; ++x) differ += out601->row(0, 3)[x] != out->row(0, 3)[x];
        EXPECT_GT(differ, 10); // the coefficients matter
    }
}

TEST(InverseToneMap, RefusesAWrongSize) {
    InverseToneMap itm(6, 4, ToneParams{});
    try {
        itm.apply(flat(64, 512, 512));
        itm.apply(makePicture(8, 4));
        FAIL();
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "The HDR lift takes 6x4 pictures and was given 8x4.");
    }
    EXPECT_EQ(itm.calls, 1);
    EXPECT_THROW(InverseToneMap(7, 4, ToneParams{}), EnhanceError);
}
