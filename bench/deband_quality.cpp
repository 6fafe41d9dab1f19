// Debanding quality and speed through the real kernels: the fixed filter and
// the network's map, on 1920x1080 pictures made from the held-out training
// photographs.
//
//   deband_quality [--oracle] [--each] [PICTURE_DIR] [COUNT] [CROP_PNG] [WEIGHTS_DIR]
//
// --each: also a line per banded picture (its file, step, flat and wide
// shares and the three ways' PSNR changes), to see which pictures a set's
// mean hides.
// --oracle: also what the map-driven filter's arithmetic can reach at all on
// the same pictures: maps built from the known original (see oracleMaps) run
// through the real filter kernel, per set next to the network's figure.
//
// WEIGHTS_DIR: where truehdr-debander.json / .bin are read (default: the
// shader directory's deband/), to compare a training's file with the shipped
// one.
// PICTURE_DIR defaults to $CORVEL_SR_TRAIN or /work/shared/data/sr-train;
// every 7th PNG in name order (index % 7 == 6) is held out from training and
// the first COUNT (default 4) of those are used.
//
// Banded: the photograph, box-blurred (9x9) and enlarged with bilinear
// sampling to 1920x1080, is the unquantised original (a smooth picture with a
// photograph's colours); it is converted to BT.709 video-range Y'CbCr, its
// chroma averaged 2x2, and rounded to 8-bit codes (every second picture to
// steps of 2 codes): the banded input. Banded areas are the pixels whose
// original luma varies by less than 3 8-bit codes over 9x9 pixels ("flat");
// "wide bands" are those under 2 codes over 17x17, where the 8-bit steps lie
// at least ~8 pixels apart: where banding shows.
// Gradients: a sky-like slow ramp with a glow, rounded to 8 bits; the whole
// picture; once clean and once with a gentle grain (0.2 8-bit codes RMS) in
// the original, as a real sky carries (a stronger grain dithers the steps
// away: such a sky is not banded).
// Textured: 12x7 160-pixel tiles of the held-out photographs reduced by 2
// with an area (box) filter, so that the original has values between 8-bit
// codes (a stored 8-bit photograph is itself rounded: measured against its
// own noise every smoothing would count as a loss); the original is their
// Y'CbCr before rounding to 8 bits, the whole picture is measured.
// PSNR on luma in 10-bit codes (peak 876) against the original, before and
// after debanding. Speed: wall milliseconds per picture, after a warm-up.
// CROP_PNG: input | fixed filter | network map of a 320x160 crop of the
// first banded picture, luma only, contrast stretched 8x about its mean so
// that the steps can be seen.
#include "processing/Deband.h"
#include "processing/Picture.h"
#include "processing/ShaderDirectory.h"

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace corvel;

namespace {

constexpr int W = 1920, H = 1080;
constexpr double KR = 0.2126, KB = 0.0722;

struct Rgb {
    std::vector<float> v; // w x h x 3, 0..1
    int w = 0, h = 0;
    const float* at(int x, int y) const {
        return &v[(static_cast<size_t>(std::clamp(y, 0, h - 1)) * w + std::clamp(x, 0, w - 1)) * 3];
    }
};

Rgb load(const std::string& path) {
    Rgb r;
    int n = 0;
    unsigned char* data = stbi_load(path.c_str(), &r.w, &r.h, &n, 3);
    if (!data) return r;
    r.v.assign(data, data + static_cast<size_t>(r.w) * r.h * 3);
    for (float& x : r.v) x /= 255.0f;
    stbi_image_free(data);
    return r;
}

Rgb blur(const Rgb& in, int radius) {
    Rgb out = in;
    for (int y = 0; y < in.h; ++y)
        for (int x = 0; x < in.w; ++x)
            for (int c = 0; c < 3; ++c) {
                double s = 0;
                for (int j = -radius; j <= radius; ++j)
                    for (int i = -radius; i <= radius; ++i) s += in.at(x + i, y + j)[c];
                out.v[(static_cast<size_t>(y) * in.w + x) * 3 + c] =
                    static_cast<float>(s / ((2 * radius + 1) * (2 * radius + 1)));
            }
    return out;
}

// Area (box) reduction by an integer factor.
Rgb reduce(const Rgb& in, int factor) {
    Rgb out;
    out.w = in.w / factor, out.h = in.h / factor;
    out.v.resize(static_cast<size_t>(out.w) * out.h * 3);
    for (int y = 0; y < out.h; ++y)
        for (int x = 0; x < out.w; ++x)
            for (int c = 0; c < 3; ++c) {
                double s = 0;
                for (int j = 0; j < factor; ++j)
                    for (int i = 0; i < factor; ++i) s += in.at(x * factor + i, y * factor + j)[c];
                out.v[(static_cast<size_t>(y) * out.w + x) * 3 + c] = static_cast<float>(s / (factor * factor));
            }
    return out;
}

Rgb enlarge(const Rgb& in, int w, int h) {
    Rgb out;
    out.w = w, out.h = h;
    out.v.resize(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double px = (x + 0.5) * in.w / w - 0.5, py = (y + 0.5) * in.h / h - 0.5;
            const int x0 = static_cast<int>(std::floor(px)), y0 = static_cast<int>(std::floor(py));
            const double ax = px - x0, ay = py - y0;
            for (int c = 0; c < 3; ++c) {
                const double top = in.at(x0, y0)[c] * (1 - ax) + in.at(x0 + 1, y0)[c] * ax;
                const double bot = in.at(x0, y0 + 1)[c] * (1 - ax) + in.at(x0 + 1, y0 + 1)[c] * ax;
                out.v[(static_cast<size_t>(y) * w + x) * 3 + c] = static_cast<float>(top * (1 - ay) + bot * ay);
            }
        }
    return out;
}

// The original's luma in 10-bit codes (unrounded) and the 8-bit picture.
struct Case {
    std::vector<double> luma;
    PictureRef picture;
};

Case quantise(const Rgb& rgb, int step) {
    Case c;
    c.luma.resize(static_cast<size_t>(W) * H);
    c.picture = makePicture(W, H);
    std::vector<double> cb(static_cast<size_t>(W / 2) * (H / 2), 0), cr = cb;
    auto q = [step](double code, double lo, double hi) {
        return std::clamp(std::round(code / step) * step, lo, hi);
    };
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const float* p = rgb.at(x, y);
            const double Y = KR * p[0] + (1 - KR - KB) * p[1] + KB * p[2];
            c.luma[static_cast<size_t>(y) * W + x] = (Y * 219 + 16) * 4;
            c.picture->row(0, y)[x] = static_cast<uint16_t>(static_cast<int>(q(Y * 219 + 16, 1, 254)) << 8);
            const size_t at = static_cast<size_t>(y / 2) * (W / 2) + x / 2;
            cb[at] += (p[2] - Y) / (2 * (1 - KB)) / 4;
            cr[at] += (p[0] - Y) / (2 * (1 - KR)) / 4;
        }
    for (int y = 0; y < H / 2; ++y)
        for (int x = 0; x < W / 2; ++x) {
            const size_t at = static_cast<size_t>(y) * (W / 2) + x;
            c.picture->row(1, y)[2 * x] = static_cast<uint16_t>(static_cast<int>(q(cb[at] * 224 + 128, 1, 254)) << 8);
            c.picture->row(1, y)[2 * x + 1] = static_cast<uint16_t>(static_cast<int>(q(cr[at] * 224 + 128, 1, 254)) << 8);
        }
    c.picture->color.matrix = "ITU_R_709_2";
    return c;
}

// Squared error sum and count of luma in 10-bit codes over `mask` (all when empty).
void addError(const Picture& p, const std::vector<double>& truth, const std::vector<char>& mask, double& sum,
              double& count) {
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const size_t i = static_cast<size_t>(y) * W + x;
            if (!mask.empty() && !mask[i]) continue;
            const double d = p.row(0, y)[x] / 64.0 - truth[i];
            sum += d * d;
            count += 1;
        }
}

// --- maps built from the known original ---------------------------------------

// The variants measured with --oracle, in the order oracleMaps returns them.
constexpr const char* kOracleNames[] = {
    "exact",        // per map pixel the class (0..7) with the least luma error over its footprint
    "smoothed 5x5", // the least error summed over the 5x5 map pixels around it (a smooth map)
    "exact 0,2-6",  // as exact, from the classes a trained map gives (no 1, no 7)
};
constexpr int kOracles = 3;

// For each class j the squared luma error (10-bit codes) of every picture
// pixel when the whole map is j, summed over each map pixel's footprint
// (the picture pixels that read it: min(x nw / w, nw - 1), likewise y). The
// filter's luma at a pixel depends only on the class at that pixel, so
// choosing per map pixel the class of least summed error gives the least
// luma error any map can give.
std::vector<std::vector<uint8_t>> oracleMaps(Deband& d, const PictureRef& picture, const std::vector<double>& truth,
                                             std::vector<double>& shares) {
    const int nw = d.mapWidth(), nh = d.mapHeight();
    const size_t cells = static_cast<size_t>(nw) * nh;
    std::vector<std::vector<double>> err(8, std::vector<double>(cells, 0.0));
    for (int j = 0; j < 8; ++j) {
        const PictureRef out = d.applyWithMap(picture, std::vector<uint8_t>(cells, static_cast<uint8_t>(j)));
        for (int y = 0; y < H; ++y) {
            const size_t my = static_cast<size_t>(std::min(y * nh / H, nh - 1));
            for (int x = 0; x < W; ++x) {
                const size_t mx = static_cast<size_t>(std::min(x * nw / W, nw - 1));
                const double e = out->row(0, y)[x] / 64.0 - truth[static_cast<size_t>(y) * W + x];
                err[static_cast<size_t>(j)][my * nw + mx] += e * e;
            }
        }
    }
    auto pick = [&](const std::vector<std::vector<double>>& cost, const std::vector<int>& allowed) {
        std::vector<uint8_t> map(cells, 0);
        for (size_t i = 0; i < cells; ++i) {
            int best = 0;
            for (int j : allowed)
                if (cost[static_cast<size_t>(j)][i] < cost[static_cast<size_t>(best)][i]) best = j;
            map[i] = static_cast<uint8_t>(best);
        }
        return map;
    };
    // Box sums over 5x5 map pixels (clamped at the edges), separable.
    std::vector<std::vector<double>> boxed(8, std::vector<double>(cells, 0.0));
    for (int j = 0; j < 8; ++j) {
        std::vector<double> rows(cells, 0.0);
        for (int y = 0; y < nh; ++y)
            for (int x = 0; x < nw; ++x)
                for (int i = -2; i <= 2; ++i)
                    rows[static_cast<size_t>(y) * nw + x] +=
                        err[static_cast<size_t>(j)][static_cast<size_t>(y) * nw + std::clamp(x + i, 0, nw - 1)];
        for (int y = 0; y < nh; ++y)
            for (int x = 0; x < nw; ++x)
                for (int i = -2; i <= 2; ++i)
                    boxed[static_cast<size_t>(j)][static_cast<size_t>(y) * nw + x] +=
                        rows[static_cast<size_t>(std::clamp(y + i, 0, nh - 1)) * nw + x];
    }
    std::vector<std::vector<uint8_t>> maps{pick(err, {1, 2, 3, 4, 5, 6, 7}), pick(boxed, {1, 2, 3, 4, 5, 6, 7}),
                                           pick(err, {2, 3, 4, 5, 6})};
    shares.assign(8, 0.0);
    for (uint8_t c : maps[0]) shares[c] += 1.0 / static_cast<double>(cells);
    return maps;
}

// Luma error sums of one set under every oracle variant.
struct OracleSums {
    double sum[kOracles] = {};
    double shares[8] = {};
    int pictures = 0;
};

// Runs every oracle map of `picture` and adds its error over `masks` (each
// mask's sums in its own OracleSums; an empty mask is the whole picture).
void addOracles(Deband& d, const PictureRef& picture, const std::vector<double>& truth,
                const std::vector<const std::vector<char>*>& masks, const std::vector<OracleSums*>& sums) {
    std::vector<double> shares;
    const auto maps = oracleMaps(d, picture, truth, shares);
    for (int v = 0; v < kOracles; ++v) {
        const PictureRef out = d.applyWithMap(picture, maps[static_cast<size_t>(v)]);
        for (size_t m = 0; m < masks.size(); ++m) {
            double unused = 0;
            addError(*out, truth, *masks[m], sums[m]->sum[v], unused);
        }
    }
    for (OracleSums* s : sums) {
        for (int j = 0; j < 8; ++j) s->shares[j] += shares[static_cast<size_t>(j)];
        s->pictures += 1;
    }
}

// The gain over the input: the same pixels, so the ratio of error sums.
void printOracles(const char* set, const OracleSums& s, double beforeSum) {
    std::printf("  oracle maps, %s:", set);
    for (int v = 0; v < kOracles; ++v)
        std::printf(" %s %+.2f dB%s", kOracleNames[v],
                    10 * std::log10(beforeSum / std::max(s.sum[v], 1e-12)), v + 1 < kOracles ? ";" : "");
    std::printf(" (exact map, whole pictures, classes 0..7:");
    for (int j = 0; j < 8; ++j) std::printf(" %.1f", 100 * s.shares[j] / std::max(1, s.pictures));
    std::printf(" %%)\n");
}

double psnr(double sum, double count) { return 10 * std::log10(876.0 * 876.0 / std::max(sum / count, 1e-12)); }

// Pixels whose original luma varies by less than `codes` 8-bit codes over the
// (2 reach + 1)^2 pixels around them.
std::vector<char> flatMask(const std::vector<double>& luma, int reach, double codes) {
    // Running range of the original, separable max/min.
    std::vector<double> hiR(luma.size()), loR(luma.size());
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            double hi = -1e9, lo = 1e9;
            for (int i = -reach; i <= reach; ++i) {
                const double v = luma[static_cast<size_t>(y) * W + std::clamp(x + i, 0, W - 1)];
                hi = std::max(hi, v), lo = std::min(lo, v);
            }
            hiR[static_cast<size_t>(y) * W + x] = hi, loR[static_cast<size_t>(y) * W + x] = lo;
        }
    std::vector<char> mask(luma.size());
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            double hi = -1e9, lo = 1e9;
            for (int j = -reach; j <= reach; ++j) {
                const size_t i = static_cast<size_t>(std::clamp(y + j, 0, H - 1)) * W + x;
                hi = std::max(hi, hiR[i]), lo = std::min(lo, loR[i]);
            }
            mask[static_cast<size_t>(y) * W + x] = (hi - lo) < codes * 4;
        }
    return mask;
}

} // namespace

int main(int argc, char** argv) {
    bool oracle = false, each = false;
    for (; argc > 1 && std::string(argv[1]).rfind("--", 0) == 0; --argc, ++argv) {
        const std::string flag = argv[1];
        if (flag == "--oracle") oracle = true;
        else if (flag == "--each") each = true;
        else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    const char* env = std::getenv("CORVEL_SR_TRAIN");
    const std::string dir = argc > 1 ? argv[1] : env ? env : "/work/shared/data/sr-train";
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 4;
    const std::string cropPath = argc > 3 ? argv[3] : "";
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".png") names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    std::vector<std::string> held;
    for (size_t i = 0; i < names.size(); ++i)
        if (i % 7 == 6 && static_cast<int>(held.size()) < count) held.push_back(names[i]);
    if (held.empty()) {
        std::fprintf(stderr, "no pictures in %s\n", dir.c_str());
        return 1;
    }
    const auto shaders = shaderDirectory();
    const std::optional<std::string> netDir =
        argc > 4 ? std::optional<std::string>(argv[4])
        : shaders ? std::optional<std::string>(*shaders + "/deband")
                  : std::nullopt;
    Deband fixed(W, H, std::nullopt);
    Deband network(W, H, netDir);
    if (!network.hasNetwork()) {
        std::fprintf(stderr, "the network's weights did not load from %s\n", netDir ? netDir->c_str() : "-");
        return 1;
    }

    // Banded pictures.
    double before = 0, afterFixed = 0, afterNet = 0, n = 0;
    double wBefore = 0, wFixed = 0, wNet = 0, wn = 0; // wide bands only
    double mapShare = 0;
    OracleSums oFlat, oWide;
    std::vector<uint8_t> crop;
    const int cw = 320, ch = 160;
    for (size_t k = 0; k < held.size(); ++k) {
        const Rgb photo = load(held[k]);
        const Case c = quantise(enlarge(blur(photo, 4), W, H), k % 2 ? 2 : 1);
        const std::vector<char> mask = flatMask(c.luma, 4, 3);
        const std::vector<char> wide = flatMask(c.luma, 8, 2);
        // This picture's squared errors (flat areas p*, wide bands q*), for
        // its own line and the set's sums.
        double pb = 0, pf = 0, pm = 0, pn = 0, qb = 0, qf = 0, qm = 0, qn = 0, unused = 0;
        addError(*c.picture, c.luma, mask, pb, pn);
        addError(*c.picture, c.luma, wide, qb, qn);
        PictureRef f = fixed.apply(c.picture);
        addError(*f, c.luma, mask, pf, unused);
        addError(*f, c.luma, wide, qf, unused);
        PictureRef m = network.apply(c.picture);
        addError(*m, c.luma, mask, pm, unused);
        addError(*m, c.luma, wide, qm, unused);
        before += pb, afterFixed += pf, afterNet += pm, n += pn;
        wBefore += qb, wFixed += qf, wNet += qm, wn += qn;
        if (oracle) addOracles(network, c.picture, c.luma, {&mask, &wide}, {&oFlat, &oWide});
        if (each) {
            std::printf("  %s (step %d): flat %.1f %% fixed %+.2f map %+.2f; wide %.1f %% fixed %+.2f map %+.2f\n",
                        std::filesystem::path(held[k]).filename().c_str(), k % 2 ? 2 : 1, 100.0 * pn / (W * H),
                        psnr(pf, pn) - psnr(pb, pn), psnr(pm, pn) - psnr(pb, pn), 100.0 * qn / (W * H),
                        psnr(qf, qn) - psnr(qb, qn), psnr(qm, qn) - psnr(qb, qn));
        }
        const std::vector<uint16_t> map = network.mapValues();
        mapShare += static_cast<double>(std::count_if(map.begin(), map.end(), [](uint16_t v) { return v != 0; })) /
                    static_cast<double>(map.size());
        if (k == 0 && !cropPath.empty()) {
            // The crop around the flattest 320x160 window on a coarse grid.
            int bx = 0, by = 0, best = -1;
            for (int y = 0; y + ch <= H; y += 40)
                for (int x = 0; x + cw <= W; x += 40) {
                    int flat = 0;
                    for (int j = 0; j < ch; j += 8)
                        for (int i = 0; i < cw; i += 8) flat += mask[static_cast<size_t>(y + j) * W + x + i];
                    if (flat > best) best = flat, bx = x, by = y;
                }
            double mean = 0;
            for (int j = 0; j < ch; ++j)
                for (int i = 0; i < cw; ++i) mean += c.picture->row(0, by + j)[bx + i] / 64.0;
            mean /= cw * ch;
            crop.assign(static_cast<size_t>(cw) * 3 * ch, 0);
            const Picture* shown[3] = {c.picture.get(), f.get(), m.get()};
            for (int p = 0; p < 3; ++p)
                for (int j = 0; j < ch; ++j)
                    for (int i = 0; i < cw; ++i) {
                        const double v = 128 + (shown[p]->row(0, by + j)[bx + i] / 64.0 - mean) * 8 / 4;
                        crop[static_cast<size_t>(j) * cw * 3 + p * cw + i] =
                            static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
                    }
        }
    }
    std::printf("banded, wide bands (%.1f %% of pixels: under 2 codes over 17x17): luma PSNR %.2f dB; fixed filter "
                "%.2f dB (%+.2f); network map %.2f dB (%+.2f)\n",
                100.0 * wn / (static_cast<double>(held.size()) * W * H), psnr(wBefore, wn), psnr(wFixed, wn),
                psnr(wFixed, wn) - psnr(wBefore, wn), psnr(wNet, wn), psnr(wNet, wn) - psnr(wBefore, wn));
    std::printf("banded (%zu pictures, %.1f %% of pixels flat): luma PSNR in flat areas %.2f dB; fixed filter "
                "%.2f dB (%+.2f); network map %.2f dB (%+.2f); map non-zero %.1f %%\n",
                held.size(), 100.0 * n / (static_cast<double>(held.size()) * W * H), psnr(before, n),
                psnr(afterFixed, n), psnr(afterFixed, n) - psnr(before, n), psnr(afterNet, n),
                psnr(afterNet, n) - psnr(before, n), 100.0 * mapShare / static_cast<double>(held.size()));
    if (oracle) {
        printOracles("wide bands", oWide, wBefore);
        printOracles("flat", oFlat, before);
    }

    std::mt19937 noise(15);
    std::normal_distribution<double> gauss(0.0, 1.0);
    // Sky-like gradients: a slow diagonal ramp with a radial glow, the
    // banding case at its plainest (whole picture).
    for (const double grain : {0.0, 0.2}) {
        Rgb sky;
        sky.w = W, sky.h = H;
        sky.v.resize(static_cast<size_t>(W) * H * 3);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const double t = 0.25 + 0.12 * x / W + 0.08 * y / H;
                const double g = 0.06 * std::exp(-((x - 1400.0) * (x - 1400.0) + (y - 300.0) * (y - 300.0)) / 2.0e5);
                const double rgb[3] = {t + g, t + 0.05 + g, t + 0.2 + 0.5 * g};
                const double grainAt = grain > 0 ? grain / 255.0 * gauss(noise) : 0.0;
                for (int c = 0; c < 3; ++c)
                    sky.v[(static_cast<size_t>(y) * W + x) * 3 + c] = static_cast<float>(rgb[c] + grainAt);
            }
        const Case g = quantise(sky, 1);
        double gb = 0, gf = 0, gn = 0, gc = 0, unused = 0;
        addError(*g.picture, g.luma, {}, gb, gc);
        addError(*fixed.apply(g.picture), g.luma, {}, gf, unused);
        unused = 0;
        addError(*network.apply(g.picture), g.luma, {}, gn, unused);
        const std::vector<uint16_t> gmap = network.mapValues();
        const double gshare =
            static_cast<double>(std::count_if(gmap.begin(), gmap.end(), [](uint16_t v) { return v != 0; })) /
            static_cast<double>(gmap.size());
        std::printf("gradients (sky-like ramp and glow, grain %.1f codes, 8-bit): luma PSNR %.2f dB; fixed filter %.2f dB (%+.2f); "
                    "network map %.2f dB (%+.2f); map non-zero %.1f %%\n",
                    grain, psnr(gb, gc), psnr(gf, gc), psnr(gf, gc) - psnr(gb, gc), psnr(gn, gc),
                    psnr(gn, gc) - psnr(gb, gc), 100 * gshare);
        if (oracle) {
            OracleSums o;
            const std::vector<char> all;
            addOracles(network, g.picture, g.luma, {&all}, {&o});
            printOracles(grain > 0 ? "grainy gradients" : "clean gradients", o, gb);
        }
    }

    // Textured mosaics: 12x7 tiles of 160x160 (the last row cut) of the
    // reduced photographs (240x160 or 160x240).
    Rgb mosaic;
    mosaic.w = W, mosaic.h = H;
    mosaic.v.resize(static_cast<size_t>(W) * H * 3);
    std::vector<Rgb> photos;
    for (const auto& name : held) photos.push_back(reduce(load(name), 2));
    constexpr int TW = 160, TH = 160;
    for (int t = 0; t < 84; ++t) {
        const Rgb& p = photos[static_cast<size_t>(t) % photos.size()];
        const int tx = (t % 12) * TW, ty = (t / 12) * TH;
        const int ox = (t * 37) % std::max(1, p.w - TW), oy = (t * 23) % std::max(1, p.h - TH);
        for (int y = 0; y < TH && ty + y < H; ++y)
            for (int x = 0; x < TW; ++x)
                for (int c = 0; c < 3; ++c)
                    mosaic.v[(static_cast<size_t>(ty + y) * W + tx + x) * 3 + c] = p.at(ox + x, oy + y)[c];
    }
    const Case t = quantise(mosaic, 1);
    double tb = 0, tf = 0, tn = 0, tc = 0, dummy = 0;
    addError(*t.picture, t.luma, {}, tb, tc);
    addError(*fixed.apply(t.picture), t.luma, {}, tf, dummy);
    dummy = 0;
    addError(*network.apply(t.picture), t.luma, {}, tn, dummy);
    const std::vector<uint16_t> tmap = network.mapValues();
    const double tshare = static_cast<double>(std::count_if(tmap.begin(), tmap.end(), [](uint16_t v) { return v != 0; })) /
                          static_cast<double>(tmap.size());
    std::printf("textured (12x7 tiles of photographs reduced by 2): luma PSNR %.2f dB; fixed filter %.2f dB (%+.2f); network map "
                "%.2f dB (%+.2f); map non-zero %.1f %%\n",
                psnr(tb, tc), psnr(tf, tc), psnr(tf, tc) - psnr(tb, tc), psnr(tn, tc), psnr(tn, tc) - psnr(tb, tc),
                100 * tshare);
    if (oracle) {
        OracleSums o;
        const std::vector<char> all;
        addOracles(network, t.picture, t.luma, {&all}, {&o});
        printOracles("textured", o, tb);
    }

    // Speed: the stages are warm; three more pictures each.
    fixed.wallMs = 0, fixed.calls = 0, network.wallMs = 0, network.calls = 0;
    for (int i = 0; i < 3; ++i) {
        fixed.apply(t.picture);
        network.apply(t.picture);
    }
    std::printf("speed 1920x1080: fixed filter %.1f ms a picture; network map %.1f ms a picture (map %dx%d)\n",
                fixed.wallMs / fixed.calls, network.wallMs / network.calls, network.mapWidth(), network.mapHeight());
    if (!crop.empty()) {
        stbi_write_png(cropPath.c_str(), cw * 3, ch, 1, crop.data(), cw * 3);
        std::printf("wrote %s\n", cropPath.c_str());
    }
    return 0;
}
