// The --deband developer mode, run as the real executable.
#include "support/Loopback.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

class DebandCheck : public ::testing::Test {
protected:
    // Runs `--deband args...` with an empty shader directory (the fixed
    // filter); returns the exit status.
    int run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{ENHANCER_EXE, "--deband"};
        argv.insert(argv.end(), args.begin(), args.end());
        Process p;
        spawn(p, argv,
              {{"CORVEL_ENHANCE_LOG", dir.file("enhancer.log")}, {"CORVEL_SHADER_DIR", shaders.path()}},
              dir.file("stdout"), dir.file("stderr"));
        return p.wait(120s);
    }
    std::string out() const { return readFile(dir.file("stdout")); }

    // A raw 8-bit 4:2:0 picture: a horizontal ramp of one code every 3
    // pixels (banded), neutral chroma with a slight tint.
    std::string picture(int w, int h) {
        std::string bytes;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) bytes.push_back(static_cast<char>(60 + x / 3));
        bytes.append(static_cast<size_t>(w / 2) * (h / 2), static_cast<char>(120));
        bytes.append(static_cast<size_t>(w / 2) * (h / 2), static_cast<char>(136));
        return bytes;
    }

    TempDir dir;
    TempDir shaders;
    const std::string usage = "usage: --deband <yuv420p file> <width> <height> <out dir>\n";
};

} // namespace

TEST_F(DebandCheck, UsageErrorsGiveTheUsageLineAndStatus2) {
    const std::string file = dir.file("in.yuv");
    writeFile(file, picture(64, 36));
    const std::string outDir = dir.file("out");
    const std::vector<std::vector<std::string>> bad = {
        {},
        {file, "64", "36"},
        {file, "64x", "36", outDir},
        {file, "64", "", outDir},
        {dir.file("missing.yuv"), "64", "36", outDir},
        {file, "64", "38", outDir}, // 64 x 38 x 3 / 2 bytes needed, the file is shorter
    };
    for (const auto& words : bad) {
        SCOPED_TRACE(words.empty() ? std::string("no words") : words[1] + " " + words[2]);
        EXPECT_EQ(run(words), 2);
        EXPECT_EQ(out(), usage);
    }
    // One byte short of 64 x 36 x 3 / 2.
    const std::string bytes = picture(64, 36);
    writeFile(file, bytes.substr(0, bytes.size() - 1));
    EXPECT_EQ(run({file, "64", "36", outDir}), 2);
    EXPECT_EQ(out(), usage);
    EXPECT_FALSE(std::filesystem::exists(outDir));
}

TEST_F(DebandCheck, WritesTheMapAndBothLiftedPictures) {
    const std::string file = dir.file("in.yuv");
    // Longer than needed is fine: the extra bytes are not read.
    writeFile(file, picture(64, 36) + "extra");
    const std::string outDir = dir.file("a/b/out"); // missing parents are made
    ASSERT_EQ(run({file, "+64", "36", outDir}), 0) << out();
    const std::string text = out();
    EXPECT_EQ(text.rfind("deband: the fixed filter, ", 0), 0u) << text;
    EXPECT_NE(text.find(" ms a 64x36 picture\nwrote " + outDir + "\n"), std::string::npos) << text;

    // The map at the network's size, all "keep" without a network.
    const std::string map = readFile(outDir + "/map-960x544.f16");
    ASSERT_EQ(map.size(), 960u * 544u * 2u);
    EXPECT_EQ(map.find_first_not_of('\0'), std::string::npos);

    // Luma words then interleaved chroma words, no padding (the pictures'
    // rows are padded to 64 words in memory).
    const std::string plain = readFile(outDir + "/plain.p010");
    const std::string debanded = readFile(outDir + "/debanded.p010");
    ASSERT_EQ(plain.size(), 64u * 36u * 2u + 64u * 18u * 2u);
    ASSERT_EQ(debanded.size(), plain.size());
    // Lifted to PQ: the ramp's first luma word is far from its SDR code x 256.
    auto word = [](const std::string& s, size_t i) {
        return static_cast<unsigned>(static_cast<uint8_t>(s[2 * i])) |
               static_cast<unsigned>(static_cast<uint8_t>(s[2 * i + 1])) << 8;
    };
    EXPECT_GT(word(plain, 0), 0u);
    EXPECT_NE(word(plain, 0), 60u * 256u);
    // Debanding smoothed the steps: the lifted pictures differ, and the
    // debanded row has more distinct values.
    EXPECT_NE(plain, debanded);
    auto distinct = [&](const std::string& s) {
        std::vector<unsigned> v;
        for (size_t x = 0; x < 64; ++x) v.push_back(word(s, 18 * 64 + x) >> 6);
        std::sort(v.begin(), v.end());
        return std::unique(v.begin(), v.end()) - v.begin();
    };
    EXPECT_GT(distinct(debanded), distinct(plain));
}
