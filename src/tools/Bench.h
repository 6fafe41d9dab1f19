#pragma once

#include "processing/Picture.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvel::tools {

// The --bench mode. `words` are the command-line words after the program's
// name and the mode's own word: methods, input size, output size, picture
// path, optional frame count, optional PNG directory. Prints the table on
// standard output; returns 0, or 2 after the usage line.
int bench(const std::vector<std::string>& words);

inline constexpr const char* kBenchUsage =
    "usage: CorvelLiveEnhancer --bench <method,...> <in WxH> <out WxH> <image> [frames] [png dir]";

// "WxH" read leniently: lower-cased, split at every "x" (empty pieces
// dropped), the pieces that are decimal integers (optional sign) kept; a
// size only when exactly two were kept. "1920X1080" is 1920 x 1080;
// "1920x1080x2" is none.
std::optional<std::pair<int64_t, int64_t>> size(const std::string& text);

// The 95th percentile's index in `count` sorted values: min(floor(count x
// 0.95), count - 1). count must be at least 1.
size_t p95Index(size_t count);

// Plane 0 as values in 0 ... 1: each word's 10-bit code / 1023, row by row.
std::vector<double> luma(const Picture& picture);

// 10 log10(1 / max(MSE, 1e-12)) over the elements of `a` (b at least as
// long): identical lists score 120 dB.
double psnr(const std::vector<double>& a, const std::vector<double>& b);

// Mean SSIM over 8x8 windows at a step of 4 (C1 0.0001, C2 0.0009,
// variances over 63); 0 for a picture narrower or lower than 8.
double ssim(const std::vector<double>& a, const std::vector<double>& b, int width, int height);

// An 8-bit R'G'B' still picture, three bytes a pixel, rows packed.
struct StillImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// The file as an image; none when it cannot be read or decoded.
std::optional<StillImage> loadImage(const std::string& path);

// The image cropped at its centre to width:height, scaled by Lanczos to
// width x height and converted to a 10-bit 4:2:0 BT.709 video-range
// picture (2x2 chroma averages). Sizes must be even and positive.
PictureRef picture(const StillImage& image, int width, int height, PicturePool& pool);

// The picture as 8-bit R'G'B' (BT.709, chroma repeated over its 2x2
// pixels) in a PNG file; false when it cannot be written.
bool writePNG(const Picture& picture, const std::string& path);

} // namespace corvel::tools
