#include "common/EnhanceError.h"
#include "common/SourceColor.h"
#include "processing/DevicePicture.h"
#include "processing/KernelReference.h"
#include "processing/NetworkReference.h"
#include "processing/NeuralScaler.h"
#include "processing/ShaderDirectory.h"
#include "processing/ShaderScaler.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>

using namespace corvel;

namespace {

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EnhanceError& error) {
        return error.what();
    }
    return "(no error)";
}

// A shader directory holding one small test network at all three model
// sizes: a leaky 3x3 over the packed cells and a 1x1 to the residual.
class NeuralScalerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.file("vsr"));
        network_ = NetworkDescription::parse(describe(1920, 1088), "t");
        reference::randomWeights(network_, 21, 0.15);
        std::string bytes;
        for (uint16_t w : network_.weights) bytes += {static_cast<char>(w & 0xff), static_cast<char>(w >> 8)};
        test::writeFile(dir_.file("vsr/neural-test.bin"), bytes);
        for (auto [w, h] : {std::pair{1920, 1088}, {2560, 1440}, {3072, 1728}})
            test::writeFile(dir_.file("vsr/neural-test-" + std::to_string(w) + "x" + std::to_string(h) + ".json"),
                            describe(w, h));
        setShaderDirectoryOverride(dir_.path());
    }
    void TearDown() override { setShaderDirectoryOverride(std::nullopt); }

    static std::string describe(int w, int h, int outChannels = 48) {
        return reference::describe(
            "neural-test", "neural-test.bin", 16, h / 2, w / 2, outChannels, h / 2, w / 2,
            R"({"type": "conv", "inputs": 16, "outputs": 8, "kernel": 3, "activation": "leaky", "slope": 0.1},
               {"type": "conv", "inputs": 8, "outputs": )" + std::to_string(outChannels) + R"(, "kernel": 1})",
            "Test weights licence");
    }

    test::TempDir dir_;
    NetworkDescription network_;
};

PictureRef randomPicture(int w, int h, unsigned seed, const char* matrix = nullptr) {
    PictureRef p = makePicture(w, h);
    reference::fillRandom(*p, seed);
    if (matrix) p->color.matrix = matrix;
    return p;
}

double halfAt(const std::vector<uint16_t>& words, size_t index) {
    return reference::halfToDouble(words.at(index));
}

} // namespace

// pack, the network, finish and encode against the double-precision
// reference: exactly 2x (encode copies `up`), a resampled output size, and a
// BT.2020 picture converted with its own coefficients both ways.
TEST_F(NeuralScalerTest, EveryKernelMatchesTheReference) {
    struct Case {
        int inW, inH, outW, outH;
        const char* matrix;
    };
    for (const Case& c : {Case{64, 36, 128, 72, nullptr}, Case{62, 34, 100, 56, nullptr},
                          Case{64, 36, 128, 72, color::kMatrix2020}}) {
        SCOPED_TRACE(std::to_string(c.inW) + "x" + std::to_string(c.inH) + " -> " + std::to_string(c.outW) +
                     "x" + std::to_string(c.outH) + (c.matrix ? " BT.2020" : ""));
        NeuralScaler scaler("neural-test", c.inW, c.inH, c.outW, c.outH);
        EXPECT_EQ(scaler.modelWidth(), 1920);
        EXPECT_EQ(scaler.modelHeight(), 1088);
        EXPECT_EQ(scaler.packing(), 2);
        const PictureRef in = randomPicture(c.inW, c.inH, 5, c.matrix);
        const PictureRef out = scaler.scale(in);
        const auto [kr, kb] = NeuralScaler::coefficients(*in);
        if (c.matrix) {
            EXPECT_FLOAT_EQ(kr, 0.2627f);
            EXPECT_FLOAT_EQ(kb, 0.0593f);
        }
        const int gw = scaler.gridWidth();
        const int gh = scaler.gridHeight();
        // The grid covers the picture and reaches past it (rows and columns
        // beyond the picture repeat its edge).
        EXPECT_GT(gw * 2, c.inW);
        EXPECT_GT(gh * 2, c.inH);

        std::vector<std::array<double, 3>> base;
        const reference::Tensor x = reference::pack(*in, 2, gw, gh, kr, kb, base);
        const std::vector<uint16_t> xs = scaler.readInput();
        double worstX = 0;
        for (size_t i = 0; i < x.values.size(); ++i) worstX = std::max(worstX, std::fabs(halfAt(xs, i) - x.values[i]));
        EXPECT_LE(worstX, 2.0 / 1024); // one half-float step at 1
        const std::vector<uint16_t> bs = scaler.readBase();
        double worstBase = 0;
        for (size_t p = 0; p < base.size(); ++p) {
            for (int k = 0; k < 3; ++k) worstBase = std::max(worstBase, std::fabs(halfAt(bs, 4 * p + k) - base[p][k]));
            EXPECT_EQ(halfAt(bs, 4 * p + 3), 1.0);
        }
        EXPECT_LE(worstBase, 2.0 / 1024);

        const reference::Tensor residual = reference::runNetwork(network_, x);
        const auto up = reference::finish(base, c.inW, c.inH, residual, 2);
        const std::vector<uint16_t> us = scaler.readUp();
        double worstUp = 0;
        for (size_t p = 0; p < up.size(); ++p)
            for (int k = 0; k < 3; ++k) worstUp = std::max(worstUp, std::fabs(halfAt(us, 4 * p + k) - up[p][k]));
        EXPECT_LE(worstUp, 4.0 / 1024);

        const reference::Codes codes = reference::encode(up, c.inW, c.inH, c.outW, c.outH, kr, kb);
        int worstCode = 0;
        for (int y = 0; y < c.outH; ++y)
            for (int xx = 0; xx < c.outW; ++xx) {
                const uint16_t word = out->row(0, y)[xx];
                EXPECT_EQ(word % 64, 0); // whole codes
                worstCode = std::max(worstCode, std::abs(word / 64 - codes.luma[static_cast<size_t>(y) * c.outW + xx]));
            }
        for (int y = 0; y < c.outH / 2; ++y)
            for (int xx = 0; xx < c.outW; ++xx)
                worstCode = std::max(worstCode,
                                     std::abs(out->row(1, y)[xx] / 64 - codes.chroma[static_cast<size_t>(y) * c.outW + xx]));
        EXPECT_LE(worstCode, 1);
    }
}

// Cells of 4 x 4 pixels (48 input channels, depth to space with block 8):
// pack and finish against the reference, so the cell arithmetic of both
// packings is checked, not only that of 2 x 2 cells.
TEST_F(NeuralScalerTest, FourPixelCellsMatchTheReference) {
    const std::string layers =
        R"({"type": "conv", "inputs": 48, "outputs": 8, "kernel": 3, "activation": "leaky", "slope": 0.1},
           {"type": "conv", "inputs": 8, "outputs": 192, "kernel": 1})";
    NetworkDescription four = NetworkDescription::parse(
        reference::describe("neural-four", "neural-four.bin", 48, 272, 480, 192, 272, 480, layers, "l"), "four");
    reference::randomWeights(four, 23, 0.15);
    std::string bytes;
    for (uint16_t w : four.weights) bytes += {static_cast<char>(w & 0xff), static_cast<char>(w >> 8)};
    test::writeFile(dir_.file("vsr/neural-four.bin"), bytes);
    test::writeFile(dir_.file("vsr/neural-four-1920x1088.json"),
                    reference::describe("neural-four", "neural-four.bin", 48, 272, 480, 192, 272, 480, layers, "l"));

    const int inW = 72;
    const int inH = 40;
    NeuralScaler scaler("neural-four", inW, inH, 2 * inW, 2 * inH);
    ASSERT_EQ(scaler.packing(), 4);
    const PictureRef in = randomPicture(inW, inH, 9);
    scaler.scale(in);
    const auto [kr, kb] = NeuralScaler::coefficients(*in);
    const int gw = scaler.gridWidth();
    const int gh = scaler.gridHeight();
    std::vector<std::array<double, 3>> base;
    const reference::Tensor x = reference::pack(*in, 4, gw, gh, kr, kb, base);
    const std::vector<uint16_t> xs = scaler.readInput();
    double worstX = 0;
    for (size_t i = 0; i < x.values.size(); ++i) worstX = std::max(worstX, std::fabs(halfAt(xs, i) - x.values[i]));
    EXPECT_LE(worstX, 2.0 / 1024);
    const reference::Tensor residual = reference::runNetwork(four, x);
    const auto up = reference::finish(base, inW, inH, residual, 4);
    const std::vector<uint16_t> us = scaler.readUp();
    double worstUp = 0;
    double largestResidual = 0;
    for (double v : residual.values) largestResidual = std::max(largestResidual, std::fabs(v));
    for (size_t p = 0; p < up.size(); ++p)
        for (int k = 0; k < 3; ++k) worstUp = std::max(worstUp, std::fabs(halfAt(us, 4 * p + k) - up[p][k]));
    EXPECT_LE(worstUp, 4.0 / 1024);
    EXPECT_GT(largestResidual, 0.05); // the residual's placement matters
}

TEST_F(NeuralScalerTest, ModelSizesAndConstructionFailures) {
    EXPECT_EQ(messageOf([] { NeuralScaler("neural-test", 3073, 1728, 3073, 1728); }),
              "The AI upscaler takes up to 3072x1728, not 3073x1728.");
    EXPECT_EQ(messageOf([] { NeuralScaler("neural-low", 320, 180, 640, 360); }),
              "The AI upscaler's model neural-low-1920x1088 is missing (companion/shaders/vsr/build_coreml).");
    EXPECT_EQ(messageOf([] { NeuralScaler("../neural-test", 320, 180, 640, 360); }),
              "The AI upscaler's model ../neural-test-1920x1088 is missing (companion/shaders/vsr/build_coreml).");
    {
        NeuralScaler wide("neural-test", 1922, 1080, 1922, 1080); // just past 1920
        EXPECT_EQ(wide.modelWidth(), 2560);
        EXPECT_EQ(wide.modelHeight(), 1440);
        EXPECT_EQ(wide.license(), "Test weights licence");
        EXPECT_EQ(wide.description(), "neural-test, Neural Engine");
        // The grid never exceeds the model's.
        EXPECT_LE(wide.gridWidth(), 1280);
        EXPECT_LE(wide.gridHeight(), 720);
    }
    // A damaged description or weight file: the loader's sentence.
    test::writeFile(dir_.file("vsr/neural-test-1920x1088.json"), describe(1920, 1088).substr(0, 100));
    EXPECT_EQ(messageOf([] { NeuralScaler("neural-test", 64, 36, 128, 72); }),
              "The network description neural-test-1920x1088.json is not valid: it is not JSON.");
    test::writeFile(dir_.file("vsr/neural-test-1920x1088.json"), describe(1920, 1088));
    test::writeFile(dir_.file("vsr/neural-test.bin"), "\x01\x02\x03");
    EXPECT_EQ(messageOf([] { NeuralScaler("neural-test", 64, 36, 128, 72); }),
              "The network weights neural-test.bin hold 3 bytes; the description needs " +
                  std::to_string(network_.weightCount() * 2) + ".");
    // A network whose output is not the residual layout.
    std::string narrow = describe(2560, 1440, 12);
    narrow.replace(narrow.find("neural-test.bin"), 15, "narrow.bin");
    test::writeFile(dir_.file("vsr/neural-narrow-2560x1440.json"), narrow);
    test::writeFile(dir_.file("vsr/narrow.bin"), std::string((8 * 16 * 9 + 8 + 12 * 8 + 12) * 2, '\0'));
    EXPECT_EQ(messageOf([] { NeuralScaler("neural-narrow", 2000, 1000, 2000, 1000); }),
              "The AI upscaler's model neural-narrow-2560x1440 does not take x [1, 16, 720, 1280] and give "
              "residual [1, 48, 720, 1280].");
}

// The quick timing of the start-up pick: a whole small picture after a warm-up,
// none when the network cannot be built.
TEST_F(NeuralScalerTest, QuickTimingOfASmallPicture) {
    const std::optional<double> ms = NeuralScaler::quickMs("neural-test", 64, 36);
    ASSERT_TRUE(ms);
    EXPECT_GT(*ms, 0.0);
    EXPECT_FALSE(NeuralScaler::quickMs("neural-low", 64, 36)); // no such model here
    EXPECT_FALSE(NeuralScaler::quickMs("neural-test", 3100, 1700)); // past the largest model
}

TEST_F(NeuralScalerTest, NetworkTimeAndWholeTimeAreReportedApart) {
    NeuralScaler scaler("neural-test", 64, 36, 128, 72);
    EXPECT_EQ(scaler.takeMs(), 0.0);
    const PictureRef in = randomPicture(64, 36, 9);
    EXPECT_EQ(messageOf([&] { scaler.scale(randomPicture(62, 36, 9)); }),
              "The AI upscaler takes 64x36 pictures and was given 62x36.");
    scaler.scale(in);
    scaler.scale(in);
    const ScaleTimes both = scaler.takeBoth();
    EXPECT_GT(both.gpu, 0.0);
    EXPECT_GT(both.wall, both.gpu); // the whole picture includes the network
    EXPECT_EQ(scaler.takeBoth().wall, 0.0);
    scaler.scale(in);
    EXPECT_GT(scaler.takeMs(true), 0.0);
    EXPECT_EQ(scaler.takeMs(false), 0.0); // reset by the call before
}
