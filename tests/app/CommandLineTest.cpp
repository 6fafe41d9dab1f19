#include "app/CommandLine.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace corvel;

TEST(CommandLine, DefaultsAndPortParsing) {
    CommandLine none = parseCommandLine({});
    EXPECT_EQ(none.port, 47910);
    EXPECT_EQ(none.bind, "127.0.0.1");
    EXPECT_EQ(none.mode, CommandLine::Mode::Serve);
    EXPECT_EQ(parseCommandLine({"--port", "abc"}).port, 47910);
    EXPECT_EQ(parseCommandLine({"--port"}).port, 47910);
    EXPECT_EQ(parseCommandLine({"--port", "+8080"}).port, 8080);
    EXPECT_EQ(parseCommandLine({"--port", "8080", "--port", "x"}).port, 8080);
    // Out-of-range numbers are kept so start-up can refuse them loudly.
    EXPECT_EQ(parseCommandLine({"--port", "70000"}).port, 70000);
    // "--bind" is consumed as --port's value, so it is not read as an option.
    EXPECT_EQ(parseCommandLine({"--port", "--bind", "10.0.0.1"}).bind, "127.0.0.1");
}

TEST(CommandLine, CompanionBindAndParent) {
    EXPECT_EQ(parseCommandLine({"--companion", "http://h:1"}).companion, "http://h:1");
    EXPECT_EQ(parseCommandLine({"--companion", "http://h:1", "--companion"}).companion, "");
    EXPECT_EQ(parseCommandLine({"--bind"}).bind, "127.0.0.1");
    EXPECT_EQ(parseCommandLine({"--bind", "0.0.0.0"}).bind, "0.0.0.0");
    EXPECT_EQ(parseCommandLine({"--parent-pid", "4242"}).parentPid, 4242);
    EXPECT_EQ(parseCommandLine({"--parent-pid", "4242", "--parent-pid", "x"}).parentPid, 0);
    EXPECT_EQ(parseCommandLine({"--parent-pid", "2147483648"}).parentPid, 0);
    EXPECT_EQ(parseCommandLine({"--parent-pid", "-2147483648"}).parentPid, INT32_MIN);
    EXPECT_EQ(parseCommandLine({"--PORT", "1", "stray"}).port, 47910); // exact, case-sensitive
}

TEST(CommandLine, OneShotModesStopTheLoop) {
    CommandLine probe = parseCommandLine({"--bind", "127.0.0.2", "--probe", "--port", "1"});
    EXPECT_EQ(probe.mode, CommandLine::Mode::Probe);
    EXPECT_EQ(probe.bind, "127.0.0.2");
    EXPECT_EQ(probe.port, 47910);
    EXPECT_EQ(parseCommandLine({"x", "--bench", "--deband"}).mode, CommandLine::Mode::Bench);
    EXPECT_EQ(parseCommandLine({"--deband", "--probe"}).mode, CommandLine::Mode::Deband);
    // The debanding check takes every word after its flag, flags included.
    CommandLine deband = parseCommandLine({"--port", "5", "--deband", "in.yuv", "64", "--port", "out"});
    EXPECT_EQ(deband.port, 5);
    EXPECT_EQ(deband.debandWords, (std::vector<std::string>{"in.yuv", "64", "--port", "out"}));
    EXPECT_TRUE(parseCommandLine({"--deband"}).debandWords.empty());
    // A one-shot word consumed as an option's value is not a mode.
    EXPECT_EQ(parseCommandLine({"--companion", "--probe"}).mode, CommandLine::Mode::Serve);
}

class Environment : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : names) unsetenv(name);
    }
    void TearDown() override { SetUp(); }
    static constexpr const char* names[] = {
        "CORVEL_COMPANION", "CORVEL_ENHANCE_MBPS", "CORVEL_ENHANCE_AHEAD",
        "CORVEL_ENHANCE_SEG_SEC", "CORVEL_ENHANCE_FI_MAX_MPIX", "CORVEL_ENHANCE_UPSCALER",
        "CORVEL_ENHANCE_NEURAL_HB_BPP"};
};

TEST_F(Environment, DefaultsWhenNothingIsSet) {
    ServiceOptions o = optionsFromEnvironment("");
    EXPECT_EQ(o.companion, "http://127.0.0.1:47800");
    EXPECT_EQ(o.mbps, 0);
    EXPECT_EQ(o.ahead, 5);
    EXPECT_EQ(o.segSec, 1.0);
    EXPECT_EQ(o.fiMaxMpix, 3.0);
    EXPECT_EQ(o.upscaler, "auto");
    EXPECT_FALSE(o.neuralHbBpp.has_value());
    EXPECT_EQ(o.neuralBudgetMs, 14.0);
    EXPECT_EQ(o.upMaxWidth, 3840);
    EXPECT_EQ(o.upMaxHeight, 2160);
}

TEST_F(Environment, SegmentDurationIsClamped) {
    const std::pair<const char*, double> cases[] = {
        {"0.1", 0.5}, {"0.5", 0.5}, {"2.5", 2.5}, {"4", 4.0}, {"9", 4.0}, {"", 1.0}, {"x", 1.0}, {"-1", 0.5}};
    for (auto [text, expected] : cases) {
        setenv("CORVEL_ENHANCE_SEG_SEC", text, 1);
        EXPECT_EQ(optionsFromEnvironment("").segSec, expected) << text;
    }
}

TEST_F(Environment, ValuesAndFallbacks) {
    setenv("CORVEL_COMPANION", "http://env:1", 1);
    EXPECT_EQ(optionsFromEnvironment("").companion, "http://env:1");
    EXPECT_EQ(optionsFromEnvironment("http://cli:2").companion, "http://cli:2");
    setenv("CORVEL_ENHANCE_MBPS", "12.6", 1);
    setenv("CORVEL_ENHANCE_AHEAD", "-2", 1);
    setenv("CORVEL_ENHANCE_FI_MAX_MPIX", "oops", 1);
    setenv("CORVEL_ENHANCE_UPSCALER", "", 1);
    setenv("CORVEL_ENHANCE_NEURAL_HB_BPP", "0.3", 1);
    ServiceOptions o = optionsFromEnvironment("");
    EXPECT_EQ(o.mbps, 12.6);
    EXPECT_EQ(o.ahead, -2); // kept; users of it count negatives as 0
    EXPECT_EQ(o.fiMaxMpix, 3.0);
    EXPECT_EQ(o.upscaler, "auto");
    EXPECT_EQ(o.neuralHbBpp, 0.3);
    setenv("CORVEL_ENHANCE_UPSCALER", "fsrcnnx8", 1);
    setenv("CORVEL_ENHANCE_AHEAD", "99999999999", 1);
    o = optionsFromEnvironment("");
    EXPECT_EQ(o.upscaler, "fsrcnnx8");
    // Far ahead would overflow the run's pacing and let the store grow
    // without end: the upper end is clamped.
    EXPECT_EQ(o.ahead, kMaxAhead);
    setenv("CORVEL_ENHANCE_AHEAD", "1000", 1);
    EXPECT_EQ(optionsFromEnvironment("").ahead, kMaxAhead);
    setenv("CORVEL_ENHANCE_AHEAD", "30", 1);
    EXPECT_EQ(optionsFromEnvironment("").ahead, 30);
    setenv("CORVEL_ENHANCE_AHEAD", "7", 1);
    EXPECT_EQ(optionsFromEnvironment("").ahead, 7);
}

TEST(Summary, PiecesInOrder) {
    ServiceOptions o;
    o.mbps = 12.6;
    o.upscaler = "fsrcnnx8";
    EXPECT_EQ(summaryLine(o, "AMD EPYC", false, "/opt/shaders"),
              "main: Corvel live enhancer for macOS on AMD EPYC, companion http://127.0.0.1:47800, "
              "13 Mbit/s, 5 segments ahead, frame interpolation up to 3.0 Mpix (NOT supported), "
              "up=1 upscaler FSRCNNX_x2_8-0-4-1, shaders in /opt/shaders");
    o.mbps = -3;
    o.upscaler = "neural";
    o.fiMaxMpix = 2.25;
    std::string line = summaryLine(o, "chip", true, "");
    EXPECT_NE(line.find(", automatic bitrate, 5 segments ahead, "), std::string::npos);
    EXPECT_NE(line.find("up to 2.2 Mpix (supported)"), std::string::npos) << line;
    EXPECT_NE(line.find("up=1 upscaler AI (neural-low / neural-hb, medium tiers where they fit), "
                        "shaders in (missing)"),
              std::string::npos);
}

TEST(Chip, FirstModelNameTrimmed) {
    EXPECT_EQ(chipNameFrom("processor\t: 0\nmodel name\t: AMD EPYC 7B13  \nmodel name\t: other\n"),
              "AMD EPYC 7B13");
    EXPECT_EQ(chipNameFrom("processor\t: 0\nHardware\t: BCM2835\n"), "this Mac");
    EXPECT_EQ(chipNameFrom(""), "this Mac");
}
