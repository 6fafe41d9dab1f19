#include "processing/KernelReference.h"

#include <algorithm>
#include <cmath>

namespace corvel::reference {

double resample(const Picture& in, int plane, int comp, int dstW, int dstH, int x, int y,
                int mode) {
    const int comps = plane == 0 ? 1 : 2;
    const int srcW = plane == 0 ? in.width : in.width / 2;
    const int srcH = in.planeHeight(plane);
    auto texel = [&](int i, int j) {
        i = std::clamp(i, 0, srcW - 1);
        j = std::clamp(j, 0, srcH - 1);
        return word(in, plane, i * comps + comp, j);
    };
    if (srcW == dstW && srcH == dstH) return texel(x, y);
    const double u = (x + 0.5) / dstW;
    const double v = (y + 0.5) / dstH;
    const double px = u * srcW - 0.5;
    const double py = v * srcH - 0.5;
    const double bx = std::floor(px);
    const double by = std::floor(py);
    const double fx = px - bx;
    const double fy = py - by;
    double value = 0;
    if (mode == 1) {
        auto weights = [](double f) {
            return std::array<double, 4>{-0.5 * f * f * f + f * f - 0.5 * f,
                                         1.5 * f * f * f - 2.5 * f * f + 1,
                                         -1.5 * f * f * f + 2 * f * f + 0.5 * f,
                                         0.5 * f * f * f - 0.5 * f * f};
        };
        const auto wx = weights(fx);
        const auto wy = weights(fy);
        for (int j = 0; j < 4; ++j)
            for (int i = 0; i < 4; ++i)
                value += texel(static_cast<int>(bx) + i - 1, static_cast<int>(by) + j - 1) * wx[i] *
                         wy[j];
    } else {
        const int ix = static_cast<int>(bx);
        const int iy = static_cast<int>(by);
        value = (texel(ix, iy) * (1 - fx) + texel(ix + 1, iy) * fx) * (1 - fy) +
                (texel(ix, iy + 1) * (1 - fx) + texel(ix + 1, iy + 1) * fx) * fy;
    }
    return std::clamp(value, 0.0, 1.0);
}

namespace {
using Vec = std::array<double, 3>;
using Mat = std::array<Vec, 3>;

Vec mul(const Mat& m, const Vec& v) {
    Vec r{};
    for (int i = 0; i < 3; ++i) r[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    return r;
}

const Mat M1 = {{{0.4120832681655884, 0.5356993079185486, 0.046857498586177826},
                 {0.2118612825870514, 0.6804224252700806, 0.1050436869263649},
                 {0.08832483738660812, 0.2817308008670807, 0.6292985677719116}}};
const Mat M2 = {{{0.21045425534248352, 0.7936177849769592, -0.0040720500983297825},
                 {1.9779984951019287, -2.4285922050476074, 0.4505937099456787},
                 {0.025904040783643723, 0.7827717661857605, -0.8086757659912109}}};
const Mat M3 = {{{1.0, 0.3963377773761749, 0.21580375730991364},
                 {1.0, -0.10556135326623917, -0.0638541728258133},
                 {1.0, -0.08948417752981186, -1.2914855480194092}}};
const Mat M4 = {{{2.1401402950286865, -1.2463560104370117, 0.10643172264099121},
                 {-0.8848324418067932, 2.163172721862793, -0.27836158871650696},
                 {-0.04857905954122543, -0.45449090003967285, 1.5023562908172607}}};
const Mat M5 = {{{1.6604909896850586, -0.5873100161552429, -0.060430001467466354},
                 {-0.124549999833107, 1.1328990459442139, -0.008340000174939632},
                 {-0.018149999901652336, -0.10057000070810318, 1.1187289953231812}}};

Vec wide(double l, double c, double h) {
    Vec lms = mul(M3, {l, c * std::cos(h), c * std::sin(h)});
    for (double& v : lms) v = v * v * v;
    return mul(M4, lms);
}

bool inside(const Vec& w) {
    return std::all_of(w.begin(), w.end(), [](double v) { return v >= -0.001 && v <= 1.001; });
}

double pq(double nits) {
    const double m1 = 0.1593017578125, m2 = 78.84375, c1 = 0.8359375, c2 = 18.8515625,
                 c3 = 18.6875;
    const double l = std::pow(std::clamp(nits / 10000.0, 0.0, 1.0), m1);
    return std::pow((c1 + c2 * l) / (1 + c3 * l), m2);
}
} // namespace

double pqToNits(double e) {
    const double m1 = 0.1593017578125, m2 = 78.84375, c1 = 0.8359375, c2 = 18.8515625,
                 c3 = 18.6875;
    const double p = std::pow(e, 1 / m2);
    return 10000.0 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
}

std::array<double, 3> expand(std::array<double, 3> rgb, const ToneKernel& k) {
    Vec lin;
    for (int i = 0; i < 3; ++i) lin[i] = std::pow(std::max(rgb[i], 0.0), 2.2);
    const double y = 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2];
    const double f = std::pow(y, k.c) / (k.a * std::pow(y, 1.3 * k.c) + k.b);
    for (double& v : lin) v = v * f / (y + 1e-5);
    Vec lms = mul(M1, lin);
    for (double& v : lms) v = std::pow(std::max(v, 0.0), 0.3333);
    const Vec lab = mul(M2, lms);
    const double h = std::atan2(lab[2], lab[1]);
    const double c = std::clamp(std::sqrt(lab[1] * lab[1] + lab[2] * lab[2]) * k.s, 0.0, 1.0);
    Vec w = wide(lab[0], c, h);
    if (!inside(w) && c > 0.01) {
        double lo = 0, hi = c;
        while (hi - lo > 0.01) {
            const double mid = (lo + hi) / 2;
            w = wide(lab[0], mid, h);
            if (inside(w))
                lo = mid;
            else
                hi = mid;
        }
    }
    for (double& v : w) v = std::clamp(v, 0.0, 1.0);
    Vec rgb709 = mul(M5, w);
    for (double& v : rgb709) v *= k.scale;
    const Mat to2020 = {{{0.6274, 0.3293, 0.0433}, {0.0691, 0.9195, 0.0114},
                         {0.0164, 0.0880, 0.8956}}};
    Vec out = mul(to2020, rgb709);
    for (double& v : out) v = pq(std::max(v, 0.0));
    return out;
}

ItmBlock itm(const Picture& in, int cx, int cy, const ToneKernel& k) {
    const double cb = (word(in, 1, 2 * cx, cy) * 65535 / 64 - 512) / 896;
    const double cr = (word(in, 1, 2 * cx + 1, cy) * 65535 / 64 - 512) / 896;
    ItmBlock out{};
    double cbSum = 0, crSum = 0;
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            const double yy = (word(in, 0, 2 * cx + i, 2 * cy + j) * 65535 / 64 - 64) / 876;
            Vec rgb = k.bt601 ? Vec{yy + 1.402 * cr, yy - 0.344136 * cb - 0.714136 * cr,
                                    yy + 1.772 * cb}
                              : Vec{yy + 1.5748 * cr, yy - 0.187324 * cb - 0.468124 * cr,
                                    yy + 1.8556 * cb};
            for (double& v : rgb) v = std::clamp(v, 0.0, 1.0);
            const Vec e = expand(rgb, k);
            const double luma = 0.2627 * e[0] + 0.6780 * e[1] + 0.0593 * e[2];
            cbSum += (e[2] - luma) / 1.8814;
            crSum += (e[0] - luma) / 1.4746;
            out.luma[j * 2 + i] = std::clamp((luma * 876 + 64) * 64 / 65535, 0.0, 1.0);
        }
    }
    out.cb = std::clamp((cbSum * 0.25 * 896 + 512) * 64 / 65535, 0.0, 1.0);
    out.cr = std::clamp((crSum * 0.25 * 896 + 512) * 64 / 65535, 0.0, 1.0);
    return out;
}

ItmBlock deepen(const Picture& in, int cx, int cy, double lift) {
    const double knee = 0.5;
    ItmBlock out{};
    double k = 0;
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            const double y = (word(in, 0, 2 * cx + i, 2 * cy + j) * 65535 / 64 - 64) / 876;
            const double t = std::clamp(1 - y / knee, 0.0, 1.0);
            const double bent = y - lift * t * t;
            const double r = y > 1e-4 ? std::clamp(bent / y, 0.0, 1.0) : 0.0;
            k += r;
            out.luma[j * 2 + i] = (std::clamp(y * r, 0.0, 1.0) * 876 + 64) * 64 / 65535;
        }
    }
    auto chroma = [&](int comp) {
        const double c = (word(in, 1, 2 * cx + comp, cy) * 65535 / 64 - 512) / 896;
        return std::clamp((c * (k / 4) * 896 + 512) * 64 / 65535, 0.0, 1.0);
    };
    out.cb = chroma(0);
    out.cr = chroma(1);
    return out;
}

void fillRandom(Picture& p, unsigned seed, int lumaLow, int lumaHigh) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> luma(lumaLow, lumaHigh);
    std::uniform_int_distribution<int> chroma(64, 960);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) p.row(0, y)[x] = static_cast<uint16_t>(luma(random) << 6);
    for (int y = 0; y < p.height / 2; ++y)
        for (int x = 0; x < p.width; ++x)
            p.row(1, y)[x] = static_cast<uint16_t>(chroma(random) << 6);
}

double worstResampleCodes(const Picture& in, const Picture& out, int mode) {
    double worst = 0;
    for (int plane = 0; plane < 2; ++plane) {
        const int comps = plane == 0 ? 1 : 2;
        const int w = plane == 0 ? out.width : out.width / 2;
        for (int y = 0; y < out.planeHeight(plane); ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < comps; ++c) {
                    const double want = resample(in, plane, c, w, out.planeHeight(plane), x, y, mode);
                    const double got = out.row(plane, y)[x * comps + c] / 65535.0;
                    worst = std::max(worst, std::abs(got - want) * 65535.0 / 64.0);
                }
    }
    return worst;
}

} // namespace corvel::reference
