#include "service/Fitting.h"

#include <gtest/gtest.h>

using namespace corvel;

namespace {

StreamInfo title(int w, int h, uint32_t num = 24000, uint32_t den = 1001, double seconds = 60) {
    StreamInfo info;
    info.width = w;
    info.height = h;
    info.fpsNum = num;
    info.fpsDen = den;
    info.sourceFpsNum = num;
    info.sourceFpsDen = den;
    info.sourceFps = static_cast<double>(num) / den;
    info.durationSec = seconds;
    info.outWidth = w;
    info.outHeight = h;
    info.layOut(1.0);
    return info;
}

Key upKey(const std::string& up) {
    Key key;
    key.item = "t";
    key.up = up;
    return key;
}

} // namespace

TEST(FitRung, SizesFitTheBoxAndNeverGrow) {
    struct Case { int w, h, maxh, ew, eh; } cases[] = {
        {1920, 1080, 720, 1280, 720}, {1920, 1080, 480, 848, 480}, {1920, 1080, 2160, 1920, 1080},
        {1920, 800, 720, 1280, 534},  {1440, 1080, 720, 960, 720}, {3840, 2160, 1080, 1920, 1080}};
    for (auto c : cases) {
        StreamInfo info = title(c.w, c.h);
        Key key;
        key.tv = true;
        key.abr = 3000;
        key.seg = 2;
        key.maxHeight = c.maxh;
        fitRung(key, info);
        EXPECT_EQ(info.width, c.ew) << c.w << "x" << c.h << " at " << c.maxh;
        EXPECT_EQ(info.height, c.eh) << c.w << "x" << c.h << " at " << c.maxh;
        EXPECT_EQ(info.rungKbps, 3000);
        EXPECT_FALSE(info.sound);
    }
}

TEST(FitRung, AdaptiveSoundIsStereoAtMost) {
    StreamInfo info = title(1920, 1080);
    info.sound = SoundPlan{0, "eac3", 6, 48000, false, false};
    ASSERT_EQ(info.sound->treatment(), SoundPlan::Treatment::copy);
    Key key;
    key.tv = true;
    key.abr = 3000;
    key.seg = 2;
    key.maxHeight = 720;
    fitRung(key, info);
    EXPECT_TRUE(info.sound->small);
    EXPECT_EQ(info.sound->summary(), "eac3 6 ch at 48000 Hz, to AAC stereo");
}

TEST(FitFi, RateDoublingAndRefusals) {
    ServiceOptions options;
    Key fi;
    fi.fi = true;
    StreamInfo info = title(1280, 720, 25, 1);
    fitFi(fi, info, options, true);
    EXPECT_TRUE(info.interpolate);
    EXPECT_EQ(info.fpsNum, 50u);
    EXPECT_EQ(info.fpsDen, 1u);
    EXPECT_EQ(info.why, "frame interpolation 25.000 -> 50/1 fps (VTFrameRateConversion)");

    info = title(1280, 720);
    fitFi(fi, info, options, true);
    EXPECT_EQ(info.fpsNum, 48000u);
    EXPECT_EQ(info.fpsDen, 1001u);

    info = title(1280, 720, 50, 1);
    fitFi(fi, info, options, true);
    EXPECT_FALSE(info.interpolate);
    EXPECT_EQ(info.why, "no frame interpolation at 50.000 fps (only up to 30.5)");

    info = title(3840, 2160, 25, 1);
    fitFi(fi, info, options, true);
    EXPECT_EQ(info.why, "no frame interpolation at 3840x2160 (8.3 Mpix; this Mac keeps up to 3.0)");
    info = title(2560, 1440, 25, 1);
    fitFi(fi, info, options, true);
    EXPECT_FALSE(info.interpolate);

    info = title(1280, 720, 25, 1);
    fitFi(fi, info, options, false);
    EXPECT_EQ(info.why, "no frame interpolation (VTFrameRateConversion unavailable on this Mac)");
    EXPECT_EQ(info.fpsNum, 25u);

    info = title(1280, 720, 25, 1);
    info.why = "old text";
    fitFi(Key(), info, options, true);
    EXPECT_EQ(info.why, "no frame interpolation asked: frames pass through at 25.000 fps");
}

TEST(FitUp, OutputSizesWithTheDefaultBox) {
    ServiceOptions options;
    options.upscaler = "bicubic";
    struct Case { int w, h, ow, oh; } cases[] = {
        {1920, 1080, 3840, 2160}, {1280, 720, 2560, 1440}, {1920, 800, 3840, 1600},
        {1440, 1080, 2880, 2160}, {2560, 1440, 3840, 2160}, {2560, 1080, 3840, 1620},
        {720, 576, 1440, 1152},   {3840, 2160, 3840, 2160}, {3200, 1800, 3200, 1800}};
    for (auto c : cases) {
        StreamInfo info = title(c.w, c.h);
        fitUp(upKey("1"), info, options);
        EXPECT_EQ(info.outWidth, c.ow) << c.w << "x" << c.h;
        EXPECT_EQ(info.outHeight, c.oh) << c.w << "x" << c.h;
        EXPECT_EQ(info.upscaler.empty(), c.ow == c.w);
    }
    StreamInfo near = title(3200, 1800);
    fitUp(upKey("bilinear"), near, options);
    EXPECT_EQ(near.why, "; no upscaling at 3200x1800 (already near 3840x2160)");
    StreamInfo done = title(1920, 1080);
    fitUp(upKey("1"), done, options);
    EXPECT_EQ(done.why, "; upscaled 1920x1080 -> 3840x2160 (bicubic (Catmull-Rom))");
}

TEST(FitUp, TvBoxAndMissingUpscaler) {
    ServiceOptions options;
    options.upscaler = "bicubic";
    Key tv = upKey("1");
    tv.tv = true;
    tv.maxHeight = 1080;
    StreamInfo small = title(1280, 720);
    fitUp(tv, small, options);
    EXPECT_EQ(small.outWidth, 1920);
    EXPECT_EQ(small.outHeight, 1080);
    StreamInfo full = title(1920, 1080);
    fitUp(tv, full, options);
    EXPECT_EQ(full.why, "; no upscaling at 1920x1080 (already near 3840x1080)");

    options.upscaler = "";
    StreamInfo none = title(1280, 720);
    fitUp(upKey("1"), none, options);
    EXPECT_EQ(none.why, "; no upscaling (this GPU is too slow for it: the screen scales the title)");
    EXPECT_EQ(none.outWidth, 1280);
}

TEST(FitUp, NeuralNetworkByBitsPerPixel) {
    ServiceOptions options;
    options.upscaler = "neural";
    StreamInfo h264 = title(1920, 1080);
    h264.bitRate = 8e6;
    h264.codec = "h264";
    fitUp(upKey("1"), h264, options);
    EXPECT_EQ(h264.upscaler, "neural-low");
    EXPECT_EQ(h264.why.substr(0, 21), "; 0.161 bits a pixel;");

    StreamInfo hevc = title(1920, 1080);
    hevc.bitRate = 8e6;
    hevc.codec = "HEVC";
    fitUp(upKey("1"), hevc, options);
    EXPECT_EQ(hevc.upscaler, "neural-hb");

    StreamInfo unknown = title(1280, 720);
    fitUp(upKey("neural"), unknown, options);
    EXPECT_EQ(unknown.upscaler, "neural-low");
    EXPECT_EQ(unknown.why.substr(0, 18), "; bitrate unknown;");
}

TEST(NeuralTier, BudgetsAndTiers) {
    ServiceOptions options;
    options.neuralMs = 30;
    const std::pair<uint32_t, uint32_t> rates[] = {{24000, 1001}, {25, 1}, {30000, 1001}, {60000, 1001}};
    // 840 / (24000/1001) is 35.035 exactly, stored just below it in binary,
    // so "%.2f" writes 35.03 (a hand computation with 23.976 gives 35.04).
    const char* budgets[] = {"35.03", "33.60", "28.03", "14.01"};
    for (int i = 0; i < 4; ++i) {
        StreamInfo info = title(1920, 1080, rates[i].first, rates[i].second);
        options.neuralMs = 1000; // never fits: the text shows the budget
        neuralTier("neural-low", info, options);
        EXPECT_NE(info.why.find("over " + std::string(budgets[i]) + " ms a picture"), std::string::npos)
            << info.why;
    }
    StreamInfo doubled = title(1920, 1080, 48000, 1001);
    neuralTier("neural-low", doubled, options);
    EXPECT_NE(doubled.why.find("over 17.52 ms"), std::string::npos) << doubled.why;

    // A 2560x1440 picture uses the 2560x1440 model: 10 ms counts as 17.65.
    StreamInfo qhd = title(2560, 1440);
    options.neuralMs = 10;
    options.neuralBudgetMs = 5;
    options.neuralFallback = "bicubic";
    EXPECT_EQ(neuralTier("neural-hb", qhd, options), "bicubic");
    EXPECT_NE(qhd.why.find("; bicubic (Catmull-Rom) (the AI upscaler's 17.65 ms over"), std::string::npos)
        << qhd.why;

    // The medium tier wins when it fits, even if the full network fits too.
    options.neuralBudgetMs = 14;
    options.mediumMs = 5;
    StreamInfo hd = title(1920, 1080);
    EXPECT_EQ(neuralTier("neural-hb", hd, options), "neural-hb-medium");
    EXPECT_EQ(neuralTier("neural-low", hd, options), "neural-medium");

    // The student when only it fits.
    options.mediumMs.reset();
    options.neuralMs = 50;
    options.studentMs = 20;
    StreamInfo student = title(1920, 1080);
    EXPECT_EQ(neuralTier("neural-low", student, options), "neural-low-student");

    // Larger than every model: nothing fits, not even a tiny time.
    options.studentMs = 0.001;
    options.neuralMs = 0.001;
    options.neuralFallback = "";
    StreamInfo huge = title(3840, 2160);
    EXPECT_EQ(neuralTier("neural-low", huge, options), "");
    EXPECT_NE(huge.why.find("; no upscaling (the AI upscaler's inf ms"), std::string::npos) << huge.why;

    options.neuralMs.reset();
    StreamInfo unmeasured = title(3840, 2160);
    EXPECT_EQ(neuralTier("neural-hb", unmeasured, options), "neural-hb");
    EXPECT_EQ(unmeasured.why, "");
}

TEST(NeuralHbBpp, Thresholds) {
    EXPECT_EQ(neuralHbBpp(""), 0.2);
    EXPECT_EQ(neuralHbBpp("AVC1"), 0.2);
    EXPECT_EQ(neuralHbBpp("hevc"), 0.15);
    EXPECT_EQ(neuralHbBpp("vp9"), 0.15);
    EXPECT_EQ(neuralHbBpp("mpeg2video"), 0.4);
}

TEST(EncoderConfig, AutomaticRatesRungsAndColour) {
    ServiceOptions options;
    StreamInfo uhd = title(3840, 2160);
    EXPECT_NEAR(encoderConfig(uhd, {}, {}, options).bitrate / 1e6, 39.77, 0.01);
    StreamInfo hd = title(1280, 720, 24, 1);
    EXPECT_EQ(encoderConfig(hd, {}, {}, options).bitrate, 8000000);
    StreamInfo fast = title(3840, 2160, 60000, 1001);
    EXPECT_NEAR(encoderConfig(fast, {}, {}, options).bitrate / 1e6, 99.43, 0.01);
    options.mbps = 12.5;
    EXPECT_EQ(encoderConfig(hd, {}, {}, options).bitrate, 12500000);

    StreamInfo rung = title(1280, 720);
    rung.rungKbps = 3000;
    EncoderConfig c = encoderConfig(rung, {}, {}, options);
    EXPECT_EQ(c.bitrate, 3000000);
    EXPECT_EQ(c.peakBitrate, 3450000);
    EXPECT_EQ(c.quality, 0);

    SourceColor source{color::kPrimaries709, color::kTransfer709, color::kMatrix709};
    EXPECT_EQ(encoderConfig(hd, source, {}, options).color, source);
    EXPECT_FALSE(encoderConfig(hd, source, {}, options).hdr10.has_value());
    StreamInfo pq = hd;
    pq.sourcePq = true;
    EncoderConfig kept = encoderConfig(pq, source, {}, options);
    EXPECT_EQ(kept.color.transfer, color::kTransferPQ);
    EXPECT_EQ(kept.hdr10, (HDR10Metadata{1000, 400}));
    StreamInfo lifted = hd;
    lifted.hdr = true;
    ToneParams tone;
    tone.peak = 812.9f;
    EXPECT_EQ(encoderConfig(lifted, source, tone, options).hdr10, (HDR10Metadata{812, 400}));
    EXPECT_EQ(encoderConfig(lifted, source, tone, options).color.primaries, color::kPrimaries2020);
}
