// The --bench mode: its arithmetic, its pictures, and the real executable.
#include "support/Loopback.h"
#include "support/TempDir.h"
#include "tools/Bench.h"

#include <gtest/gtest.h>
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>

using namespace corvel;
using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

using Size = std::pair<int64_t, int64_t>;

// An image of `w` x `h` filled by `colour(x, y)` (R, G, B bytes).
template <class F> tools::StillImage drawn(int w, int h, F colour) {
    tools::StillImage image{w, h, std::vector<uint8_t>(size_t(w) * h * 3)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            auto [r, g, b] = colour(x, y);
            uint8_t* at = &image.rgb[(size_t(y) * w + x) * 3];
            at[0] = r;
            at[1] = g;
            at[2] = b;
        }
    return image;
}

int code(const Picture& p, int plane, int x, int y) { return p.row(plane, y)[x] >> 6; }

} // namespace

TEST(BenchArithmetic, SizesAreReadLeniently) {
    EXPECT_EQ(tools::size("1920X1080"), (Size{1920, 1080}));
    EXPECT_EQ(tools::size("1920x1080"), (Size{1920, 1080}));
    EXPECT_EQ(tools::size("x960xx540x"), (Size{960, 540}));    // empty pieces dropped
    EXPECT_EQ(tools::size("+960x-540"), (Size{960, -540}));    // signs are part of a number
    EXPECT_EQ(tools::size("+-960x540x7"), (Size{540, 7}));      // one sign only: "+-960" dropped
    EXPECT_EQ(tools::size("wide x 960 x540"), std::nullopt);   // " 960 " is not a number
    EXPECT_EQ(tools::size("widex960x540"), (Size{960, 540}));  // "wide" dropped, two remain
    EXPECT_EQ(tools::size("1920x1080x2"), std::nullopt);
    EXPECT_EQ(tools::size("1920"), std::nullopt);
    EXPECT_EQ(tools::size("1920*1080"), std::nullopt);
    EXPECT_EQ(tools::size("99999999999999999999x2"), std::nullopt); // overflow does not parse
}

TEST(BenchArithmetic, PercentileIndexIsTheFloorCappedAtTheLast) {
    EXPECT_EQ(tools::p95Index(10), 9u); // min(floor(9.5), 9)
    EXPECT_EQ(tools::p95Index(1), 0u);
    EXPECT_EQ(tools::p95Index(20), 19u);
    EXPECT_EQ(tools::p95Index(21), 19u);
    EXPECT_EQ(tools::p95Index(120), 114u);
}

TEST(BenchArithmetic, ScoresOfEqualAndKnownPictures) {
    std::vector<double> a(16 * 12);
    for (size_t i = 0; i < a.size(); ++i) a[i] = double((i * 37) % 101) / 100.0;
    // Equal pictures: the PSNR cap and an SSIM of one.
    EXPECT_DOUBLE_EQ(tools::psnr(a, a), 120.0);
    EXPECT_NEAR(tools::ssim(a, a, 16, 12), 1.0, 1e-12);

    // A uniform error of 0.1: MSE 0.01, 20 dB.
    std::vector<double> b = a;
    for (double& v : b) v += 0.1;
    EXPECT_NEAR(tools::psnr(a, b), 20.0, 1e-9);
    // Only the first list's length counts.
    std::vector<double> longer = a;
    longer.push_back(5.0);
    EXPECT_DOUBLE_EQ(tools::psnr(a, longer), 120.0);

    // SSIM of one window by hand: a constant picture against another constant.
    std::vector<double> flat(64, 0.5), other(64, 0.25);
    const double mu = (2 * 0.5 * 0.25 + 0.0001) / (0.25 + 0.0625 + 0.0001); // variances 0
    EXPECT_NEAR(tools::ssim(flat, other, 8, 8), mu, 1e-12);
    // Windows at x = 0, 4 of a 12-wide picture; the right one differs.
    std::vector<double> left(12 * 8, 0.5), right = left;
    for (int y = 0; y < 8; ++y)
        for (int x = 8; x < 12; ++x) right[size_t(y) * 12 + x] = 0.9;
    const double score = tools::ssim(left, right, 12, 8);
    EXPECT_GT(score, 0.5);
    EXPECT_LT(score, 1.0);
    // Narrower or lower than 8: no window, 0.
    EXPECT_EQ(tools::ssim(std::vector<double>(7 * 8, 0.5), std::vector<double>(7 * 8, 0.5), 7, 8), 0.0);
    EXPECT_EQ(tools::ssim(std::vector<double>(8 * 7, 0.5), std::vector<double>(8 * 7, 0.5), 8, 7), 0.0);
}

TEST(BenchPictures, VideoRangeBt709CodesAndTheCentreCrop) {
    PicturePool pool(64, 64, 1);
    // White, black and pure red as BT.709 video-range codes.
    auto white = tools::picture(drawn(16, 16, [](int, int) { return std::tuple<uint8_t, uint8_t, uint8_t>{255, 255, 255}; }), 64, 64, pool);
    EXPECT_EQ(code(*white, 0, 10, 10), 940);
    EXPECT_EQ(code(*white, 1, 2, 3), 512);
    EXPECT_EQ(code(*white, 1, 3, 3), 512);
    auto black = tools::picture(drawn(16, 16, [](int, int) { return std::tuple<uint8_t, uint8_t, uint8_t>{0, 0, 0}; }), 64, 64, pool);
    EXPECT_EQ(code(*black, 0, 0, 0), 64);
    auto red = tools::picture(drawn(16, 16, [](int, int) { return std::tuple<uint8_t, uint8_t, uint8_t>{255, 0, 0}; }), 64, 64, pool);
    EXPECT_EQ(code(*red, 0, 5, 5), 250); // 64 + 876 x 0.2126
    EXPECT_EQ(code(*red, 1, 4, 4), 409); // Cb -0.2126 / 1.8556 -> 512 - 102.65
    EXPECT_EQ(code(*red, 1, 5, 4), 960); // Cr +0.5
    EXPECT_EQ(red->color.matrix, "ITU_R_709_2");

    // A 3:1 image cut to 1:1 keeps only its middle third (grey); the red
    // and blue thirds are cropped away before the Lanczos filter sees them.
    auto thirds = drawn(300, 100, [](int x, int) {
        if (x < 100) return std::tuple<uint8_t, uint8_t, uint8_t>{255, 0, 0};
        if (x >= 200) return std::tuple<uint8_t, uint8_t, uint8_t>{0, 0, 255};
        return std::tuple<uint8_t, uint8_t, uint8_t>{128, 128, 128};
    });
    auto square = tools::picture(thirds, 64, 64, pool);
    for (int y = 0; y < 64; y += 7)
        for (int x = 0; x < 64; ++x) ASSERT_NEAR(code(*square, 0, x, y), 64 + 876 * 128 / 255.0, 1.0) << x;
    for (int x = 0; x < 32; ++x) ASSERT_NEAR(code(*square, 1, x, 10), 512, 1) << x;
}

TEST(BenchPictures, PngOutputDecodesToThePicture) {
    TempDir dir;
    PicturePool pool(48, 32, 1);
    auto image = drawn(48, 32, [](int x, int y) {
        return std::tuple<uint8_t, uint8_t, uint8_t>{uint8_t(x * 5), uint8_t(y * 7), 200};
    });
    auto pic = tools::picture(image, 48, 32, pool);
    const std::string path = dir.file("p.png");
    ASSERT_TRUE(tools::writePNG(*pic, path));
    int w = 0, h = 0, n = 0;
    unsigned char* back = stbi_load(path.c_str(), &w, &h, &n, 3);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(w, 48);
    EXPECT_EQ(h, 32);
    // The picture's own luma survives the round trip within a code or two
    // of 8-bit R'G'B' (chroma is shared by 2x2 pixels, so R'G'B' is not).
    double worst = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) {
            const unsigned char* p = back + (size_t(y) * 48 + x) * 3;
            const double yv = 0.2126 * p[0] / 255.0 + 0.7152 * p[1] / 255.0 + 0.0722 * p[2] / 255.0;
            worst = std::max(worst, std::abs(64 + 876 * yv - code(*pic, 0, x, y)));
        }
    stbi_image_free(back);
    EXPECT_LT(worst, 6.0);
    EXPECT_FALSE(tools::writePNG(*pic, dir.file("no/such/dir/p.png")));
}

namespace {

struct BenchRun {
    int status = -1;
    std::string out;
};

BenchRun runBench(const TempDir& dir, std::vector<std::string> words) {
    words.insert(words.begin(), {ENHANCER_EXE, "--bench"});
    Process p;
    spawn(p, words, {{"CORVEL_SHADER_DIR", std::string(SOURCE_DIR) + "/shaders"}}, dir.file("out"),
          dir.file("err"));
    BenchRun run;
    run.status = p.wait(120s);
    run.out = readFile(dir.file("out"));
    return run;
}

void writeTestImage(const std::string& path) {
    const int w = 200, h = 120;
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
            p[0] = uint8_t((x * 255) / w);
            p[1] = uint8_t(((x / 10 + y / 10) % 2) * 180 + 30);
            p[2] = uint8_t((y * 255) / h);
        }
    ASSERT_TRUE(stbi_write_png(path.c_str(), w, h, 3, rgb.data(), w * 3));
}

const std::string kUsage =
    "usage: CorvelLiveEnhancer --bench <method,...> <in WxH> <out WxH> <image> [frames] [png dir]\n";

} // namespace

TEST(BenchMode, RefusalsPrintTheUsageLineWithStatusTwo) {
    TempDir dir;
    writeTestImage(dir.file("pic.png"));
    const std::string pic = dir.file("pic.png");
    const std::vector<std::vector<std::string>> refused = {
        {},
        {"bicubic", "64x36", "128x72"},
        {"bicubic", "64x36x2", "128x72", pic},
        {"bicubic", "64x36", "1920x1080x2", pic},
        {"bicubic", "64x36", "128x72", dir.file("missing.png")},
        {"bicubic", "64x36", "128x72", dir.file("out")}, // a file that is no image
        {"bicubic", "64x36", "128x72", pic, "0"},
        {"bicubic", "64x36", "128x72", pic, "-3"},
        {"bicubic", "0x36", "128x72", pic},
        {"bicubic", "64x-36", "128x72", pic},
        {"bicubic", "63x36", "128x72", pic}, // odd: no 4:2:0 picture has it
    };
    for (const auto& words : refused) {
        const BenchRun run = runBench(dir, words);
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(words);
        EXPECT_EQ(run.out, kUsage) << ::testing::PrintToString(words);
    }
}

TEST(BenchMode, TableRowsQueuedLinesAndPngs) {
    TempDir dir;
    writeTestImage(dir.file("pic.png"));
    const std::string pngs = dir.file("pngs/deeper");
    const BenchRun run = runBench(dir, {"bilinear,,BICUBIC,no-such-shader,vt-ll2", "64X36", "128x72",
                                   dir.file("pic.png"), "10", pngs});
    ASSERT_EQ(run.status, 0) << run.out;
    std::istringstream lines(run.out);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 7u) << run.out;
    EXPECT_EQ(all[0], "method | GPU ms mean | GPU ms p95 | luma PSNR dB | luma SSIM   (64x36 -> 128x72, 10 frames)");
    const std::regex queued(R"(  (bilinear|bicubic \(Catmull-Rom\)): \d+\.\d\d ms a picture queued back to back)");
    const std::regex row(R"((bilinear|bicubic \(Catmull-Rom\)) \| (\d+\.\d\d) \| (\d+\.\d\d) \| (\d+\.\d\d) \| (\d\.\d{4}) \| wall median \d+\.\d\d)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(all[1], m, queued)) << all[1];
    EXPECT_EQ(m[1], "bilinear");
    ASSERT_TRUE(std::regex_match(all[2], m, row)) << all[2];
    EXPECT_EQ(m[1], "bilinear");
    const double bilinearPsnr = std::stod(m[4]);
    ASSERT_TRUE(std::regex_match(all[3], m, queued)) << all[3];
    EXPECT_EQ(m[1], "bicubic (Catmull-Rom)");
    ASSERT_TRUE(std::regex_match(all[4], m, row)) << all[4];
    const double bicubicPsnr = std::stod(m[4]);
    // Against a Lanczos reference both score well above noise, and
    // Catmull-Rom beats bilinear on a sharp checkerboard.
    EXPECT_GT(bilinearPsnr, 20.0);
    EXPECT_GT(bicubicPsnr, bilinearPsnr);
    EXPECT_LT(bicubicPsnr, 120.0);
    EXPECT_EQ(all[5].rfind("no-such-shader | failed: ", 0), 0u) << all[5];
    // 36 rows are no multiple of 16 and too few for two 16-pixel overlaps.
    EXPECT_EQ(all[6], "vt-ll2 | failed: No tile height fits.");

    for (const char* name : {"reference.png", "bilinear.png", "BICUBIC.png"}) {
        int w = 0, h = 0, n = 0;
        unsigned char* pixels = stbi_load((pngs + "/" + name).c_str(), &w, &h, &n, 3);
        ASSERT_NE(pixels, nullptr) << name;
        EXPECT_EQ(w, 128);
        EXPECT_EQ(h, 72);
        stbi_image_free(pixels);
    }
    EXPECT_FALSE(std::filesystem::exists(pngs + "/no-such-shader.png"));
}

// The tiled 2x engine as a bench method: "vt-ll2-o" followed by text that is
// no number keeps the overlap of 16; a method's text never writes its PNG
// outside the directory.
TEST(BenchMode, TiledEngineRowAndContainedPng) {
    TempDir dir;
    writeTestImage(dir.file("pic.png"));
    const std::string pngs = dir.file("pngs");
    const BenchRun run =
        runBench(dir, {"vt-ll2-o8/../../up,vt-ll2-o-1", "64x48", "128x96", dir.file("pic.png"), "2", pngs});
    ASSERT_EQ(run.status, 0) << run.out;
    std::istringstream lines(run.out);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 5u) << run.out;
    EXPECT_EQ(all[1].rfind("  VT low-latency 2x, 1x1 tiles of 64x48, overlap 16: ", 0), 0u) << all[1];
    EXPECT_TRUE(std::regex_match(
        all[2], std::regex(R"(VT low-latency 2x, 1x1 tiles of 64x48, overlap 16 \| \d+\.\d\d \| \d+\.\d\d \| (\d+\.\d\d) \| \d\.\d{4} \| wall median \d+\.\d\d)")))
        << all[2];
    // One tile: the overlap does not matter, but a negative one parses.
    EXPECT_EQ(all[4].rfind("VT low-latency 2x, 1x1 tiles of 64x48, overlap -1 | ", 0), 0u) << all[4];
    EXPECT_TRUE(std::filesystem::exists(pngs + "/vt-ll2-o8_.._.._up.png"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("up.png")));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/../up.png"));
}

// Equal sizes: the scalers copy sample for sample, so the result is the
// reference itself and scores the PSNR cap and an SSIM of one.
TEST(BenchMode, IdentityScoresTheCap) {
    TempDir dir;
    writeTestImage(dir.file("pic.png"));
    const BenchRun run = runBench(dir, {"bilinear,catmull-rom", "64x48", "64x48", dir.file("pic.png"), "1"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex(R"(\nbilinear \| [0-9.]+ \| [0-9.]+ \| 120\.00 \| 1\.0000 \| wall median )")))
        << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex(R"(\nbicubic \(Catmull-Rom\) \| [0-9.]+ \| [0-9.]+ \| 120\.00 \| 1\.0000 \| wall median )")))
        << run.out;
}
