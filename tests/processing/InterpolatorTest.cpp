#include "processing/Interpolator.h"
#include "support/TempDir.h"

#include "common/EnhanceError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <functional>

using namespace corvel;
using corvel::test::readFile;
using corvel::test::TempDir;

namespace {

// A smooth random value at lattice point (i, j) of layer `seed`.
double lattice(long i, long j, unsigned seed) {
    uint32_t h = static_cast<uint32_t>(i) * 0x9E3779B1u ^ static_cast<uint32_t>(j) * 0x85EBCA77u ^
                 seed * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return (h & 0xFFFF) / 65535.0 - 0.5;
}

// Value noise with `cell` samples between lattice points and smooth steps
// in between: a texture with no period, so that a flow cannot mistake one
// place for another.
double noise(double x, double y, double cell, unsigned seed) {
    const double u = x / cell, v = y / cell;
    const double fu = std::floor(u), fv = std::floor(v);
    auto smooth = [](double t) { return t * t * (3 - 2 * t); };
    const double a = smooth(u - fu), b = smooth(v - fv);
    const long i = static_cast<long>(fu), j = static_cast<long>(fv);
    const double top = lattice(i, j, seed) * (1 - a) + lattice(i + 1, j, seed) * a;
    const double bottom = lattice(i, j + 1, seed) * (1 - a) + lattice(i + 1, j + 1, seed) * a;
    return top * (1 - b) + bottom * b;
}

// A richly textured scene in 10-bit codes around mid grey: three octaves of
// noise. `x`, `y` in luma samples; `which` picks an unrelated scene (Cb and
// Cr get their own).
double scene(double x, double y, int which) {
    const auto s = static_cast<unsigned>(which * 3);
    return 500 + 500 * noise(x, y, 23, s) + 300 * noise(x, y, 9, s + 1) + 150 * noise(x, y, 4, s + 2);
}

int code(double v) { return std::clamp(static_cast<int>(std::lround(v)), 64, 940); }

// A picture whose luma at (x, y) is scene(x - dx, y - dy): the scene moved
// right by dx and down by dy. Chroma sample (cx, cy) sits at luma position
// (2cx + 0.5, 2cy + 0.5).
PictureRef shifted(int w, int h, double dx, double dy,
                   const std::function<double(double, double, int)>& s = scene) {
    PictureRef p = makePicture(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p->row(0, y)[x] = static_cast<uint16_t>(code(s(x - dx, y - dy, 0)) << 6);
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            const double lx = 2 * x + 0.5 - dx, ly = 2 * y + 0.5 - dy;
            p->row(1, y)[2 * x] = static_cast<uint16_t>(code(s(lx, ly, 1)) << 6);
            p->row(1, y)[2 * x + 1] = static_cast<uint16_t>(code(s(lx, ly, 2)) << 6);
        }
    p->color.primaries = "ITU_R_709_2";
    return p;
}

int codeOf(uint16_t word) { return std::min((word + 32) >> 6, 1023); }

// Differences in 10-bit codes over the samples at least `margin` luma
// samples inside the frame, both planes.
struct Difference {
    int worst = 0;
    double mean = 0;
    double beyond2 = 0; // share of samples more than 2 codes off
};
Difference compare(const Picture& got, const Picture& want, int margin) {
    Difference d;
    long sum = 0, count = 0, beyond = 0;
    for (int plane = 0; plane < 2; ++plane) {
        const int m = plane == 0 ? margin : margin / 2;
        const int h = got.planeHeight(plane);
        const int words = got.width; // luma samples, or Cb Cr pairs x 2
        const int step = plane == 0 ? 1 : 2;
        for (int y = m; y < h - m; ++y)
            for (int x = m * step; x < words - m * step; ++x) {
                const int e = std::abs(codeOf(got.row(plane, y)[x]) - codeOf(want.row(plane, y)[x]));
                d.worst = std::max(d.worst, e);
                sum += e;
                count += 1;
                beyond += e > 2;
            }
    }
    d.mean = count ? static_cast<double>(sum) / static_cast<double>(count) : 0;
    d.beyond2 = count ? static_cast<double>(beyond) / static_cast<double>(count) : 0;
    return d;
}

// Luma PSNR over the whole frame, in dB of the 10-bit range.
double lumaPsnr(const Picture& got, const Picture& want) {
    double sum = 0;
    for (int y = 0; y < got.height; ++y)
        for (int x = 0; x < got.width; ++x) {
            const double e = codeOf(got.row(0, y)[x]) - codeOf(want.row(0, y)[x]);
            sum += e * e;
        }
    const double mse = sum / (static_cast<double>(got.width) * got.height);
    return 10 * std::log10(1023.0 * 1023.0 / std::max(mse, 1e-9));
}

PictureRef blend(const Picture& a, const Picture& b) {
    PictureRef p = makePicture(a.width, a.height);
    for (int plane = 0; plane < 2; ++plane)
        for (int y = 0; y < a.planeHeight(plane); ++y)
            for (int x = 0; x < a.width; ++x)
                p->row(plane, y)[x] =
                    static_cast<uint16_t>((a.row(plane, y)[x] + b.row(plane, y)[x] + 1) / 2);
    return p;
}

} // namespace

// Every case writes its log lines to one file of its own suite.
class InterpolatorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir();
        setenv("CORVEL_ENHANCE_LOG", dir->file("enhancer.log").c_str(), 1);
    }
    static void TearDownTestSuite() { delete dir; }
    static std::string log() { return readFile(dir->file("enhancer.log")); }
    static long count(const std::string& text, const std::string& part) {
        long n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }
    static TempDir* dir;
};
TempDir* InterpolatorTest::dir = nullptr;

TEST_F(InterpolatorTest, RefusesSizesItCannotTake) {
    try {
        Interpolator odd(321, 180);
        FAIL() << "an odd width was taken";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "VTFrameRateConversion does not take 321x180.");
    }
    EXPECT_THROW(Interpolator(16, 16), EnhanceError);
    EXPECT_THROW(Interpolator(0, 180), EnhanceError);
}

TEST_F(InterpolatorTest, SourceCopiesHostPicturesOnceAndPassesItsOwnThrough) {
    Interpolator interpolator(320, 180);
    PictureRef decoded = shifted(320, 180, 0, 0);
    PictureRef a = interpolator.source(decoded);
    ASSERT_NE(a.get(), decoded.get());
    EXPECT_EQ(compare(*a, *decoded, 0).worst, 0);
    EXPECT_EQ(a->color, decoded->color);
    // A picture already in the interpolator's memory is used as it is.
    EXPECT_EQ(interpolator.source(a).get(), a.get());
    try {
        interpolator.source(makePicture(160, 90));
        FAIL() << "a picture of another size was taken";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "pixel transfer: -1");
    }
}

TEST_F(InterpolatorTest, PhaseZeroAndOneGiveThePicturesThemselves) {
    Interpolator interpolator(320, 180);
    PictureRef a = interpolator.source(shifted(320, 180, 0, 0));
    PictureRef b = interpolator.source(shifted(320, 180, 6, -3));
    PictureRef atA = interpolator.between(a, 1.0, b, 1.04, 0.0f);
    PictureRef atB = interpolator.between(a, 1.0, b, 1.04, 1.0f);
    ASSERT_TRUE(atA && atB);
    EXPECT_EQ(compare(*atA, *a, 0).worst, 0);
    EXPECT_EQ(compare(*atB, *b, 0).worst, 0);
    EXPECT_EQ(atA->color, a->color);
    // Out-of-range phases are clamped.
    PictureRef below = interpolator.between(a, 1.0, b, 1.04, -0.5f);
    ASSERT_TRUE(below);
    EXPECT_EQ(compare(*below, *a, 0).worst, 0);
}

TEST_F(InterpolatorTest, AWholePixelTranslationGivesTheShiftedPicture) {
    // The scene moves 8 right and 4 up from A to B: at phase 0.5 it has moved
    // 4 and 2, whole luma samples and whole chroma samples.
    Interpolator interpolator(320, 180);
    PictureRef a = interpolator.source(shifted(320, 180, 0, 0));
    PictureRef b = interpolator.source(shifted(320, 180, 8, -4));
    PictureRef truth = shifted(320, 180, 4, -2);
    PictureRef mid = interpolator.between(a, 0.0, b, 0.04, 0.5f);
    ASSERT_TRUE(mid);
    const Difference ours = compare(*mid, *truth, 16);
    const Difference blended = compare(*blend(*a, *b), *truth, 16);
    EXPECT_LE(ours.worst, 4) << "mean " << ours.mean;
    EXPECT_LT(ours.mean, 0.1);
    EXPECT_LT(ours.beyond2, 0.001);
    EXPECT_GT(blended.mean, 40 * std::max(ours.mean, 0.05)); // the case is not a trivial one

    // Phase 0.25 of a 16-sample move is 4 samples too.
    PictureRef far = interpolator.source(shifted(320, 180, 16, 0));
    PictureRef quarter = interpolator.between(a, 0.0, far, 0.04, 0.25f);
    ASSERT_TRUE(quarter);
    const Difference q = compare(*quarter, *shifted(320, 180, 4, 0), 24);
    EXPECT_LE(q.worst, 4) << "mean " << q.mean;
    EXPECT_LT(q.mean, 0.1);
    EXPECT_LT(q.beyond2, 0.001);
}

TEST_F(InterpolatorTest, FlowAtAReducedSizeStillLandsOnWholeSamples) {
    // 640x360 with the flow at 320x180: flow vectors are scaled up by 2,
    // and the flow's own half-sample errors double with them, so a few
    // samples miss where the texture is finest.
    Interpolator::Tuning tuning;
    tuning.flowLongSide = 320;
    Interpolator interpolator(640, 360, {}, tuning);
    EXPECT_EQ(interpolator.flowWidth(), 320);
    EXPECT_EQ(interpolator.flowHeight(), 180);
    PictureRef a = interpolator.source(shifted(640, 360, 0, 0));
    PictureRef b = interpolator.source(shifted(640, 360, -12, 8));
    PictureRef mid = interpolator.between(a, 0.0, b, 0.04, 0.5f);
    ASSERT_TRUE(mid);
    const Difference ours = compare(*mid, *shifted(640, 360, -6, 4), 24);
    EXPECT_LT(ours.mean, 0.3) << "worst " << ours.worst;
    EXPECT_LT(ours.beyond2, 0.03);
}

TEST_F(InterpolatorTest, AnObjectMovingOverABackgroundBeatsBlending) {
    // A textured square moves 12 samples right over a still background; the
    // background it uncovers and covers is seen by one picture only.
    auto withSquare = [](double at) {
        return [at](double x, double y, int which) {
            const double sx = x - at;
            if (sx >= 100 && sx < 180 && y >= 50 && y < 130)
                return scene(sx, y, which + 7);
            return scene(x, y, which + 3);
        };
    };
    Interpolator interpolator(320, 180);
    PictureRef a = interpolator.source(shifted(320, 180, 0, 0, withSquare(0)));
    PictureRef b = interpolator.source(shifted(320, 180, 0, 0, withSquare(12)));
    PictureRef truth = shifted(320, 180, 0, 0, withSquare(6));
    PictureRef mid = interpolator.between(a, 0.0, b, 0.04, 0.5f);
    ASSERT_TRUE(mid);
    const double ours = lumaPsnr(*mid, *truth);
    const double blended = lumaPsnr(*blend(*a, *b), *truth);
    EXPECT_GT(ours, blended + 6.0) << "ours " << ours << " dB, blending " << blended << " dB";
}

TEST_F(InterpolatorTest, ASceneCutRepeatsWithOneLogLine) {
    Interpolator interpolator(320, 180);
    auto other = [](double x, double y, int which) { return 1000 - scene(y * 1.7, x * 0.6, which + 5); };
    PictureRef a = interpolator.source(shifted(320, 180, 0, 0));
    PictureRef b = interpolator.source(shifted(320, 180, 0, 0, other));
    PictureRef c = interpolator.source(shifted(320, 180, 2, 0, other));
    ASSERT_TRUE(interpolator.between(a, 7.96, a, 7.98, 0.5f)); // a still pair is no cut
    const double spent = interpolator.spentMs;
    const int calls = interpolator.calls;

    const long before = count(log(), "interpolator: in-between frame at 8.000 s failed (scene cut");
    EXPECT_FALSE(interpolator.between(a, 8.0, b, 8.04, 0.5f));
    // The same pair at other phases: repeated, but not logged again.
    EXPECT_FALSE(interpolator.between(a, 8.0, b, 8.04, 0.25f));
    EXPECT_FALSE(interpolator.between(a, 8.0, b, 8.04, 0.75f));
    const std::string text = log();
    EXPECT_EQ(count(text, "interpolator: in-between frame at 8.000 s failed (scene cut"), before + 1);
    EXPECT_NE(text.find("); the frame repeats\n"), std::string::npos);
    EXPECT_EQ(interpolator.figures().cuts, 1);
    EXPECT_EQ(interpolator.spentMs, spent);
    EXPECT_EQ(interpolator.calls, calls);
    EXPECT_EQ(interpolator.lastNextPts, -1.0);

    // The next pair, inside the new scene, is interpolated again.
    PictureRef mid = interpolator.between(b, 8.04, c, 8.08, 0.5f);
    ASSERT_TRUE(mid);
    EXPECT_EQ(interpolator.calls, calls + 1);
    EXPECT_EQ(interpolator.lastNextPts, 8.08);
}

TEST_F(InterpolatorTest, ContinuingPairsAreSequentialUntilAFailure) {
    Interpolator interpolator(320, 180);
    PictureRef p[5];
    for (int i = 0; i < 5; ++i) p[i] = interpolator.source(shifted(320, 180, 3.0 * i, 1.0 * i));
    const double t[5] = {0.0, 0.04, 0.08, 0.12, 0.16};
    EXPECT_EQ(interpolator.lastSubmission(), Interpolator::Submission::None);

    ASSERT_TRUE(interpolator.between(p[0], t[0], p[1], t[1], 0.5f));
    EXPECT_EQ(interpolator.lastSubmission(), Interpolator::Submission::Random);
    EXPECT_EQ(interpolator.lastNextPts, t[1]);
    // (P1, P2) then (P2, P3): sequential, and P2's reduced luma is reused.
    // A start within 1e-6 s of the last end still continues the sequence.
    ASSERT_TRUE(interpolator.between(p[1], t[1] + 5e-7, p[2], t[2], 0.5f));
    EXPECT_EQ(interpolator.lastSubmission(), Interpolator::Submission::Sequential);
    EXPECT_EQ(interpolator.figures().reducedReused, 0); // the time differs: computed afresh
    ASSERT_TRUE(interpolator.between(p[2], t[2], p[3], t[3], 0.5f));
    EXPECT_EQ(interpolator.lastSubmission(), Interpolator::Submission::Sequential);
    EXPECT_EQ(interpolator.figures().reducedReused, 1);
    EXPECT_EQ(interpolator.figures().flows, 6);
    // The same pair at another phase reuses both flows.
    ASSERT_TRUE(interpolator.between(p[2], t[2], p[3], t[3], 0.25f));
    EXPECT_EQ(interpolator.lastSubmission(), Interpolator::Submission::Random);
    EXPECT_EQ(interpolator.figures().flows, 6);
    EXPECT_EQ(interpolator.calls, 4);
    EXPECT_GT(interpolator.spentMs, 0.0);

    // A failure (B of the wrong size): none, one log line, counters kept,
    // and the next pair is random although it starts where the last
    // successful one ended.
    const double spent = interpolator.spentMs;
    const long before = count(log(), "interpolator: in-between frame at 0.120 s failed (");
    EXPECT_FALSE(interpolator.between(p[3], t[3], makePicture(160, 90), t[4], 0.5f));
    EXPECT_EQ(count(log(), "interpolator: in-between frame at 0.120 s failed (The interpolator takes "
                           "320x180 pictures and was given 160x90.); the frame repeats"),
              before + 1);
    EXPECT_EQ(interpolator.lastNextPts, -1.0);
    EXPECT_EQ(interpolator.calls, 4);
    EXPECT_EQ(interpolator.spentMs, spent);
    ASSERT_TRUE(interpolator.between(p[3], t[3], p[4], t[4], 0.5f));
    EXPECT_EQ(interpolator.lastSubmission(), Interpolator::Submission::Random);
    EXPECT_EQ(interpolator.calls, 5);

    // A pair out of order fails the same way, without throwing.
    EXPECT_FALSE(interpolator.between(p[4], t[4], p[3], t[3], 0.5f));
    EXPECT_EQ(interpolator.lastNextPts, -1.0);
}
