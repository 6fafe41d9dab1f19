#include "common/EnhanceError.h"
#include "processing/DevicePicture.h"
#include "processing/GreyRamp.h"
#include "processing/KernelReference.h"
#include "processing/ShaderDirectory.h"
#include "processing/ShaderScaler.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>
#include <cstdlib>
#include <fstream>

using namespace corvel;

namespace {

PictureRef devicePicture(int w, int h, unsigned seed) {
    PicturePool pool(w, h, 0, deviceStorage(compute::ComputeContext::shared()));
    PictureRef p = pool.take();
    reference::fillRandom(*p, seed);
    return p;
}

struct Case {
    ScaleMethod::Kind kind;
    int inW, inH, outW, outH;
};

} // namespace

// Up and down, both modes, sizes whose chroma planes are odd; the input in
// device memory and in plain host memory.
TEST(ShaderScaler, MatchesTheReferenceUpAndDown) {
    const Case cases[] = {
        {ScaleMethod::Kind::Bicubic, 38, 22, 70, 46},
        {ScaleMethod::Kind::Bicubic, 70, 46, 38, 22},
        {ScaleMethod::Kind::Bilinear, 38, 22, 70, 46},
        {ScaleMethod::Kind::Bilinear, 70, 46, 26, 14},
        {ScaleMethod::Kind::Bicubic, 30, 18, 30, 40}, // width kept, height scaled
        // Small ratios take the phased kernels, per axis: 2/1, 3/2, 1/2,
        // 3/1; 38 -> 70 and 22 -> 46 above are not small (35/19, 23/11).
        {ScaleMethod::Kind::Bicubic, 38, 22, 76, 44},
        {ScaleMethod::Kind::Bicubic, 28, 16, 42, 24},
        {ScaleMethod::Kind::Bilinear, 28, 16, 42, 24},
        {ScaleMethod::Kind::Bicubic, 48, 28, 24, 14},
        {ScaleMethod::Kind::Bicubic, 14, 10, 42, 30},
        {ScaleMethod::Kind::Bilinear, 38, 22, 76, 44},
        {ScaleMethod::Kind::Bicubic, 30, 18, 60, 40},
        {ScaleMethod::Kind::Bicubic, 26, 14, 40, 28},
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.inW) + "x" + std::to_string(c.inH) + " -> " +
                     std::to_string(c.outW) + "x" + std::to_string(c.outH));
        ShaderScaler scaler({c.kind, ""}, c.inW, c.inH, c.outW, c.outH);
        const int mode = c.kind == ScaleMethod::Kind::Bicubic ? 1 : 0;
        PictureRef host = makePicture(c.inW, c.inH);
        reference::fillRandom(*host, seed++);
        host->color.primaries = "ITU_R_709_2";
        PictureRef out = scaler.scale(host);
        ASSERT_EQ(out->width, c.outW);
        ASSERT_EQ(out->height, c.outH);
        EXPECT_EQ(out->color.primaries, "ITU_R_709_2");
        EXPECT_LE(reference::worstResampleCodes(*host, *out, mode), 1.0);

        PictureRef onDevice = devicePicture(c.inW, c.inH, seed++);
        PictureRef out2 = scaler.scale(onDevice);
        EXPECT_LE(reference::worstResampleCodes(*onDevice, *out2, mode), 1.0);
        // The first output is still intact: outputs come from a pool of several.
        EXPECT_LE(reference::worstResampleCodes(*host, *out, mode), 1.0);
    }
}

// The resize passes made in bands of rows give the picture of one band bit
// for bit: every ratio kind (general, phased up, phased down), both modes,
// odd chroma heights, bands of one row to bands taller than the picture.
// The float rows between the passes shrink with the band.
TEST(ShaderScaler, BandsMakeTheSamePictureAsOneBand) {
    const Case cases[] = {
        {ScaleMethod::Kind::Bicubic, 38, 22, 70, 46},  // general both ways
        {ScaleMethod::Kind::Bilinear, 70, 46, 26, 14}, // general, down
        {ScaleMethod::Kind::Bicubic, 38, 22, 76, 42},  // phased 2/1 across, general down the columns
        {ScaleMethod::Kind::Bicubic, 38, 22, 76, 44},  // phased 2/1
        {ScaleMethod::Kind::Bicubic, 28, 18, 42, 54},  // phased 3/2 across, 3/1 down
        {ScaleMethod::Kind::Bilinear, 28, 16, 42, 24}, // phased 3/2
        {ScaleMethod::Kind::Bicubic, 48, 28, 24, 14},  // phased 1/2
        {ScaleMethod::Kind::Bicubic, 30, 18, 30, 40},  // width kept
        {ScaleMethod::Kind::Bicubic, 162, 90, 642, 362}, // more than one default band
    };
    unsigned seed = 40;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.inW) + "x" + std::to_string(c.inH) + " -> " +
                     std::to_string(c.outW) + "x" + std::to_string(c.outH));
        ShaderScaler scaler({c.kind, ""}, c.inW, c.inH, c.outW, c.outH);
        EXPECT_EQ(scaler.bandRows(), ShaderScaler::kDefaultBandRows);
        PictureRef in = devicePicture(c.inW, c.inH, seed++);
        scaler.setBandRows(0);
        // One band holds every source row of a plane, as floats; the two
        // planes take turns in one buffer, so it is the luma plane's size
        // (the chroma plane's rows hold as many floats, half as many rows).
        const size_t whole = scaler.tempBytes();
        EXPECT_EQ(whole, sizeof(float) * c.outW * c.inH);
        const PictureRef reference = scaler.scale(in);
        for (int rows : {1, 2, 3, 5, 8, 13, ShaderScaler::kDefaultBandRows, 4 * c.outH}) {
            SCOPED_TRACE("bands of " + std::to_string(rows) + " rows");
            scaler.setBandRows(rows);
            EXPECT_LE(scaler.tempBytes(), whole);
            if (rows <= 2 && c.inH >= 20) {
                EXPECT_LT(scaler.tempBytes(), whole / 2);
            }
            const PictureRef banded = scaler.scale(in);
            ASSERT_NE(banded.get(), reference.get());
            for (int plane = 0; plane < 2; ++plane)
                for (int y = 0; y < reference->planeHeight(plane); ++y)
                    for (int x = 0; x < c.outW; ++x)
                        ASSERT_EQ(banded->row(plane, y)[x], reference->row(plane, y)[x])
                            << "plane " << plane << " at " << x << ", " << y;
        }
    }

    // The band from the environment, checked: a bad value keeps the default.
    setenv("CORVEL_ENHANCE_SCALER_BAND_ROWS", "6", 1);
    EXPECT_EQ(ShaderScaler({ScaleMethod::Kind::Bicubic, ""}, 38, 22, 76, 44).bandRows(), 6);
    setenv("CORVEL_ENHANCE_SCALER_BAND_ROWS", "tall", 1);
    EXPECT_EQ(ShaderScaler({ScaleMethod::Kind::Bicubic, ""}, 38, 22, 76, 44).bandRows(),
              ShaderScaler::kDefaultBandRows);
    unsetenv("CORVEL_ENHANCE_SCALER_BAND_ROWS");
}

// On a zero-copy context a host picture is handed to the device in place:
// no staging copy, the device reads the samples as they are when borrowed.
// Copy contexts and device pictures keep their usual way. Through the
// scaler: the same picture whether it came from host or device memory, and
// a pipelined scale still copies (its caller may rewrite the picture at once).
TEST(PictureBinder, HostPicturesAreReadInPlaceWhenBorrowed) {
    auto context = compute::ComputeContext::create("cpu", compute::Transfer::ZeroCopy);
    ASSERT_TRUE(context->zeroCopy());
    compute::ComputeQueue queue(context);
    PictureRef host = makePicture(38, 22);
    reference::fillRandom(*host, 21);
    const size_t bytes = Picture::bytesFor(host->height, host->stride);
    std::vector<uint16_t> seen(bytes / 2);

    PictureBinder binder(context);
    DevicePlanes planes = binder.borrowInput(*host, queue);
    EXPECT_EQ(binder.stagingBytes(), 0u);
    queue.read(planes.mem, 0, bytes, seen.data());
    EXPECT_EQ(0, std::memcmp(seen.data(), host->plane(0), bytes));
    binder.releaseBorrowed();
    host->row(0, 3)[5] = 0x1234;
    planes = binder.borrowInput(*host, queue);
    queue.read(planes.mem, 0, bytes, seen.data());
    EXPECT_EQ(seen[3 * host->stride + 5], 0x1234);
    binder.releaseBorrowed();
    // The ordinary input stages a copy.
    binder.input(*host, queue);
    EXPECT_EQ(binder.stagingBytes(), bytes);

    auto copying = compute::ComputeContext::create("cpu", compute::Transfer::Copy);
    compute::ComputeQueue copyQueue(copying);
    PictureBinder copyBinder(copying);
    planes = copyBinder.borrowInput(*host, copyQueue);
    EXPECT_EQ(copyBinder.stagingBytes(), bytes);
    copyQueue.read(planes.mem, 0, bytes, seen.data());
    EXPECT_EQ(0, std::memcmp(seen.data(), host->plane(0), bytes));

    ShaderScaler scaler({ScaleMethod::Kind::Bicubic, ""}, 38, 22, 76, 44, context);
    PicturePool devicePool(38, 22, 0, deviceStorage(context));
    PictureRef onDevice = devicePool.take();
    std::memcpy(onDevice->plane(0), host->plane(0), bytes);
    const PictureRef fromDevice = scaler.scale(onDevice);
    const PictureRef fromHost = scaler.scale(host);
    for (int plane = 0; plane < 2; ++plane)
        for (int y = 0; y < fromHost->planeHeight(plane); ++y)
            ASSERT_EQ(0, std::memcmp(fromHost->row(plane, y), fromDevice->row(plane, y), 76 * 2)) << y;
    scaler.setPipelined(true);
    const PictureRef pipelined = scaler.scale(host);
    fillPicture(*host, 64, 512, 512); // rewritten before the work is waited for
    scaler.drain();
    for (int plane = 0; plane < 2; ++plane)
        for (int y = 0; y < pipelined->planeHeight(plane); ++y)
            ASSERT_EQ(0, std::memcmp(pipelined->row(plane, y), fromDevice->row(plane, y), 76 * 2)) << y;
}

TEST(ShaderScaler, EqualSizesCopySampleForSample) {
    for (auto kind : {ScaleMethod::Kind::Bilinear, ScaleMethod::Kind::Bicubic}) {
        ShaderScaler scaler({kind, ""}, 42, 26, 42, 26);
        PictureRef in = devicePicture(42, 26, 7);
        PictureRef out = scaler.scale(in);
        for (int plane = 0; plane < 2; ++plane)
            for (int y = 0; y < in->planeHeight(plane); ++y)
                for (int x = 0; x < 42; ++x)
                    ASSERT_EQ(out->row(plane, y)[x], in->row(plane, y)[x]) << plane << " " << x;
    }
}

// A context that keeps separate host and device copies, as on a discrete
// GPU: one upload of the input, one download of the output.
TEST(ShaderScaler, WorksWithCopiesBetweenHostAndDevice) {
    auto copying = compute::ComputeContext::create("cpu", compute::Transfer::Copy);
    ASSERT_FALSE(copying->zeroCopy());
    ShaderScaler scaler({ScaleMethod::Kind::Bicubic, ""}, 38, 22, 70, 46, copying);
    PicturePool inputs(38, 22, 1, deviceStorage(copying));
    PictureRef in = inputs.take();
    reference::fillRandom(*in, 11);
    EXPECT_LE(reference::worstResampleCodes(*in, *scaler.scale(in), 1), 1.0);
    // Rewritten after going back to the pool: the device copy is refreshed.
    Picture* first = in.get();
    in.reset();
    in = inputs.take();
    ASSERT_EQ(in.get(), first);
    reference::fillRandom(*in, 12);
    EXPECT_LE(reference::worstResampleCodes(*in, *scaler.scale(in), 1), 1.0);
}

TEST(ShaderScaler, StatisticsAndPipelinedMode) {
    ShaderScaler scaler({ScaleMethod::Kind::Bilinear, ""}, 38, 22, 76, 44);
    EXPECT_EQ(scaler.takeMs(false), 0.0);
    PictureRef in = devicePicture(38, 22, 3);
    scaler.scale(in);
    scaler.scale(in);
    const ScaleTimes both = scaler.takeBoth();
    EXPECT_GT(both.wall, 0.0);
    EXPECT_GE(both.wall, both.gpu);
    EXPECT_EQ(scaler.takeMs(true), 0.0); // takeBoth reset the counters

    scaler.scale(in);
    EXPECT_GT(scaler.takeMs(true), 0.0);
    EXPECT_EQ(scaler.takeMs(), 0.0);

    scaler.setPipelined(true);
    PictureRef out = scaler.scale(in);
    scaler.drain();
    EXPECT_LE(reference::worstResampleCodes(*in, *out, 0), 1.0);
    const ScaleTimes none = scaler.takeBoth();
    EXPECT_EQ(none.gpu, 0.0);
    EXPECT_EQ(none.wall, 0.0);
}

TEST(ShaderScaler, RefusesWrongPicturesAndStaysUsable) {
    ShaderScaler scaler({ScaleMethod::Kind::Bicubic, ""}, 38, 22, 70, 46);
    try {
        scaler.scale(makePicture(40, 22));
        FAIL() << "a 40x22 picture was scaled";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "The upscaler takes 38x22 pictures and was given 40x22.");
    }
    EXPECT_THROW(scaler.scale(nullptr), EnhanceError);
    EXPECT_EQ(scaler.takeMs(), 0.0); // nothing counted
    PictureRef in = devicePicture(38, 22, 5);
    EXPECT_LE(reference::worstResampleCodes(*in, *scaler.scale(in), 1), 1.0);
}

TEST(ShaderScaler, ConstructionFailures) {
    try {
        ShaderScaler scaler(ScaleMethod::parse("Neural-HB"), 38, 22, 76, 44);
        FAIL();
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "neural-hb, Neural Engine runs in NeuralScaler, not as a shader.");
    }
    try {
        ShaderScaler scaler({ScaleMethod::Kind::Bicubic, ""}, 38, 22, 75, 44);
        FAIL();
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "No 75x44 pixel buffer pool.");
    }
    test::TempDir dir;
    setShaderDirectoryOverride(dir.path());
    try {
        ShaderScaler scaler(ScaleMethod::parse("ravu"), 38, 22, 76, 44);
        FAIL();
    } catch (const EnhanceError& e) {
        EXPECT_NE(e.description().find("ravu-lite-ar-r3"), std::string::npos);
    }
    setShaderDirectoryOverride(std::nullopt);
}

TEST(GreyRamp, ClimbsFromBlackToWhiteOverTheStride) {
    PictureRef p = greyRamp(100, 10);
    ASSERT_TRUE(p);
    const size_t n = p->stride; // 128 words, padding included
    ASSERT_EQ(n, 128u);
    for (int plane = 0; plane < 2; ++plane) {
        const uint16_t* row = p->row(plane, p->planeHeight(plane) - 1);
        EXPECT_EQ(row[0], 64 * 64);
        EXPECT_EQ(row[1], (876 / 128 + 64) * 64);
        EXPECT_EQ(row[127], (127 * 876 / 128 + 64) * 64);
    }
    EXPECT_FALSE(greyRamp(101, 10));
}

// The pick between two methods by measured cost: a method that cannot be
// built counts as unmeasured, a fallback over the ceiling means no scaling.
TEST(ShaderScaler, PickAndMedian) {
    EXPECT_FALSE(ShaderScaler::medianMs("neural-low"));
    auto refused = ShaderScaler::pick("neural-low", "bilinear", 6.0, 1e-6);
    EXPECT_EQ(refused.first, "");
    EXPECT_EQ(refused.second, 0.0);
    auto chosen = ShaderScaler::pick("bicubic", "bilinear", 1e9, 1e9);
    EXPECT_EQ(chosen.first, "bicubic");
    EXPECT_GT(chosen.second, 0.0);

    // The quick timing: device time of a small picture, none where the
    // method cannot be built.
    const std::optional<double> quick = ShaderScaler::quickMs("bicubic", 64, 36);
    ASSERT_TRUE(quick);
    EXPECT_GT(*quick, 0.0);
    EXPECT_FALSE(ShaderScaler::quickMs("neural-low", 64, 36));
    EXPECT_FALSE(ShaderScaler::quickMs("no-such-shader", 64, 36));

    // A given measure replaces medianMs and is told each name's limit.
    std::vector<std::pair<std::string, double>> asked;
    auto measure = [&](const std::string& name, double limit) -> std::optional<double> {
        asked.emplace_back(name, limit);
        return 100.0;
    };
    EXPECT_EQ(ShaderScaler::pick("a", "b", 6.0, 12.0, measure), std::make_pair(std::string(""), 100.0));
    EXPECT_EQ(asked, (std::vector<std::pair<std::string, double>>{{"a", 6.0}, {"b", 12.0}}));

    setenv("CORVEL_ENHANCE_UPSCALER_BUDGET_MS", "2.5", 1);
    setenv("CORVEL_ENHANCE_UPSCALER_MAX_MS", "fast", 1);
    EXPECT_EQ(ShaderScaler::defaultBudgetMs(), 2.5);
    EXPECT_EQ(ShaderScaler::defaultMaxMs(), 12.0);
    unsetenv("CORVEL_ENHANCE_UPSCALER_BUDGET_MS");
    unsetenv("CORVEL_ENHANCE_UPSCALER_MAX_MS");
    EXPECT_EQ(ShaderScaler::defaultBudgetMs(), 6.0);
}
