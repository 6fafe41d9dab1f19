// Quality of the shader scaler's 2x luma methods through the real OpenCL
// kernels: bilinear, bicubic (Catmull-Rom), the RAISR-style and the
// FSRCNN-style hook shaders, on the held-out training pictures.
//
//   hook_quality [PICTURE_DIR] [CROP_DIR]
//
// PICTURE_DIR defaults to $CORVEL_SR_TRAIN or /work/shared/data/sr-train;
// every 7th PNG in name order (index % 7 == 6) is held out from training and
// measured here. Each picture becomes 10-bit video-range luma (BT.709 weights
// on the stored RGB), cropped to a multiple of 4 so that the half-size
// picture has even sides; the small picture is the 2x2 area average rounded
// to 10-bit codes. PSNR over video-range codes (peak 876) and SSIM (8x8
// window, stride 4, on video-range fractions), both without a 4-sample
// border, as training/pictures.py measures them. PSNR is printed as the
// mean over pictures and pooled over all samples.
//
// Ringing: for each output sample, the range of the four input samples
// around it (the 2x2 block whose centres enclose it); overshoot is how far
// the sample lies outside that range, in codes. The share above 8 codes and
// the mean overshoot of the samples beside strong steps are printed.
//
// With CROP_DIR, grey PNG crops (truth | bicubic | ravu-lite | fsrcnnx8,
// each enlarged 3x by pixel repetition) of drawn step edges, drawn
// text-like glyphs and a held-out building picture are written there.

#include "processing/Picture.h"
#include "processing/ScaleMethod.h"
#include "processing/ShaderDirectory.h"
#include "processing/ShaderScaler.h"

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace corvel;

namespace {

// Luma as 10-bit video-range codes (not rounded), row-major.
struct Plane {
    int w = 0, h = 0;
    std::vector<double> v;
    double at(int x, int y) const {
        return v[size_t(std::clamp(y, 0, h - 1)) * w + std::clamp(x, 0, w - 1)];
    }
};

const std::array<const char*, 4> kMethods = {"bilinear", "bicubic", "ravu-lite", "fsrcnnx8"};

// Stored RGB -> unrounded video-range luma codes, cropped to multiples of 4.
bool loadLuma(const std::string& path, Plane& out) {
    int w, h, n;
    unsigned char* rgb = stbi_load(path.c_str(), &w, &h, &n, 3);
    if (!rgb) return false;
    out.w = w - w % 4;
    out.h = h - h % 4;
    out.v.resize(size_t(out.w) * out.h);
    for (int y = 0; y < out.h; ++y)
        for (int x = 0; x < out.w; ++x) {
            const unsigned char* p = rgb + (size_t(y) * w + x) * 3;
            const double lum = (0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]) / 255.0;
            out.v[size_t(y) * out.w + x] = 64.0 + 876.0 * lum;
        }
    stbi_image_free(rgb);
    return true;
}

// The 2x2 area average, rounded to codes, as a picture for the scaler
// (neutral chroma).
PictureRef halfPicture(const Plane& large) {
    const int w = large.w / 2, h = large.h / 2;
    PictureRef small = makePicture(w, h);
    fillPicture(*small, 512, 512, 512);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double box = 0.25 * (large.at(2 * x, 2 * y) + large.at(2 * x + 1, 2 * y) +
                                       large.at(2 * x, 2 * y + 1) + large.at(2 * x + 1, 2 * y + 1));
            small->row(0, y)[x] = uint16_t(std::lround(box) * 64);
        }
    return small;
}

Plane lumaOf(const Picture& p) {
    Plane out{p.width, p.height, std::vector<double>(size_t(p.width) * p.height)};
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) out.v[size_t(y) * p.width + x] = p.row(0, y)[x] / 64.0;
    return out;
}

double squaredError(const Plane& a, const Plane& b, long& count) {
    double sum = 0;
    for (int y = 4; y < a.h - 4; ++y)
        for (int x = 4; x < a.w - 4; ++x) {
            const double d = a.at(x, y) - b.at(x, y);
            sum += d * d;
            ++count;
        }
    return sum;
}

double ssim(const Plane& a, const Plane& b) {
    const double c1 = 0.01 * 0.01, c2 = 0.03 * 0.03;
    double total = 0;
    long windows = 0;
    for (int y = 4; y + 8 <= a.h - 4; y += 4)
        for (int x = 4; x + 8 <= a.w - 4; x += 4) {
            double ma = 0, mb = 0, aa = 0, bb = 0, ab = 0;
            for (int j = 0; j < 8; ++j)
                for (int i = 0; i < 8; ++i) {
                    const double p = (a.at(x + i, y + j) - 64) / 876, q = (b.at(x + i, y + j) - 64) / 876;
                    ma += p, mb += q, aa += p * p, bb += q * q, ab += p * q;
                }
            ma /= 64, mb /= 64, aa /= 64, bb /= 64, ab /= 64;
            const double va = aa - ma * ma, vb = bb - mb * mb, cov = ab - ma * mb;
            total += ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
            ++windows;
        }
    return total / windows;
}

// Overshoot statistics of a 2x output against its small input.
struct Ringing {
    long samples = 0, over8 = 0, edgeSamples = 0;
    double edgeOvershoot = 0, worst = 0;
    void add(const Plane& out, const Plane& small) {
        for (int y = 4; y < out.h - 4; ++y)
            for (int x = 4; x < out.w - 4; ++x) {
                // Output 2k lies a quarter sample before input k: its block
                // is k-1..k; output 2k+1 lies after: k..k+1.
                const int x0 = (x - 1) >> 1, y0 = (y - 1) >> 1;
                const double a = small.at(x0, y0), b = small.at(x0 + 1, y0);
                const double c = small.at(x0, y0 + 1), d = small.at(x0 + 1, y0 + 1);
                const double lo = std::min({a, b, c, d}), hi = std::max({a, b, c, d});
                const double v = out.at(x, y);
                const double over = std::max({0.0, v - hi, lo - v});
                ++samples;
                over8 += over > 8;
                worst = std::max(worst, over);
                // Beside a strong step (a large change within the block):
                // where ringing shows.
                if (hi - lo > 200) {
                    edgeOvershoot += over;
                    ++edgeSamples;
                }
            }
    }
};

struct Totals {
    double squared = 0;
    long count = 0;
    double ssimSum = 0;
    double psnrSum = 0; // of per-picture PSNRs, for the mean
    int pictures = 0;
    Ringing ring;
};

// Caches one scaler per method and size (each compiles its kernels once).
class Scalers {
public:
    PictureRef scale(const std::string& method, const PictureRef& small) {
        auto key = std::make_tuple(method, small->width, small->height);
        auto it = scalers_.find(key);
        if (it == scalers_.end())
            it = scalers_.emplace(key, std::make_unique<ShaderScaler>(ScaleMethod::parse(method), small->width,
                                                                      small->height, 2 * small->width,
                                                                      2 * small->height))
                     .first;
        return it->second->scale(small);
    }

private:
    std::map<std::tuple<std::string, int, int>, std::unique_ptr<ShaderScaler>> scalers_;
};

// Drawn test card at 4x4 supersampling: step edges at several angles
// (sharp black/white boundaries) and blocky glyphs like large text.
Plane drawnCard(int w, int h) {
    // 5x7 glyph bitmaps of our own: a few letters and digits.
    static const char* glyphs[] = {
        "#####" "#...." "#...." "####." "#...." "#...." "#####",  // E
        "#...#" "#...#" "#...#" "#####" "#...#" "#...#" "#...#",  // H
        "#####" "..#.." "..#.." "..#.." "..#.." "..#.." "..#..",  // T
        ".###." "#...#" "#...." ".###." "....#" "#...#" ".###.",  // S
        "..#.." ".##.." "..#.." "..#.." "..#.." "..#.." ".###.",  // 1
        ".###." "#...#" "#..##" "#.#.#" "##..#" "#...#" ".###.",  // 0
    };
    auto shade = [&](double x, double y) -> double {
        if (y < h / 2.0) {
            // Upper half: a bright field with dark wedges and bars.
            const double cx = w / 4.0, cy = h / 4.0;
            const double ang = std::atan2(y - cy, x - cx);
            if (x < w / 2.0) return std::fmod(ang + 4 * M_PI, M_PI / 4) < M_PI / 8 ? 0.05 : 0.95;
            const int bar = int((x - w / 2.0) / 5.3);
            return bar % 2 ? 0.08 : 0.92;
        }
        // Lower half: glyphs, cell of 2.6 samples (strokes not on the grid).
        const double cell = 2.6;
        const double gx = (x - 4) / cell, gy = (y - h / 2.0 - 4) / cell;
        if (gx < 0 || gy < 0) return 0.9;
        const int col = int(gx), row = int(gy);
        const int glyph = (col / 6) % 6, line = row / 9;
        const int cx = col % 6, cy = row % 9;
        if (cx >= 5 || cy >= 7 || line > 3) return 0.9;
        return glyphs[(glyph + line) % 6][cy * 5 + cx] == '#' ? 0.1 : 0.9;
    };
    Plane out{w, h, std::vector<double>(size_t(w) * h)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sum = 0;
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 4; ++i) sum += shade(x + (i + 0.5) / 4, y + (j + 0.5) / 4);
            out.v[size_t(y) * w + x] = 64.0 + 876.0 * sum / 16;
        }
    return out;
}

// Writes truth and the methods' crops side by side, each enlarged 3x.
void writeCrop(const std::string& path, const std::vector<const Plane*>& panels, int x0, int y0, int size) {
    const int zoom = 3, gap = 4, side = size * zoom;
    const int W = int(panels.size()) * (side + gap) - gap, H = side;
    std::vector<unsigned char> grey(size_t(W) * H, 255);
    for (size_t p = 0; p < panels.size(); ++p)
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < side; ++x) {
                const double code = panels[p]->at(x0 + x / zoom, y0 + y / zoom);
                grey[size_t(y) * W + p * (side + gap) + x] =
                    (unsigned char)std::lround(std::clamp((code - 64) / 876 * 255, 0.0, 255.0));
            }
    if (!stbi_write_png(path.c_str(), W, H, 1, grey.data(), W)) std::fprintf(stderr, "Could not write %s\n", path.c_str());
    else std::printf("wrote %s\n", path.c_str());
}

// Scales `large` by every method; adds figures; optionally writes a crop.
void measure(Scalers& scalers, const Plane& large, const std::vector<std::map<std::string, Totals>*>& sets,
             const std::string& crop, int cx, int cy, int size) {
    PictureRef small = halfPicture(large);
    const Plane smallLuma = lumaOf(*small);
    std::vector<Plane> outs;
    for (const char* method : kMethods) {
        outs.push_back(lumaOf(*scalers.scale(method, small)));
        const double ss = ssim(outs.back(), large);
        for (auto* totals : sets) {
            Totals& t = (*totals)[method];
            long n = 0;
            const double sq = squaredError(outs.back(), large, n);
            t.squared += sq;
            t.count += n;
            t.psnrSum += 10 * std::log10(876.0 * 876.0 / (sq / n));
            t.ssimSum += ss;
            t.ring.add(outs.back(), smallLuma);
            ++t.pictures;
        }
    }
    for (auto* totals : sets) {
        Totals& truth = (*totals)["truth"];
        truth.ring.add(large, smallLuma);
        ++truth.pictures;
    }
    if (!crop.empty()) writeCrop(crop, {&large, &outs[1], &outs[2], &outs[3]}, cx, cy, size);
}

void print(const std::string& set, std::map<std::string, Totals>& totals) {
    const double bicubic = totals["bicubic"].psnrSum / totals["bicubic"].pictures;
    std::printf("\n%s (%d pictures)\n%-10s %8s %8s %7s %7s %9s %10s %9s\n", set.c_str(), totals["truth"].pictures,
                "method", "PSNR dB", "vs bicub", "pooled", "SSIM", ">8 codes", "edge over", "worst");
    for (const std::string m : {"bilinear", "bicubic", "ravu-lite", "fsrcnnx8", "truth"}) {
        const Totals& t = totals[m];
        const double over = 100.0 * t.ring.over8 / std::max(1L, t.ring.samples);
        const double edge = t.ring.edgeOvershoot / std::max(1L, t.ring.edgeSamples);
        if (m == "truth") {
            std::printf("%-10s %8s %8s %7s %7s %8.2f%% %10.2f %9.1f\n", m.c_str(), "", "", "", "", over, edge,
                        t.ring.worst);
            continue;
        }
        // Mean of the per-picture PSNRs (as the training scripts report
        // them), and the PSNR of all samples pooled into one error.
        const double psnr = t.psnrSum / t.pictures;
        const double pooled = 10 * std::log10(876.0 * 876.0 / (t.squared / t.count));
        std::printf("%-10s %8.2f %+8.2f %7.2f %7.4f %8.2f%% %10.2f %9.1f\n", m.c_str(), psnr, psnr - bicubic, pooled,
                    t.ssimSum / t.pictures, over, edge, t.ring.worst);
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("CORVEL_SR_TRAIN");
    const std::string dir = argc > 1 ? argv[1] : env ? env : "/work/shared/data/sr-train";
    const std::string crops = argc > 2 ? argv[2] : "";
    setShaderDirectoryOverride(std::string(SOURCE_DIR) + "/shaders");
    if (!crops.empty()) std::filesystem::create_directories(crops);

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".png") names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    if (names.empty()) {
        std::fprintf(stderr, "No PNG pictures in %s.\n", dir.c_str());
        return 1;
    }

    Scalers scalers;
    std::map<std::string, Totals> all, photos, buildings, card;
    bool buildingCropped = false;
    for (size_t i = 6; i < names.size(); i += 7) {
        Plane large;
        if (!loadLuma(names[i], large)) {
            std::fprintf(stderr, "Could not read %s.\n", names[i].c_str());
            return 1;
        }
        const std::string base = std::filesystem::path(names[i]).filename().string();
        const bool building = base.rfind("urban", 0) == 0;
        // One crop of the first held-out building picture: its centre.
        std::string crop;
        if (building && !buildingCropped && !crops.empty()) {
            crop = crops + "/edges-building.png";
            buildingCropped = true;
        }
        measure(scalers, large, {&all, building ? &buildings : &photos}, crop, large.w / 2 - 40,
                large.h / 2 - 40, 80);
        std::printf("%s %dx%d\n", base.c_str(), large.w, large.h);
    }
    const Plane drawn = drawnCard(192, 160);
    measure(scalers, drawn, {&card}, crops.empty() ? "" : crops + "/edges-drawn-steps.png", 8, 8, 80);
    if (!crops.empty()) {
        std::map<std::string, Totals> ignored;
        measure(scalers, drawn, {&ignored}, crops + "/edges-drawn-glyphs.png", 0, 80, 80);
    }
    print("all held out", all);
    print("photographs (bsd)", photos);
    print("buildings (urban)", buildings);
    print("drawn steps and glyphs", card);
    return 0;
}
