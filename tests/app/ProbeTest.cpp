// The decisions of the upscaler pick and the probe's verdict, fed with chosen
// timings: the real timings are exercised by the process tests.
#include "app/Probe.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <vector>

using namespace corvel;

namespace {

// Timings by name (a missing name cannot be measured) and a record of every
// measurement asked for, with its limit.
struct FakeTimings {
    explicit FakeTimings(std::map<std::string, double> times = {}) : ms(std::move(times)) {}
    std::map<std::string, double> ms;
    std::vector<std::pair<std::string, double>> asked;

    UpscalerMeasures measures() {
        auto measure = [this](const std::string& name, double limit) -> std::optional<double> {
            asked.emplace_back(name, limit);
            auto it = ms.find(name);
            if (it == ms.end()) return std::nullopt;
            return it->second;
        };
        return {measure, measure};
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& [name, limit] : asked) out.push_back(name);
        return out;
    }
};

// Log lines go to standard error as well, so that the test reads exactly
// what this process logged.
class Pick : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("CORVEL_ENHANCE_LOG_STDERR", "1", 1);
        setenv("CORVEL_ENHANCE_LOG", "/dev/null", 1);
        unsetenv("CORVEL_ENHANCE_NEURAL_BUDGET_MS");
        unsetenv("CORVEL_ENHANCE_UPSCALER_BUDGET_MS");
        unsetenv("CORVEL_ENHANCE_UPSCALER_MAX_MS");
        ::testing::internal::CaptureStderr();
    }
    void TearDown() override {
        if (!captured) ::testing::internal::GetCapturedStderr();
        unsetenv("CORVEL_ENHANCE_LOG_STDERR");
        unsetenv("CORVEL_ENHANCE_NEURAL_BUDGET_MS");
    }
    // The messages logged so far, each without its time stamp.
    std::vector<std::string> logged() {
        captured = true;
        std::string text = ::testing::internal::GetCapturedStderr();
        std::vector<std::string> lines;
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(at, end - at);
            if (line.size() > 24) lines.push_back(line.substr(24));
            at = end + 1;
        }
        return lines;
    }
    bool captured = false;
};

} // namespace

TEST_F(Pick, TheStudentWithinTheLimitAtTwentyFourFramesKeepsTheNetwork) {
    FakeTimings t{{{"neural-low", 40}, {"neural-low-student", 30}}};
    auto picked = neuralPick(t.measures());
    ASSERT_TRUE(picked);
    EXPECT_EQ(picked->first, 40);
    EXPECT_EQ(picked->second, 30);
    ASSERT_EQ(t.asked.size(), 2u);
    EXPECT_EQ(t.asked[0], std::make_pair(std::string("neural-low"), 35.0));
    EXPECT_EQ(t.asked[1], std::make_pair(std::string("neural-low-student"), 35.0));
    EXPECT_TRUE(logged().empty());
}

TEST_F(Pick, BothOverTheLimitMeansShaders) {
    FakeTimings t{{{"neural-low", 40}, {"neural-low-student", 36}}};
    EXPECT_FALSE(neuralPick(t.measures()));
    EXPECT_EQ(logged(), std::vector<std::string>{
                            "upscaler: the AI upscaler took 40.00 ms for 1080p -> 4K (its student 36.00), "
                            "over 35.0 ms even at 24 fps: shaders instead"});

    // Without a student the network's own time decides, and the line says so.
    ::testing::internal::CaptureStderr();
    captured = false;
    FakeTimings alone{{{"neural-low", 35.5}}};
    EXPECT_FALSE(neuralPick(alone.measures()));
    EXPECT_EQ(logged(), std::vector<std::string>{
                            "upscaler: the AI upscaler took 35.50 ms for 1080p -> 4K (its student missing), "
                            "over 35.0 ms even at 24 fps: shaders instead"});
    FakeTimings atLimit{{{"neural-low", 35}}};
    EXPECT_TRUE(neuralPick(atLimit.measures()));
}

TEST_F(Pick, TheBudgetScalesTheLimit) {
    setenv("CORVEL_ENHANCE_NEURAL_BUDGET_MS", "20", 1);
    FakeTimings t{{{"neural-low", 49}, {"neural-low-student", 60}}};
    auto picked = neuralPick(t.measures());
    ASSERT_TRUE(picked);
    EXPECT_EQ(t.asked[0].second, 50.0);
    // A student slower than its teacher is measured but not the better time.
    EXPECT_EQ(picked->second, 60);

    setenv("CORVEL_ENHANCE_NEURAL_BUDGET_MS", "quick", 1); // unparsable: 35 ms
    FakeTimings u{{{"neural-low", 36}}};
    EXPECT_FALSE(neuralPick(u.measures()));
    EXPECT_EQ(u.asked[0].second, 35.0);
}

TEST_F(Pick, WithoutTheNetworkTheStudentIsNotMeasured) {
    FakeTimings t{{{"neural-low-student", 1}}};
    EXPECT_FALSE(neuralPick(t.measures()));
    EXPECT_EQ(t.names(), std::vector<std::string>{"neural-low"});
    EXPECT_EQ(logged(), std::vector<std::string>{"upscaler: the AI upscaler does not run here (no Neural "
                                                 "Engine, or its models are missing)"});
}

TEST_F(Pick, ShaderPickBudgetAndCeiling) {
    FakeTimings fast{{{"fsrcnnx8", 5}, {"ravu-lite", 1}}};
    EXPECT_EQ(shaderPick(fast.measures()), std::make_pair(std::string("fsrcnnx8"), 5.0));
    EXPECT_EQ(fast.asked, (std::vector<std::pair<std::string, double>>{{"fsrcnnx8", 6.0}}));

    FakeTimings slow{{{"fsrcnnx8", 8}, {"ravu-lite", 13}}};
    EXPECT_EQ(shaderPick(slow.measures()), std::make_pair(std::string(""), 8.0));
    EXPECT_EQ(slow.asked, (std::vector<std::pair<std::string, double>>{{"fsrcnnx8", 6.0}, {"ravu-lite", 12.0}}));
    EXPECT_EQ(logged(), std::vector<std::string>{"upscaler: ravu-lite-ar-r3 took 13.00 ms for 1080p -> 4K, "
                                                 "over 12.0 ms: no upscaling on this GPU"});

    FakeTimings unmeasured{{{"fsrcnnx8", 8}}};
    EXPECT_EQ(shaderPick(unmeasured.measures()), std::make_pair(std::string("ravu-lite"), 8.0));
    FakeTimings nothing;
    EXPECT_EQ(shaderPick(nothing.measures()), std::make_pair(std::string("ravu-lite"), 0.0));

    setenv("CORVEL_ENHANCE_UPSCALER_BUDGET_MS", "9", 1);
    setenv("CORVEL_ENHANCE_UPSCALER_MAX_MS", "7.5", 1);
    FakeTimings env{{{"fsrcnnx8", 10}, {"ravu-lite", 7.5}}};
    EXPECT_EQ(shaderPick(env.measures()), std::make_pair(std::string("ravu-lite"), 10.0));
    EXPECT_EQ(env.asked, (std::vector<std::pair<std::string, double>>{{"fsrcnnx8", 9.0}, {"ravu-lite", 7.5}}));
    unsetenv("CORVEL_ENHANCE_UPSCALER_BUDGET_MS");
    unsetenv("CORVEL_ENHANCE_UPSCALER_MAX_MS");
}

TEST_F(Pick, StartupPickOfTheNetworkFillsEveryTimeAndLogsOneLine) {
    FakeTimings t{{{"neural-low", 20}, {"neural-low-student", 9.5}, {"neural-medium", 31.25}, {"fsrcnnx8", 8},
                   {"ravu-lite", 4}}};
    ServiceOptions options;
    startupPick(options, t.measures());
    EXPECT_EQ(options.upscaler, "neural");
    EXPECT_EQ(options.neuralMs, 20);
    EXPECT_EQ(options.studentMs, 9.5);
    EXPECT_EQ(options.mediumMs, 31.25);
    EXPECT_EQ(options.neuralBudgetMs, 14.0);
    EXPECT_EQ(options.neuralFallback, "ravu-lite");
    EXPECT_EQ(t.names(),
              (std::vector<std::string>{"neural-low", "neural-low-student", "neural-medium", "fsrcnnx8", "ravu-lite"}));
    EXPECT_EQ(logged(), std::vector<std::string>{
                            "main: up=1 picks the AI upscaler on the Neural Engine (20.00 ms for 1080p -> 4K, "
                            "medium tier 31.25 ms; where it misses 14 ms at 60 frames/s (scaled by each stream's "
                            "rate), the student (9.50 ms), then ravu-lite-ar-r3; neural-hb from 0.20 (H.264) / "
                            "0.15 (HEVC) bits a pixel)"});
}

TEST_F(Pick, StartupPickWithoutStudentMediumOrFallback) {
    setenv("CORVEL_ENHANCE_NEURAL_BUDGET_MS", "16.6", 1);
    FakeTimings t{{{"neural-low", 12}, {"fsrcnnx8", 30}, {"ravu-lite", 20}}};
    ServiceOptions options;
    options.neuralHbBpp = 0.13;
    startupPick(options, t.measures());
    EXPECT_EQ(options.upscaler, "neural");
    EXPECT_FALSE(options.studentMs);
    EXPECT_FALSE(options.mediumMs);
    EXPECT_EQ(options.neuralBudgetMs, 16.6);
    EXPECT_EQ(options.neuralFallback, "");
    const std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "main: up=1 picks the AI upscaler on the Neural Engine (12.00 ms for 1080p -> 4K, medium "
                        "tier missing ms; where it misses 17 ms at 60 frames/s (scaled by each stream's rate), no "
                        "upscaling; neural-hb from 0.13 bits a pixel)");
}

TEST_F(Pick, StartupPickOfAShader) {
    FakeTimings t{{{"fsrcnnx8", 5.126}}};
    ServiceOptions options;
    startupPick(options, t.measures());
    EXPECT_EQ(options.upscaler, "fsrcnnx8");
    EXPECT_FALSE(options.neuralMs);
    EXPECT_EQ(options.neuralFallback, "");
    std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "main: up=1 picks FSRCNNX_x2_8-0-4-1 (FSRCNNX 8-0-4-1 took 5.13 ms for 1080p -> 4K)");

    ::testing::internal::CaptureStderr();
    captured = false;
    FakeTimings slow{{{"neural-low", 400}, {"fsrcnnx8", 80}, {"ravu-lite", 40}}};
    ServiceOptions none;
    startupPick(none, slow.measures());
    EXPECT_EQ(none.upscaler, "");
    lines = logged();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "main: up=1 picks no upscaling (FSRCNNX 8-0-4-1 took 80.00 ms for 1080p -> 4K)");
}

// The quick checks stop a measurement only when a small picture alone is over
// the limit; everything else is left to the full measurement.
TEST_F(Pick, QuickChecksDecideOnlyWhatTheFullMeasurementWould) {
    std::vector<std::pair<int, int>> sizes;
    int fullRuns = 0;
    auto full = [&](const std::string&) -> std::optional<double> {
        ++fullRuns;
        return 7.0;
    };
    std::map<int, std::optional<double>> byWidth;
    auto quick = [&](const std::string&, int w, int h) -> std::optional<double> {
        sizes.emplace_back(w, h);
        return byWidth[w];
    };

    byWidth = {{128, 13.0}, {256, 50.0}};
    EXPECT_EQ(measureWithQuickChecks("ravu-lite", 12.0, quick, full), 13.0 * 225);
    EXPECT_EQ(fullRuns, 0);
    EXPECT_EQ(sizes, (std::vector<std::pair<int, int>>{{128, 72}}));
    EXPECT_EQ(logged(), std::vector<std::string>{
                            "upscaler: ravu-lite took 13.00 ms for 128x72 -> 256x144, over 12.0 ms already: "
                            "1080p -> 4K not measured, counted as 2925.00 ms (225.00 times as many pixels)"});

    sizes.clear();
    byWidth = {{128, 11.0}, {256, 12.5}};
    EXPECT_EQ(measureWithQuickChecks("ravu-lite", 12.0, quick, full), 12.5 * 56.25);
    EXPECT_EQ(sizes, (std::vector<std::pair<int, int>>{{128, 72}, {256, 144}}));
    EXPECT_EQ(fullRuns, 0);

    sizes.clear();
    byWidth = {{128, 1.0}, {256, 3.0}, {480, 9.0}, {960, 12.0}}; // at the limit is not over it
    EXPECT_EQ(measureWithQuickChecks("ravu-lite", 12.0, quick, full), 7.0);
    EXPECT_EQ(fullRuns, 1);
    EXPECT_EQ(sizes, (std::vector<std::pair<int, int>>{{128, 72}, {256, 144}, {480, 270}, {960, 540}}));
    byWidth = {{128, 1.0}, {256, 3.0}, {480, 9.0}, {960, 12.5}};
    EXPECT_EQ(measureWithQuickChecks("ravu-lite", 12.0, quick, full), 12.5 * 4);
    EXPECT_EQ(fullRuns, 1);

    sizes.clear();
    byWidth = {{128, std::nullopt}};
    EXPECT_EQ(measureWithQuickChecks("ravu-lite", 12.0, quick, full), 7.0);
    EXPECT_EQ(fullRuns, 2);
    EXPECT_EQ(sizes.size(), 1u);

    auto failing = [](const std::string&) -> std::optional<double> { return std::nullopt; };
    EXPECT_FALSE(measureWithQuickChecks("ravu-lite", 12.0, quick, failing));
}

TEST(ProbeVerdict, EncoderInterpolationAndUpscalerDecide) {
    ProbeFindings ok;
    ok.chip = "AMD EPYC 7B13";
    ok.interpolation = "FRUC available (VTFrameRateConversion)";
    ok.upscaling = "SHADER upscale available (bicubic (Catmull-Rom))";
    ok.hdr = "HDR ready (Corvel ITM)";
    EXPECT_EQ(probeVerdict(ok), std::make_pair(std::string("probe ok: AMD EPYC 7B13 VideoToolbox HEVC Main10 "
                                                           "ready FRUC available (VTFrameRateConversion) SHADER "
                                                           "upscale available (bicubic (Catmull-Rom)) HDR ready "
                                                           "(Corvel ITM)"),
                                               0));

    ProbeFindings noTv = ok;
    noTv.tvTools = false;
    noTv.hdr = "no HDR lift (no 1080p buffer)"; // never fails the probe on its own
    EXPECT_EQ(probeVerdict(noTv).second, 0);
    const std::string line = probeVerdict(noTv).first;
    const std::string tail = " HDR ready (Corvel ITM)";
    EXPECT_EQ(line, probeVerdict(ok).first.substr(0, probeVerdict(ok).first.size() - tail.size()) +
                        " no HDR lift (no 1080p buffer); no TV streams");

    ProbeFindings onlyUp = ok;
    onlyUp.interpolation = "no frame interpolation (VTFrameRateConversion did not start: No Metal device.)";
    EXPECT_EQ(probeVerdict(onlyUp).second, 0);
    ProbeFindings onlyFruc = ok;
    onlyFruc.upscaling = "no upscaling (this GPU is too slow even for RAVU-lite)";
    EXPECT_EQ(probeVerdict(onlyFruc).second, 0);

    ProbeFindings neither = onlyFruc;
    neither.interpolation = onlyUp.interpolation;
    EXPECT_EQ(probeVerdict(neither),
              std::make_pair(std::string("probe failed: no frame interpolation (VTFrameRateConversion did not "
                                         "start: No Metal device.); no upscaling (this GPU is too slow even for "
                                         "RAVU-lite)"),
                             2));

    ProbeFindings noEncoder = ok;
    noEncoder.encoderError = "VideoToolbox HEVC Main10 is not available on this Mac.";
    EXPECT_EQ(probeVerdict(noEncoder),
              std::make_pair(std::string("probe failed: VideoToolbox HEVC Main10 is not available on this Mac."), 2));
}
