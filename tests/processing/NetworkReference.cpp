#include "processing/NetworkReference.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace corvel::reference {

double halfToDouble(uint16_t bits) {
    const int sign = bits >> 15;
    const int exponent = (bits >> 10) & 0x1f;
    const int mantissa = bits & 0x3ff;
    double value;
    if (exponent == 0) value = std::ldexp(mantissa, -24);
    else if (exponent == 31) value = mantissa ? NAN : INFINITY;
    else value = std::ldexp(1024 + mantissa, exponent - 25);
    return sign ? -value : value;
}

uint16_t doubleToHalf(double value) {
    // Through float, then to half with ties to even; exact for the ranges
    // the tests use (no double rounding: float keeps 13 more bits than a
    // half and ties at half precision are exact in float).
    const float f = static_cast<float>(value);
    uint32_t x;
    std::memcpy(&x, &f, 4);
    const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000);
    const float a = std::fabs(f);
    if (std::isnan(a)) return sign | 0x7e00;
    if (a >= 65520.0f) return sign | 0x7c00;
    if (a < std::ldexp(1.0f, -14)) {
        // Subnormal: a multiple of 2^-24.
        const double units = std::nearbyint(static_cast<double>(a) * std::ldexp(1.0, 24));
        return sign | static_cast<uint16_t>(units);
    }
    int e;
    std::frexp(a, &e); // a = m * 2^e, m in [0.5, 1)
    const double unit = std::ldexp(1.0, e - 11);
    const double units = std::nearbyint(static_cast<double>(a) / unit); // 1024 ... 2048
    const double rounded = units * unit;
    int e2;
    const double m2 = std::frexp(rounded, &e2);
    const int mantissa = static_cast<int>(std::ldexp(m2, 11)) - 1024;
    const int exponent = e2 - 1 + 15;
    return sign | static_cast<uint16_t>((exponent << 10) | mantissa);
}

Tensor runNetwork(const NetworkDescription& network, const Tensor& input) {
    Tensor x = input;
    for (const NetworkLayer& layer : network.layers) {
        Tensor y;
        switch (layer.type) {
        case NetworkLayer::Type::Conv: {
            const int scale = layer.upsample ? 2 : 1;
            y.channels = layer.outputs;
            y.rows = x.rows * scale;
            y.columns = x.columns * scale;
            y.values.assign(static_cast<size_t>(y.channels) * y.rows * y.columns, 0.0);
            const int k = layer.kernel;
            const int r = (k - 1) / 2;
            const uint16_t* w = network.weights.data() + layer.weightOffset;
            const uint16_t* bias = w + static_cast<size_t>(layer.outputs) * layer.inputs * k * k;
            for (int o = 0; o < layer.outputs; ++o)
                for (int yy = 0; yy < y.rows; ++yy)
                    for (int xx = 0; xx < y.columns; ++xx) {
                        double acc = halfToDouble(bias[o]);
                        for (int c = 0; c < layer.inputs; ++c)
                            for (int ky = 0; ky < k; ++ky)
                                for (int kx = 0; kx < k; ++kx) {
                                    const int sy = yy + ky - r;
                                    const int sx = xx + kx - r;
                                    if (sy < 0 || sx < 0 || sy >= y.rows || sx >= y.columns) continue;
                                    acc += halfToDouble(w[((static_cast<size_t>(o) * layer.inputs + c) * k + ky) * k + kx]) *
                                           x.at(c, sy / scale, sx / scale);
                                }
                        if (layer.activation == NetworkLayer::Activation::Relu) acc = std::max(acc, 0.0);
                        if (layer.activation == NetworkLayer::Activation::Leaky && acc < 0)
                            acc *= layer.slope;
                        y.at(o, yy, xx) = roundHalf(acc);
                    }
            break;
        }
        case NetworkLayer::Type::MaxPool:
            y.channels = x.channels;
            y.rows = x.rows / 2;
            y.columns = x.columns / 2;
            y.values.resize(static_cast<size_t>(y.channels) * y.rows * y.columns);
            for (int c = 0; c < y.channels; ++c)
                for (int yy = 0; yy < y.rows; ++yy)
                    for (int xx = 0; xx < y.columns; ++xx)
                        y.at(c, yy, xx) = std::max({x.at(c, 2 * yy, 2 * xx), x.at(c, 2 * yy, 2 * xx + 1),
                                                    x.at(c, 2 * yy + 1, 2 * xx),
                                                    x.at(c, 2 * yy + 1, 2 * xx + 1)});
            break;
        case NetworkLayer::Type::DepthToSpace: {
            const int b = layer.block;
            y.channels = x.channels / (b * b);
            y.rows = x.rows * b;
            y.columns = x.columns * b;
            y.values.resize(static_cast<size_t>(y.channels) * y.rows * y.columns);
            for (int c = 0; c < y.channels; ++c)
                for (int yy = 0; yy < y.rows; ++yy)
                    for (int xx = 0; xx < y.columns; ++xx)
                        y.at(c, yy, xx) = x.at(c * b * b + (yy % b) * b + xx % b, yy / b, xx / b);
            break;
        }
        }
        x = std::move(y);
    }
    return x;
}

void randomWeights(NetworkDescription& network, unsigned seed, double scale) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-scale, scale);
    network.weights.resize(network.weightCount());
    for (uint16_t& w : network.weights) w = doubleToHalf(value(random));
}

namespace {
double lumaFraction(double v) { return (v * 65535.0 / 64.0 - 64.0) / 876.0; }
double chromaFraction(double v) { return (v * 65535.0 / 64.0 - 512.0) / 896.0; }

// Bilinear sample of the chroma plane at normalised (u, v), clamp to edge.
std::array<double, 2> sampleChroma(const Picture& p, double u, double v) {
    const int cw = p.width / 2;
    const int ch = p.height / 2;
    const double px = u * cw - 0.5;
    const double py = v * ch - 0.5;
    const int x0 = static_cast<int>(std::floor(px));
    const int y0 = static_cast<int>(std::floor(py));
    const double ax = px - x0;
    const double ay = py - y0;
    auto read = [&](int x, int y, int comp) {
        x = std::clamp(x, 0, cw - 1);
        y = std::clamp(y, 0, ch - 1);
        return p.row(1, y)[2 * x + comp] / 65535.0;
    };
    std::array<double, 2> out{};
    for (int comp = 0; comp < 2; ++comp) {
        const double top = read(x0, y0, comp) * (1 - ax) + read(x0 + 1, y0, comp) * ax;
        const double bottom = read(x0, y0 + 1, comp) * (1 - ax) + read(x0 + 1, y0 + 1, comp) * ax;
        out[comp] = top * (1 - ay) + bottom * ay;
    }
    return out;
}
} // namespace

Tensor pack(const Picture& in, int f, int gw, int gh, double kr, double kb,
            std::vector<std::array<double, 3>>& base) {
    const int per = f == 2 ? 4 : 3;
    Tensor x;
    x.channels = f * f * per;
    x.rows = gh;
    x.columns = gw;
    x.values.assign(static_cast<size_t>(x.channels) * gh * gw, 0.0);
    base.assign(static_cast<size_t>(in.width) * in.height, {});
    for (int gy = 0; gy < gh; ++gy)
        for (int gx = 0; gx < gw; ++gx)
            for (int dy = 0; dy < f; ++dy)
                for (int dx = 0; dx < f; ++dx) {
                    const int X = f * gx + dx;
                    const int Y = f * gy + dy;
                    const int sx = std::min(X, in.width - 1);
                    const int sy = std::min(Y, in.height - 1);
                    const double y = lumaFraction(in.row(0, sy)[sx] / 65535.0);
                    const auto c = sampleChroma(in, (sx + 0.5) / in.width, (sy + 0.5) / in.height);
                    const double cb = chromaFraction(c[0]);
                    const double cr = chromaFraction(c[1]);
                    double R = y + 2 * (1 - kr) * cr;
                    double B = y + 2 * (1 - kb) * cb;
                    double G = (y - kr * R - kb * B) / (1 - kr - kb);
                    std::array<double, 3> rgb{R, G, B};
                    const int c0 = (dy * f + dx) * per;
                    for (int k = 0; k < 3; ++k) {
                        rgb[k] = roundHalf((std::clamp(rgb[k], 0.0, 1.0) - 0.5) * 2);
                        x.at(c0 + k, gy, gx) = rgb[k];
                    }
                    if (X < in.width && Y < in.height) base[static_cast<size_t>(Y) * in.width + X] = rgb;
                }
    return x;
}

std::vector<std::array<double, 3>> finish(const std::vector<std::array<double, 3>>& base, int inW,
                                          int inH, const Tensor& residual, int f) {
    static const double even[4] = {-0.03515625, 0.26171875, 0.87890625, -0.10546875};
    static const double odd[4] = {-0.10546875, 0.87890625, 0.26171875, -0.03515625};
    std::vector<std::array<double, 3>> up(static_cast<size_t>(4) * inW * inH);
    const int r2 = 2 * f;
    for (int Y = 0; Y < 2 * inH; ++Y)
        for (int X = 0; X < 2 * inW; ++X) {
            const int sx = X % 2 ? X / 2 - 1 : X / 2 - 2;
            const int sy = Y % 2 ? Y / 2 - 1 : Y / 2 - 2;
            const double* wx = X % 2 ? odd : even;
            const double* wy = Y % 2 ? odd : even;
            std::array<double, 3> v{};
            for (int k = 0; k < 3; ++k) {
                double acc = 0;
                for (int ty = 0; ty < 4; ++ty)
                    for (int tx = 0; tx < 4; ++tx) {
                        const int xx = std::clamp(sx + tx, 0, inW - 1);
                        const int yy = std::clamp(sy + ty, 0, inH - 1);
                        acc += wx[tx] * wy[ty] * base[static_cast<size_t>(yy) * inW + xx][k];
                    }
                const double res =
                    residual.at(k * r2 * r2 + (Y % r2) * r2 + X % r2, Y / r2, X / r2);
                v[k] = roundHalf(std::clamp((acc + res) * 0.5 + 0.5, 0.0, 1.0));
            }
            up[static_cast<size_t>(Y) * 2 * inW + X] = v;
        }
    return up;
}

namespace {
double catmullRom(double t) {
    t = std::fabs(t);
    if (t < 1) return (1.5 * t - 2.5) * t * t + 1;
    if (t < 2) return ((-0.5 * t + 2.5) * t - 4) * t + 2;
    return 0;
}
} // namespace

Codes encode(const std::vector<std::array<double, 3>>& up, int inW, int inH, int outW, int outH,
             double kr, double kb) {
    const int upW = 2 * inW;
    const int upH = 2 * inH;
    auto colour = [&](int X, int Y) {
        if (outW == upW && outH == upH) return up[static_cast<size_t>(Y) * upW + X];
        const double u = (X + 0.5) * upW / outW - 0.5;
        const double v = (Y + 0.5) * upH / outH - 0.5;
        const int bu = static_cast<int>(std::floor(u));
        const int bv = static_cast<int>(std::floor(v));
        std::array<double, 3> sum{};
        double weights = 0;
        for (int m = -1; m <= 2; ++m)
            for (int n = -1; n <= 2; ++n) {
                const double w = catmullRom(n - (u - bu)) * catmullRom(m - (v - bv));
                const auto& c = up[static_cast<size_t>(std::clamp(bv + m, 0, upH - 1)) * upW +
                                   std::clamp(bu + n, 0, upW - 1)];
                for (int k = 0; k < 3; ++k) sum[k] += w * c[k];
                weights += w;
            }
        for (double& s : sum) s = std::clamp(s / weights, 0.0, 1.0);
        return sum;
    };
    Codes codes;
    codes.luma.assign(static_cast<size_t>(outW) * outH, 0);
    codes.chroma.assign(static_cast<size_t>(outW) * (outH / 2), 0);
    for (int gy = 0; gy < outH / 2; ++gy)
        for (int gx = 0; gx < outW / 2; ++gx) {
            std::array<double, 3> sum{};
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i) {
                    const auto c = colour(2 * gx + i, 2 * gy + j);
                    for (int k = 0; k < 3; ++k) sum[k] += c[k];
                    const double y = kr * c[0] + (1 - kr - kb) * c[1] + kb * c[2];
                    codes.luma[static_cast<size_t>(2 * gy + j) * outW + 2 * gx + i] =
                        static_cast<int>(std::round(y * 876 + 64));
                }
            for (double& s : sum) s /= 4;
            const double y = kr * sum[0] + (1 - kr - kb) * sum[1] + kb * sum[2];
            const double cb = (sum[2] - y) / (2 * (1 - kb));
            const double cr = (sum[0] - y) / (2 * (1 - kr));
            codes.chroma[static_cast<size_t>(gy) * outW + 2 * gx] = static_cast<int>(std::round(cb * 896 + 512));
            codes.chroma[static_cast<size_t>(gy) * outW + 2 * gx + 1] = static_cast<int>(std::round(cr * 896 + 512));
        }
    return codes;
}

std::string describe(const std::string& name, const std::string& weights, int cin, int rows,
                     int columns, int cout, int outRows, int outColumns, const std::string& layers,
                     const std::string& license) {
    return "{\"network\": \"" + name + "\", \"license\": \"" + license + "\", \"weights\": \"" +
           weights + "\", \"input\": {\"name\": \"x\", \"shape\": [1, " + std::to_string(cin) + ", " +
           std::to_string(rows) + ", " + std::to_string(columns) +
           "]}, \"output\": {\"name\": \"residual\", \"shape\": [1, " + std::to_string(cout) + ", " +
           std::to_string(outRows) + ", " + std::to_string(outColumns) + "]}, \"layers\": [" + layers +
           "]}";
}

} // namespace corvel::reference
