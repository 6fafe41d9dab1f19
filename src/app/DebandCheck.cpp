#include "app/DebandCheck.h"

#include "common/EnhanceError.h"
#include "common/SourceColor.h"
#include "processing/Deband.h"
#include "processing/InverseToneMap.h"
#include "processing/Picture.h"
#include "service/Stages.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

namespace corvel {

namespace {

constexpr const char* kUsage = "usage: --deband <yuv420p file> <width> <height> <out dir>";

// A decimal integer with an optional sign and nothing else.
std::optional<long long> parseInt(const std::string& word) {
    size_t i = 0;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
    if (i == word.size()) return std::nullopt;
    long long value = 0;
    for (size_t j = i; j < word.size(); ++j) {
        if (word[j] < '0' || word[j] > '9') return std::nullopt;
        value = value * 10 + (word[j] - '0');
        if (value > (1LL << 40)) return std::nullopt;
    }
    return word[0] == '-' ? -value : value;
}

// Rows without padding: luma words, then interleaved chroma words.
void save(const Picture& picture, const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return; // an output file that cannot be written is not reported
    for (int y = 0; y < picture.height; ++y)
        out.write(reinterpret_cast<const char*>(picture.row(0, y)),
                  static_cast<std::streamsize>(picture.width) * 2);
    for (int y = 0; y < picture.height / 2; ++y)
        out.write(reinterpret_cast<const char*>(picture.row(1, y)),
                  static_cast<std::streamsize>(picture.width) * 2);
}

} // namespace

int debandCheck(const std::vector<std::string>& words) {
    auto usage = [] {
        std::cout << kUsage << std::endl;
        return 2;
    };
    if (words.size() < 4) return usage();
    const auto w = parseInt(words[1]);
    const auto h = parseInt(words[2]);
    if (!w || !h) return usage();
    std::ifstream file(words[0], std::ios::binary);
    if (!file) return usage();
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return usage();
    const long long width = *w;
    const long long height = *h;
    // The picture's size must be one a picture can have before the file
    // length can be compared with it (a negative or odd size never fits).
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return 2;
    if (static_cast<long long>(bytes.size()) < width * height * 3 / 2) return usage();
    const std::filesystem::path dir(words[3]);
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    if (width % 2 != 0 || height % 2 != 0) return 2; // no 4:2:0 picture of that size

    const int pw = static_cast<int>(width);
    const int ph = static_cast<int>(height);
    PictureRef source = makePicture(pw, ph);
    if (!source) return 2;
    source->color.primaries = color::kPrimaries709;
    source->color.transfer = color::kTransfer709;
    source->color.matrix = color::kMatrix709;
    // 8-bit codes in the upper byte: the 10-bit code x 4, as a word x 64.
    for (int y = 0; y < ph; ++y)
        for (int x = 0; x < pw; ++x)
            source->row(0, y)[x] = static_cast<uint16_t>(bytes[static_cast<size_t>(y) * pw + x] << 8);
    const size_t lumaBytes = static_cast<size_t>(pw) * ph;
    const size_t chromaBytes = static_cast<size_t>(pw / 2) * (ph / 2);
    for (int y = 0; y < ph / 2; ++y)
        for (int i = 0; i < pw / 2; ++i) {
            const size_t at = static_cast<size_t>(y) * (pw / 2) + i;
            source->row(1, y)[2 * i] = static_cast<uint16_t>(bytes[lumaBytes + at] << 8);
            source->row(1, y)[2 * i + 1] = static_cast<uint16_t>(bytes[lumaBytes + chromaBytes + at] << 8);
        }

    try {
        Deband deband(pw, ph, debandDirectory());
        PictureRef debanded = deband.apply(source);
        deband.wallMs = 0;
        deband.calls = 0;
        for (int i = 0; i < 20; ++i) debanded = deband.apply(source);
        const double ms = deband.calls < 1 ? 0.0 : deband.wallMs / deband.calls;
        char figure[64];
        std::snprintf(figure, sizeof figure, "%.2f", ms);
        std::cout << "deband: " << deband.wayText() << ", " << figure << " ms a " << pw << "x" << ph
                  << " picture" << std::endl;
        deband.wallMs = 0;
        deband.calls = 0;

        const std::vector<uint16_t> map = deband.mapValues();
        {
            std::ofstream out(dir / ("map-" + std::to_string(deband.mapWidth()) + "x" +
                                     std::to_string(deband.mapHeight()) + ".f16"),
                              std::ios::binary | std::ios::trunc);
            if (out)
                out.write(reinterpret_cast<const char*>(map.data()),
                          static_cast<std::streamsize>(map.size() * 2));
        }

        ToneParams tone;
        tone.peak = 1000;
        tone.contrast = 100;
        tone.middleGrey = 50;
        tone.saturation = 1.0f;
        tone.strength = 100;
        tone.bt601 = false;
        InverseToneMap lift(pw, ph, tone);
        save(*lift.apply(source), dir / "plain.p010");
        save(*lift.apply(debanded), dir / "debanded.p010");
    } catch (const std::exception& e) {
        std::cout << "deband: " << e.what() << std::endl;
        return 1;
    }
    std::cout << "wrote " << dir.string() << std::endl;
    return 0;
}

} // namespace corvel
