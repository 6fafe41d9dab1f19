// In-between pictures: quality against plain blending and ffmpeg's
// minterpolate (mi_mode=mci) on clips with a known middle picture, and time
// per picture at 1280x720 and 1920x1080, side by side in one run.
//
// Clips are made here from still photographs: a camera pans, zooms or
// rotates over a picture, or an object (a piece of another picture) moves
// over a slowly panning background. Each clip is rendered at twice the rate
// and thinned: the pair is the rendering at s = 0 and s = 1, the truth the
// rendering at s = 0.5.
//
//   interp_bench --pictures DIR [--every 7] [--clips 4] [--size 960x540]
//                [--speed-pairs 3] [--no-speed] [--no-quality] [--variants]
//
// Pictures: every `every`-th PNG of DIR (sorted by name), starting at the
// `every`-th, at most `clips` of them. Needs ffmpeg on the PATH.
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include "processing/Interpolator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace corvel;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// A photograph as BT.709 Y', Cb, Cr fractions (Y' 0...1, C -0.5...0.5).
struct Still {
    int w = 0, h = 0;
    std::vector<float> y, cb, cr;
};

Still load(const std::string& path) {
    int w, h, n;
    unsigned char* data = stbi_load(path.c_str(), &w, &h, &n, 3);
    if (!data) throw std::runtime_error("cannot read " + path);
    Still s;
    s.w = w;
    s.h = h;
    s.y.resize(static_cast<size_t>(w) * h);
    s.cb.resize(s.y.size());
    s.cr.resize(s.y.size());
    for (size_t i = 0; i < s.y.size(); ++i) {
        const float r = data[3 * i] / 255.0f, g = data[3 * i + 1] / 255.0f, b = data[3 * i + 2] / 255.0f;
        const float yy = 0.2126f * r + 0.7152f * g + 0.0722f * b;
        s.y[i] = yy;
        s.cb[i] = (b - yy) / 1.8556f;
        s.cr[i] = (r - yy) / 1.5748f;
    }
    stbi_image_free(data);
    return s;
}

// Catmull-Rom sample of a plane at (x, y), centres at integers, clamped.
float cubic(const std::vector<float>& p, int w, int h, double x, double y) {
    const double fx = std::floor(x), fy = std::floor(y);
    const double ax = x - fx, ay = y - fy;
    auto weights = [](double t, double* k) {
        const double t2 = t * t, t3 = t2 * t;
        k[0] = -0.5 * t3 + t2 - 0.5 * t;
        k[1] = 1.5 * t3 - 2.5 * t2 + 1;
        k[2] = -1.5 * t3 + 2 * t2 + 0.5 * t;
        k[3] = 0.5 * t3 - 0.5 * t2;
    };
    double kx[4], ky[4];
    weights(ax, kx);
    weights(ay, ky);
    double sum = 0;
    for (int j = 0; j < 4; ++j) {
        const int yy = std::clamp(static_cast<int>(fy) - 1 + j, 0, h - 1);
        double row = 0;
        for (int i = 0; i < 4; ++i) {
            const int xx = std::clamp(static_cast<int>(fx) - 1 + i, 0, w - 1);
            row += kx[i] * p[static_cast<size_t>(yy) * w + xx];
        }
        sum += ky[j] * row;
    }
    return static_cast<float>(sum);
}

// Where output sample (x, y) at time s looks into a still: a view of the
// still's centre, scaled to cover the output, then panned, zoomed and
// rotated by s times the motion.
struct Motion {
    double panX = 0, panY = 0; // output samples over s = 0...1
    double zoom = 1;           // scale factor over s = 0...1
    double turn = 0;           // radians over s = 0...1
};

struct Object {
    const Still* still = nullptr; // the piece is the centre of this picture
    double size = 0.35;           // of the output's height
    double moveX = 0, moveY = 0;  // output samples over s = 0...1
};

uint16_t word(double code) {
    return static_cast<uint16_t>(std::clamp(static_cast<int>(std::lround(code)), 4, 1019) << 6);
}

PictureRef render(const Still& still, int w, int h, const Motion& m, double s, const Object* obj) {
    PictureRef p = makePicture(w, h);
    const double cover = std::min(still.w / (w * 1.25), still.h / (h * 1.25)); // still samples per output sample
    const double z = std::pow(m.zoom, s);
    const double c = std::cos(m.turn * s), sn = std::sin(m.turn * s);
    auto at = [&](double ox, double oy, double& sx, double& sy, const Still*& from) {
        if (obj) {
            const double side = obj->size * h;
            const double left = w * 0.5 - side * 0.5 + obj->moveX * s - obj->moveX * 0.5;
            const double top = h * 0.5 - side * 0.5 + obj->moveY * s - obj->moveY * 0.5;
            if (ox >= left && ox < left + side && oy >= top && oy < top + side) {
                const Still& o = *obj->still;
                const double k = std::min(o.w, o.h) * 0.6 / side;
                sx = o.w * 0.5 + (ox - left - side * 0.5) * k;
                sy = o.h * 0.5 + (oy - top - side * 0.5) * k;
                from = &o;
                return;
            }
        }
        const double dx = (ox - w * 0.5 + m.panX * s) / z, dy = (oy - h * 0.5 + m.panY * s) / z;
        sx = still.w * 0.5 + (c * dx - sn * dy) * cover;
        sy = still.h * 0.5 + (sn * dx + c * dy) * cover;
        from = &still;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sx, sy;
            const Still* from;
            at(x, y, sx, sy, from);
            p->row(0, y)[x] = word(64 + 876 * cubic(from->y, from->w, from->h, sx, sy));
        }
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            double sx, sy;
            const Still* from;
            at(2 * x + 0.5, 2 * y + 0.5, sx, sy, from);
            p->row(1, y)[2 * x] = word(512 + 896 * cubic(from->cb, from->w, from->h, sx, sy));
            p->row(1, y)[2 * x + 1] = word(512 + 896 * cubic(from->cr, from->w, from->h, sx, sy));
        }
    return p;
}

double codeOf(uint16_t w) { return (w + 32) >> 6; }

double psnr(const Picture& a, const Picture& b) {
    double sum = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            const double e = codeOf(a.row(0, y)[x]) - codeOf(b.row(0, y)[x]);
            sum += e * e;
        }
    const double mse = sum / (static_cast<double>(a.width) * a.height);
    return 10 * std::log10(1023.0 * 1023.0 / std::max(mse, 1e-6));
}

// Luma SSIM with the usual 11-tap Gaussian window (sigma 1.5), 10-bit range.
double ssim(const Picture& a, const Picture& b) {
    const int w = a.width, h = a.height;
    std::vector<double> k(11);
    double ks = 0;
    for (int i = 0; i < 11; ++i) ks += k[i] = std::exp(-(i - 5) * (i - 5) / (2 * 1.5 * 1.5));
    for (auto& v : k) v /= ks;
    auto blur = [&](const std::vector<double>& in) {
        std::vector<double> t(in.size()), out(in.size());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double s = 0;
                for (int i = 0; i < 11; ++i) s += k[i] * in[y * w + std::clamp(x + i - 5, 0, w - 1)];
                t[y * w + x] = s;
            }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double s = 0;
                for (int i = 0; i < 11; ++i) s += k[i] * t[std::clamp(y + i - 5, 0, h - 1) * w + x];
                out[y * w + x] = s;
            }
        return out;
    };
    std::vector<double> x(w * h), y(w * h), xx(w * h), yy(w * h), xy(w * h);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const double u = codeOf(a.row(0, j)[i]), v = codeOf(b.row(0, j)[i]);
            x[j * w + i] = u;
            y[j * w + i] = v;
            xx[j * w + i] = u * u;
            yy[j * w + i] = v * v;
            xy[j * w + i] = u * v;
        }
    const auto mx = blur(x), my = blur(y), sxx = blur(xx), syy = blur(yy), sxy = blur(xy);
    const double c1 = std::pow(0.01 * 1023, 2), c2 = std::pow(0.03 * 1023, 2);
    double sum = 0;
    for (int i = 0; i < w * h; ++i) {
        const double vx = sxx[i] - mx[i] * mx[i], vy = syy[i] - my[i] * my[i], cxy = sxy[i] - mx[i] * my[i];
        sum += ((2 * mx[i] * my[i] + c1) * (2 * cxy + c2)) /
               ((mx[i] * mx[i] + my[i] * my[i] + c1) * (vx + vy + c2));
    }
    return sum / (w * h);
}

PictureRef blend(const Picture& a, const Picture& b) {
    PictureRef p = makePicture(a.width, a.height);
    for (int plane = 0; plane < 2; ++plane)
        for (int y = 0; y < a.planeHeight(plane); ++y)
            for (int x = 0; x < a.width; ++x)
                p->row(plane, y)[x] = static_cast<uint16_t>((a.row(plane, y)[x] + b.row(plane, y)[x] + 1) / 2);
    return p;
}

// Pictures as yuv420p10le frames, and back.
void writeRaw(std::ofstream& out, const Picture& p) {
    std::vector<uint16_t> row(p.width);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) row[x] = static_cast<uint16_t>((p.row(0, y)[x] + 32) >> 6);
        out.write(reinterpret_cast<const char*>(row.data()), p.width * 2);
    }
    for (int c = 0; c < 2; ++c)
        for (int y = 0; y < p.height / 2; ++y) {
            for (int x = 0; x < p.width / 2; ++x)
                row[x] = static_cast<uint16_t>((p.row(1, y)[2 * x + c] + 32) >> 6);
            out.write(reinterpret_cast<const char*>(row.data()), p.width);
        }
}

PictureRef readRaw(std::ifstream& in, int w, int h) {
    PictureRef p = makePicture(w, h);
    std::vector<uint16_t> row(w);
    for (int y = 0; y < h; ++y) {
        in.read(reinterpret_cast<char*>(row.data()), w * 2);
        for (int x = 0; x < w; ++x) p->row(0, y)[x] = static_cast<uint16_t>(std::min<int>(row[x], 1023) << 6);
    }
    for (int c = 0; c < 2; ++c)
        for (int y = 0; y < h / 2; ++y) {
            in.read(reinterpret_cast<char*>(row.data()), w);
            for (int x = 0; x < w / 2; ++x)
                p->row(1, y)[2 * x + c] = static_cast<uint16_t>(std::min<int>(row[x], 1023) << 6);
        }
    if (!in) throw std::runtime_error("short ffmpeg output");
    return p;
}

// ffmpeg's minterpolate on a sequence at 25 fps doubled to 50: returns the
// output frames and the wall time of the whole command.
std::vector<PictureRef> minterpolate(const std::vector<PictureRef>& frames, double& ms,
                                     const std::string& filter = "minterpolate=fps=50:mi_mode=mci") {
    const int w = frames[0]->width, h = frames[0]->height;
    const fs::path dir = fs::temp_directory_path() / ("interp_bench_" + std::to_string(getpid()));
    fs::create_directories(dir);
    {
        std::ofstream out(dir / "in.yuv", std::ios::binary);
        for (const auto& f : frames) writeRaw(out, *f);
    }
    const std::string cmd = "ffmpeg -v error -y -f rawvideo -pix_fmt yuv420p10le -s " + std::to_string(w) + "x" +
                            std::to_string(h) + " -r 25 -i " + (dir / "in.yuv").string() +
                            " -threads 2 -filter_threads 2 -vf " + filter +
                            " -f rawvideo -pix_fmt yuv420p10le " + (dir / "out.yuv").string();
    const Clock::time_point t = Clock::now();
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + cmd);
    ms = msSince(t);
    std::vector<PictureRef> result;
    std::ifstream in(dir / "out.yuv", std::ios::binary);
    const auto bytes = fs::file_size(dir / "out.yuv");
    const size_t frame = static_cast<size_t>(w) * h * 3;
    for (size_t i = 0; i < bytes / frame; ++i) result.push_back(readRaw(in, w, h));
    fs::remove_all(dir);
    return result;
}

struct Clip {
    std::string name;
    PictureRef a, mid, b;
};

struct Variant {
    std::string name;
    InterpolatorTuning tuning;
};

} // namespace

int main(int argc, char** argv) {
    std::string dir = "/work/shared/data/sr-train";
    int every = 7, clips = 4, speedPairs = 3;
    int qw = 960, qh = 540;
    bool speed = true, quality = true, variants = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return std::string(i + 1 < argc ? argv[++i] : ""); };
        if (a == "--pictures") dir = next();
        else if (a == "--every") every = std::stoi(next());
        else if (a == "--clips") clips = std::stoi(next());
        else if (a == "--speed-pairs") speedPairs = std::stoi(next());
        else if (a == "--size") std::sscanf(next().c_str(), "%dx%d", &qw, &qh);
        else if (a == "--no-speed") speed = false;
        else if (a == "--no-quality") quality = false;
        else if (a == "--variants") variants = true;
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".png") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    std::vector<std::string> chosen;
    for (size_t i = every - 1; i < files.size() && static_cast<int>(chosen.size()) < clips; i += every)
        chosen.push_back(files[i]);
    // Spread the choice over both sets (natural photographs and buildings).
    if (files.size() > 100 && clips >= 2) chosen.back() = files[files.size() - 1 - (files.size() % every)];

    std::vector<Variant> ours;
    if (variants) {
        for (int side : {960, 640, 480})
            for (int preset : {0, 1, 2}) {
                Variant v;
                v.tuning.flowLongSide = side;
                v.tuning.preset = preset;
                v.name = "flow " + std::to_string(side) + " preset " + std::to_string(preset);
                ours.push_back(v);
            }
    } else {
        ours.push_back({"ours (default)", InterpolatorTuning{}});
    }

    if (quality) {
        std::vector<Clip> set;
        for (size_t i = 0; i < chosen.size(); ++i) {
            const Still still = load(chosen[i]);
            const Still other = load(chosen[(i + 1) % chosen.size()]);
            const std::string base = fs::path(chosen[i]).stem().string();
            struct Kind {
                std::string name;
                Motion m;
                bool object;
            };
            const Kind kinds[] = {
                {"pan", {14.0, 5.0, 1.0, 0.0}, false},
                {"fast pan", {36.0, -12.0, 1.0, 0.0}, false},
                {"zoom", {0.0, 0.0, 1.06, 0.0}, false},
                {"rotation", {0.0, 0.0, 1.0, 0.035}, false},
                {"object", {4.0, 0.0, 1.0, 0.0}, true},
            };
            for (const Kind& k : kinds) {
                Object obj{&other, 0.35, 28.0, 6.0};
                const Object* o = k.object ? &obj : nullptr;
                set.push_back({base + " " + k.name, render(still, qw, qh, k.m, 0, o),
                               render(still, qw, qh, k.m, 0.5, o), render(still, qw, qh, k.m, 1, o)});
            }
        }
        std::printf("quality: %zu clips at %dx%d, luma PSNR (dB) / SSIM of the middle picture\n", set.size(), qw,
                    qh);
        std::printf("%-28s %14s %14s", "clip", "blend", "minterpolate");
        for (const auto& v : ours) std::printf(" %22s", v.name.c_str());
        std::printf("\n");
        std::vector<double> sumP(2 + ours.size()), sumS(2 + ours.size());
        std::vector<double> oursMs(ours.size());
        double miMs = 0;
        for (const Clip& c : set) {
            std::vector<double> p, s;
            PictureRef bl = blend(*c.a, *c.b);
            p.push_back(psnr(*bl, *c.mid));
            s.push_back(ssim(*bl, *c.mid));
            double ms = 0;
            // The filter gives nothing for the last input picture: B is repeated.
            auto mi = minterpolate({c.a, c.b, c.b}, ms);
            miMs += ms;
            if (mi.size() < 2) throw std::runtime_error("minterpolate gave fewer than 2 frames");
            p.push_back(psnr(*mi[1], *c.mid));
            s.push_back(ssim(*mi[1], *c.mid));
            for (size_t v = 0; v < ours.size(); ++v) {
                Interpolator in(qw, qh, {}, ours[v].tuning);
                PictureRef a = in.source(c.a), b = in.source(c.b);
                const Clock::time_point t = Clock::now();
                PictureRef m = in.between(a, 0.0, b, 0.04, 0.5f);
                oursMs[v] += msSince(t);
                if (!m) m = a; // a scene cut repeats A
                p.push_back(psnr(*m, *c.mid));
                s.push_back(ssim(*m, *c.mid));
            }
            std::printf("%-28s", c.name.c_str());
            for (size_t i = 0; i < p.size(); ++i) {
                std::printf(" %15s", (std::to_string(p[i]).substr(0, 5) + " / " + std::to_string(s[i]).substr(0, 5)).c_str());
                sumP[i] += p[i];
                sumS[i] += s[i];
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        std::printf("%-28s", "MEAN");
        for (size_t i = 0; i < sumP.size(); ++i)
            std::printf(" %15s", (std::to_string(sumP[i] / set.size()).substr(0, 5) + " / " +
                                  std::to_string(sumS[i] / set.size()).substr(0, 5))
                                     .c_str());
        std::printf("\nms a pair (wall, includes first-use set-up for ours): minterpolate command %.0f",
                    miMs / set.size());
        for (size_t v = 0; v < ours.size(); ++v) std::printf("; %s %.1f", ours[v].name.c_str(), oursMs[v] / set.size());
        std::printf("\n\n");
    }

    if (speed && !chosen.empty()) {
        const Still still = load(chosen.back());
        for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
            const Motion m{10.0, 3.0, 1.0, 0.0};
            std::vector<PictureRef> seq;
            for (int i = 0; i <= speedPairs; ++i) seq.push_back(render(still, w, h, m, i, nullptr));
            std::printf("speed at %dx%d, %d consecutive pairs (the first warms up)\n", w, h, speedPairs);
            for (const auto& v : ours) {
                for (bool seed : {false, true}) {
                    InterpolatorTuning t = v.tuning;
                    t.seedSequential = seed;
                    Interpolator in(w, h, {}, t);
                    std::vector<PictureRef> src;
                    for (auto& p : seq) src.push_back(in.source(p));
                    // Warm-up: the first pair (kernel build, first flow).
                    in.between(src[0], 0.0, src[1], 0.04, 0.5f);
                    const auto f0 = in.figures();
                    const double spent0 = in.spentMs;
                    for (int i = 1; i < speedPairs; ++i) in.between(src[i], 0.04 * i, src[i + 1], 0.04 * (i + 1), 0.5f);
                    const int n = std::max(speedPairs - 1, 1);
                    const auto f = in.figures();
                    // The same pairs in random order of submission (no reuse).
                    Interpolator cold(w, h, {}, t);
                    std::vector<PictureRef> src2;
                    for (auto& p : seq) src2.push_back(cold.source(p));
                    cold.between(src2[0], 0.0, src2[1], 0.04, 0.5f);
                    const double coldSpent0 = cold.spentMs;
                    for (int i = 1; i < speedPairs; ++i) {
                        cold.lastNextPts = -1.0;
                        cold.between(src2[i], 0.04 * i, src2[i + 1], 0.04 * (i + 1), 0.5f);
                    }
                    std::printf("  %-22s seed %d: flow %.1f ms (at %dx%d), synthesis %.1f ms, total %.1f ms a picture; "
                                "random submission %.1f ms\n",
                                v.name.c_str(), seed ? 1 : 0, (f.flowMs - f0.flowMs) / n, in.flowWidth(),
                                in.flowHeight(), (f.synthesisMs - f0.synthesisMs) / n, (in.spentMs - spent0) / n,
                                (cold.spentMs - coldSpent0) / n);
                    std::fflush(stdout);
                    if (!variants) continue;
                    break; // seeding is compared on the default only
                }
            }
            // minterpolate on the same pictures: the filter's time is the
            // command's time less the same command without the filter.
            double withMs = 0, withoutMs = 0;
            auto out = minterpolate(seq, withMs);
            minterpolate(seq, withoutMs, "null");
            // n inputs give 2n - 3 outputs: every other one is an in-between picture.
            const int made = std::max(static_cast<int>(out.size()) / 2, 1);
            std::printf("  minterpolate (mci): %.0f ms a picture (%d in-between pictures, command %.0f ms, "
                        "without the filter %.0f ms)\n\n",
                        (withMs - withoutMs) / made, made, withMs, withoutMs);
        }
    }
    return 0;
}
