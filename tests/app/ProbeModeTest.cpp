// Runs the real executable's --probe and its start-up pick on this machine.
#include "support/Loopback.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

class ProbeMode : public ::testing::Test {
protected:
    // Runs `--probe` with `env` and returns its exit status.
    int probe(Env env, std::chrono::seconds limit = 120s) {
        env.insert(env.begin(), {"CORVEL_ENHANCE_LOG", log()});
        Process p;
        spawn(p, {ENHANCER_EXE, "--probe"}, env, dir.file("stdout"), dir.file("stderr"));
        EXPECT_GT(p.pid, 0);
        return p.wait(limit);
    }
    std::string log() const { return dir.file("enhancer.log"); }
    std::string out() const { return readFile(dir.file("stdout")); }
    // The first "model name" of /proc/cpuinfo, after its colon, trimmed.
    static std::string chip() {
        const std::string info = readFile("/proc/cpuinfo");
        const size_t at = info.find("model name");
        if (at == std::string::npos) return "this Mac";
        const size_t begin = info.find_first_not_of(" \t", info.find(':', at) + 1);
        const size_t end = info.find('\n', begin);
        return info.substr(begin, info.find_last_not_of(" \t", end - 1) + 1 - begin);
    }
    TempDir dir;
};

const std::string kReady = " VideoToolbox HEVC Main10 ready FRUC available (VTFrameRateConversion) ";

} // namespace

TEST_F(ProbeMode, ForcedFailureAndItsOffValues) {
    for (std::string value : {"1", "yes", "false"}) {
        EXPECT_EQ(probe({{"CORVEL_ENHANCE_FORCE_PROBE_FAIL", value}}), 3) << value;
        EXPECT_EQ(out(), "probe failed: forced failure (CORVEL_ENHANCE_FORCE_PROBE_FAIL)\n") << value;
    }
    for (std::string value : {"0", ""}) {
        EXPECT_EQ(probe({{"CORVEL_ENHANCE_FORCE_PROBE_FAIL", value}, {"CORVEL_ENHANCE_UPSCALER", "bilinear"}}), 0)
            << value;
        EXPECT_EQ(out().rfind("probe ok: ", 0), 0u) << out();
    }
}

// A configured method is built, not timed: no measurement reaches the log.
TEST_F(ProbeMode, ConfiguredBicubicIsBuiltWithoutTiming) {
    EXPECT_EQ(probe({{"CORVEL_ENHANCE_UPSCALER", "bicubic"}}), 0);
    EXPECT_EQ(out(), "probe ok: " + chip() + kReady +
                         "SHADER upscale available (bicubic (Catmull-Rom)) HDR ready (Corvel ITM)\n");
    const std::string text = readFile(log());
    EXPECT_EQ(text.find(" ms for "), std::string::npos) << text;
    EXPECT_EQ(text.find("AI upscaler"), std::string::npos) << text;
}

TEST_F(ProbeMode, ConfiguredMethodsThatCannotBeBuiltAreNamed) {
    EXPECT_EQ(probe({{"CORVEL_ENHANCE_UPSCALER", "neural"}, {"CORVEL_SHADER_DIR", dir.path()}}), 0);
    const std::string line = out();
    EXPECT_EQ(line.rfind("probe ok: " + chip() + kReady + "no upscaling (", 0), 0u) << line;
    EXPECT_NE(line.find("neural-low"), std::string::npos) << line;
    EXPECT_NE(line.find(") HDR ready (Corvel ITM)\n"), std::string::npos) << line;
}

// No compute device: neither interpolation nor upscaling, so the probe fails
// although the encoder works.
TEST_F(ProbeMode, WithoutAComputeDeviceTheProbeFails) {
    EXPECT_EQ(probe({{"OCL_ICD_VENDORS", dir.file("no-vendors")}, {"CORVEL_ENHANCE_UPSCALER", "bicubic"}}), 2);
    EXPECT_EQ(out(), "probe failed: no frame interpolation (VTFrameRateConversion needs macOS 15.4 or later on "
                     "Apple silicon); no upscaling (No Metal device.)\n");
}

// The automatic choice on this machine: every decision is made from real
// timings, and the line names the chip from /proc/cpuinfo.
TEST_F(ProbeMode, AutomaticChoiceOnThisMachine) {
    EXPECT_EQ(probe({{"CORVEL_ENHANCE_UPSCALER", "auto"}}), 0);
    const std::string line = out();
    EXPECT_EQ(line.rfind("probe ok: " + chip() + kReady, 0), 0u) << line;
    const std::string text = readFile(log());
    // The networks are measured first; unless one won, the line saying why
    // comes before the shaders' figures.
    const size_t network = text.find("upscaler: neural-low ");
    const size_t refused = text.find("upscaler: the AI upscaler ");
    if (line.find("Neural Engine") == std::string::npos) {
        ASSERT_NE(refused, std::string::npos) << text;
        EXPECT_TRUE(network == std::string::npos || network < refused) << text;
        const size_t shader = text.find("upscaler: fsrcnnx8 ");
        EXPECT_TRUE(shader == std::string::npos || shader > refused) << text;
    }
}
