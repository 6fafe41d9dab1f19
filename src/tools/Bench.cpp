#include "tools/Bench.h"

#include "common/EnhanceError.h"
#include "common/Fmt.h"
#include "common/SourceColor.h"
#include "compute/ComputeContext.h"
#include "processing/DevicePicture.h"
#include "processing/NeuralScaler.h"
#include "processing/ScaleMethod.h"
#include "processing/ShaderScaler.h"
#include "processing/TiledScaler.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <memory>

extern "C" {
#include <libswscale/swscale.h>
}
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

namespace corvel::tools {

namespace {

// The measured runs' warm-up: kernel builds and first-use costs stay out of
// the table.
constexpr int kWarmUp = 5;
constexpr int kQueued = 60;
// Queued runs stop early once submitting has taken this long: a network on
// a CPU device takes seconds a picture, and 60 of them would hold the bench
// for minutes without making the mean any truer.
constexpr double kQueuedLimitMs = 15000;
// The largest side a bench picture may have (as the scalers' pools).
constexpr int64_t kLargestSide = 16384;

std::optional<int64_t> decimal(const std::string& text) {
    // One optional sign: "+5" and "-5" are numbers, "+-5" and "++5" are not.
    std::string_view view(text);
    if (!view.empty() && view.front() == '+') {
        view.remove_prefix(1);
        if (!view.empty() && view.front() == '-') return std::nullopt;
    }
    if (view.empty() || view.front() == '+') return std::nullopt;
    int64_t value = 0;
    auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (error != std::errc() || end != view.data() + view.size()) return std::nullopt;
    return value;
}

// Sizes a picture can have: even (4:2:0) and within the pools' bounds.
bool usable(const std::pair<int64_t, int64_t>& size) {
    return size.first >= 2 && size.second >= 2 && size.first % 2 == 0 && size.second % 2 == 0 &&
           size.first <= kLargestSide && size.second <= kLargestSide;
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

uint16_t word(double code) {
    const double clamped = std::clamp(std::nearbyint(code), 0.0, 1023.0);
    return static_cast<uint16_t>(static_cast<int>(clamped) << 6);
}

std::unique_ptr<BenchScaler> makeScaler(const std::string& piece, int inW, int inH, int outW, int outH) {
    if (piece.rfind("vt-ll2", 0) == 0) {
        int overlap = 16;
        if (piece.rfind("vt-ll2-o", 0) == 0) {
            const auto parsed = decimal(piece.substr(8));
            if (parsed && *parsed >= INT32_MIN && *parsed <= INT32_MAX) overlap = int(*parsed);
        }
        return std::make_unique<VTTiledScaler>(inW, inH, outW, outH, overlap);
    }
    const ScaleMethod method = ScaleMethod::parse(piece);
    if (method.kind == ScaleMethod::Kind::Neural)
        return std::make_unique<NeuralScaler>(method.name, inW, inH, outW, outH);
    return std::make_unique<ShaderScaler>(method, inW, inH, outW, outH);
}

struct Rows {
    std::vector<double> gpu;
    std::vector<double> wall;
};

} // namespace

std::optional<std::pair<int64_t, int64_t>> size(const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::vector<int64_t> numbers;
    size_t start = 0;
    while (start <= lower.size()) {
        size_t end = lower.find('x', start);
        if (end == std::string::npos) end = lower.size();
        const std::string piece = lower.substr(start, end - start);
        if (!piece.empty())
            if (auto value = decimal(piece)) numbers.push_back(*value);
        start = end + 1;
    }
    if (numbers.size() != 2) return std::nullopt;
    return std::make_pair(numbers[0], numbers[1]);
}

size_t p95Index(size_t count) {
    return std::min(static_cast<size_t>(std::floor(static_cast<double>(count) * 0.95)), count - 1);
}

std::vector<double> luma(const Picture& picture) {
    std::vector<double> values;
    values.reserve(static_cast<size_t>(picture.width) * picture.height);
    for (int y = 0; y < picture.height; ++y) {
        const uint16_t* row = picture.row(0, y);
        for (int x = 0; x < picture.width; ++x) values.push_back((row[x] >> 6) / 1023.0);
    }
    return values;
}

double psnr(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = a[i] - b[i];
        sum += d * d;
    }
    const double mse = a.empty() ? 0.0 : sum / static_cast<double>(a.size());
    return 10.0 * std::log10(1.0 / std::max(mse, 1e-12));
}

double ssim(const std::vector<double>& a, const std::vector<double>& b, int width, int height) {
    constexpr double c1 = 0.0001;
    constexpr double c2 = 0.0009;
    double total = 0;
    int windows = 0;
    for (int y = 0; y + 8 <= height; y += 4) {
        for (int x = 0; x + 8 <= width; x += 4) {
            double sa = 0, sb = 0;
            for (int j = 0; j < 8; ++j)
                for (int i = 0; i < 8; ++i) {
                    const size_t at = static_cast<size_t>(y + j) * width + x + i;
                    sa += a[at];
                    sb += b[at];
                }
            const double ma = sa / 64, mb = sb / 64;
            double va = 0, vb = 0, cov = 0;
            for (int j = 0; j < 8; ++j)
                for (int i = 0; i < 8; ++i) {
                    const size_t at = static_cast<size_t>(y + j) * width + x + i;
                    va += (a[at] - ma) * (a[at] - ma);
                    vb += (b[at] - mb) * (b[at] - mb);
                    cov += (a[at] - ma) * (b[at] - mb);
                }
            va /= 63;
            vb /= 63;
            cov /= 63;
            total += ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
            windows += 1;
        }
    }
    return windows == 0 ? 0.0 : total / windows;
}

std::optional<StillImage> loadImage(const std::string& path) {
    int w = 0, h = 0, channels = 0;
    unsigned char* pixels = stbi_load(path.c_str(), &w, &h, &channels, 3);
    if (!pixels) return std::nullopt;
    StillImage image;
    image.width = w;
    image.height = h;
    image.rgb.assign(pixels, pixels + static_cast<size_t>(w) * h * 3);
    stbi_image_free(pixels);
    if (w < 1 || h < 1) return std::nullopt;
    return image;
}

PictureRef picture(const StillImage& image, int width, int height, PicturePool& pool) {
    // 1. Crop at the centre to the target's aspect ratio.
    const double ratio = static_cast<double>(width) / height;
    int cropW = image.width;
    int cropH = image.height;
    if (static_cast<double>(image.width) / image.height > ratio)
        cropW = std::clamp(static_cast<int>(std::lround(image.height * ratio)), 1, image.width);
    else
        cropH = std::clamp(static_cast<int>(std::lround(image.width / ratio)), 1, image.height);
    const int x0 = (image.width - cropW) / 2;
    const int y0 = (image.height - cropH) / 2;

    // 2. Lanczos to the target size, still 8-bit R'G'B'.
    std::vector<uint8_t> scaled(static_cast<size_t>(width) * height * 3);
    SwsContext* sws = sws_getContext(cropW, cropH, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_RGB24,
                                     SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                     nullptr, nullptr);
    if (!sws) throw EnhanceError("No " + sizeText(width, height) + " picture.");
    const uint8_t* source[4] = {image.rgb.data() + (static_cast<size_t>(y0) * image.width + x0) * 3,
                                nullptr, nullptr, nullptr};
    const int sourceStride[4] = {image.width * 3, 0, 0, 0};
    uint8_t* target[4] = {scaled.data(), nullptr, nullptr, nullptr};
    const int targetStride[4] = {width * 3, 0, 0, 0};
    sws_scale(sws, source, sourceStride, 0, cropH, target, targetStride);
    sws_freeContext(sws);

    // 3. BT.709 Y'CbCr, video range, 10-bit codes; chroma from the mean
    // R'G'B' of each 2x2 block.
    PictureRef out = pool.take();
    out->color.primaries = color::kPrimaries709;
    out->color.transfer = color::kTransfer709;
    out->color.matrix = color::kMatrix709;
    constexpr double kr = 0.2126, kb = 0.0722, kg = 1.0 - kr - kb;
    auto rgbAt = [&](int x, int y, int c) {
        return scaled[(static_cast<size_t>(y) * width + x) * 3 + c] / 255.0;
    };
    for (int y = 0; y < height; ++y) {
        uint16_t* row = out->row(0, y);
        for (int x = 0; x < width; ++x) {
            const double yv = kr * rgbAt(x, y, 0) + kg * rgbAt(x, y, 1) + kb * rgbAt(x, y, 2);
            row[x] = word(64 + 876 * yv);
        }
    }
    for (int y = 0; y < height / 2; ++y) {
        uint16_t* row = out->row(1, y);
        for (int x = 0; x < width / 2; ++x) {
            double r = 0, g = 0, b = 0;
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i) {
                    r += rgbAt(2 * x + i, 2 * y + j, 0) / 4;
                    g += rgbAt(2 * x + i, 2 * y + j, 1) / 4;
                    b += rgbAt(2 * x + i, 2 * y + j, 2) / 4;
                }
            const double yv = kr * r + kg * g + kb * b;
            row[2 * x] = word(512 + 896 * (b - yv) / (2 * (1 - kb)));
            row[2 * x + 1] = word(512 + 896 * (r - yv) / (2 * (1 - kr)));
        }
    }
    out->storage().recycled();
    return out;
}

bool writePNG(const Picture& picture, const std::string& path) {
    constexpr double kr = 0.2126, kb = 0.0722, kg = 1.0 - kr - kb;
    const int w = picture.width, h = picture.height;
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    auto byte = [](double v) { return static_cast<uint8_t>(std::clamp(std::lround(v * 255.0), 0L, 255L)); };
    for (int y = 0; y < h; ++y) {
        const uint16_t* lumaRow = picture.row(0, y);
        const uint16_t* chromaRow = picture.row(1, y / 2);
        for (int x = 0; x < w; ++x) {
            const double yv = ((lumaRow[x] >> 6) - 64) / 876.0;
            const double cb = ((chromaRow[2 * (x / 2)] >> 6) - 512) / 896.0;
            const double cr = ((chromaRow[2 * (x / 2) + 1] >> 6) - 512) / 896.0;
            const double r = yv + 2 * (1 - kr) * cr;
            const double b = yv + 2 * (1 - kb) * cb;
            const double g = (yv - kr * r - kb * b) / kg;
            uint8_t* at = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            at[0] = byte(r);
            at[1] = byte(g);
            at[2] = byte(b);
        }
    }
    return stbi_write_png(path.c_str(), w, h, 3, rgb.data(), w * 3) != 0;
}

int bench(const std::vector<std::string>& words) {
    auto usage = [] {
        std::cout << kBenchUsage << std::endl;
        return 2;
    };
    if (words.size() < 4) return usage();
    const auto in = size(words[1]);
    const auto out = size(words[2]);
    // Sizes no picture can have (below 2, odd, beyond the pools) are refused
    // like sizes that do not parse: they could only fail every method.
    if (!in || !out || !usable(*in) || !usable(*out)) return usage();
    int64_t frames = 120;
    if (words.size() >= 5)
        if (auto parsed = decimal(words[4])) frames = *parsed;
    // Below one frame there is no mean, percentile or median to print.
    if (frames < 1 || frames > 1000000) return usage();
    const auto image = loadImage(words[3]);
    if (!image) return usage();
    const std::optional<std::string> pngDir =
        words.size() >= 6 ? std::optional<std::string>(words[5]) : std::nullopt;

    const int inW = int(in->first), inH = int(in->second);
    const int outW = int(out->first), outH = int(out->second);
    PictureRef input;
    PictureRef reference;
    try {
        // The input lives in the compute device's memory as a decoded
        // picture would, so no run pays for an upload.
        auto context = compute::ComputeContext::shared();
        PicturePool inputs(inW, inH, 1, deviceStorage(context));
        PicturePool references(outW, outH, 1);
        input = picture(*image, inW, inH, inputs);
        reference = picture(*image, outW, outH, references);
    } catch (const EnhanceError& error) {
        std::cout << "bench: " << error.what() << std::endl;
        return 2;
    }
    const std::vector<double> referenceLuma = luma(*reference);
    if (pngDir) {
        std::error_code ignored;
        std::filesystem::create_directories(*pngDir, ignored);
        writePNG(*reference, (std::filesystem::path(*pngDir) / "reference.png").string());
    }

    std::cout << "method | GPU ms mean | GPU ms p95 | luma PSNR dB | luma SSIM   (" << inW << "x" << inH
              << " -> " << outW << "x" << outH << ", " << frames << " frames)" << std::endl;

    std::vector<std::string> pieces;
    {
        size_t start = 0;
        const std::string& list = words[0];
        while (start <= list.size()) {
            size_t end = list.find(',', start);
            if (end == std::string::npos) end = list.size();
            if (end > start) pieces.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    }

    for (const std::string& piece : pieces) {
        try {
            std::unique_ptr<BenchScaler> scaler = makeScaler(piece, inW, inH, outW, outH);
            const std::string d = scaler->description();

            // Measured runs: each picture waits for its work, so both times
            // are that picture's own.
            Rows rows;
            PictureRef result;
            for (int64_t run = 0; run < frames + kWarmUp; ++run) {
                result = scaler->scale(input);
                const ScaleTimes times = scaler->takeBoth();
                if (run < kWarmUp) continue;
                rows.gpu.push_back(times.gpu);
                rows.wall.push_back(times.wall);
            }

            // Queued runs: nothing waits until the drain, so the device
            // never idles between pictures.
            scaler->setPipelined(true);
            const auto noted = std::chrono::steady_clock::now();
            int queued = 0;
            while (queued < kQueued) {
                scaler->scale(input);
                queued += 1;
                if (msSince(noted) > kQueuedLimitMs) break;
            }
            scaler->drain();
            const double elapsed = msSince(noted);
            scaler->setPipelined(false);
            std::cout << "  " << d << ": " << fmt(2, elapsed / queued) << " ms a picture queued back to back"
                      << std::endl;
            if (queued < kQueued)
                std::cout << "  (queued runs stopped after " << queued << (queued == 1 ? " picture: " : " pictures: ")
                          << fmt(0, kQueuedLimitMs / 1000) << " s reached)" << std::endl;

            std::sort(rows.gpu.begin(), rows.gpu.end());
            std::sort(rows.wall.begin(), rows.wall.end());
            double sum = 0;
            for (double ms : rows.gpu) sum += ms;
            const double mean = sum / static_cast<double>(rows.gpu.size());
            const double p95 = rows.gpu[p95Index(rows.gpu.size())];
            const double wallMedian = rows.wall[rows.wall.size() / 2];
            const std::vector<double> resultLuma = luma(*result);
            std::cout << d << " | " << fmt(2, mean) << " | " << fmt(2, p95) << " | "
                      << fmt(2, psnr(referenceLuma, resultLuma)) << " | "
                      << fmt(4, ssim(referenceLuma, resultLuma, outW, outH)) << " | wall median "
                      << fmt(2, wallMedian) << std::endl;
            if (pngDir) {
                // The file stays in the directory whatever the method's text.
                std::string name = piece;
                std::replace(name.begin(), name.end(), '/', '_');
                writePNG(*result, (std::filesystem::path(*pngDir) / (name + ".png")).string());
            }
        } catch (const std::exception& error) {
            // A scaler that cannot be made, or a picture that fails: the
            // row says why and the next method follows.
            std::cout << piece << " | failed: " << error.what() << std::endl;
        }
        std::cout << std::flush;
    }
    return 0;
}

} // namespace corvel::tools
