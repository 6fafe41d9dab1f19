#pragma once

// Plain C++ of the network runner's layers and the AI upscaler's kernels, in
// double precision, for checking the device code.

#include "processing/NetworkDescription.h"
#include "processing/Picture.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace corvel::reference {

// IEEE half floats: bits to value, and value to the nearest bits (ties to
// even), as vload_half and vstore_half do.
double halfToDouble(uint16_t bits);
uint16_t doubleToHalf(double value);
inline double roundHalf(double value) { return halfToDouble(doubleToHalf(value)); }

// A planar tensor: channels x rows x columns.
struct Tensor {
    int channels = 0;
    int rows = 0;
    int columns = 0;
    std::vector<double> values;
    double& at(int c, int y, int x) { return values[(static_cast<size_t>(c) * rows + y) * columns + x]; }
    double at(int c, int y, int x) const {
        return values[(static_cast<size_t>(c) * rows + y) * columns + x];
    }
};

// The network over `input`, each layer's output rounded to a half float as
// the runner stores it.
Tensor runNetwork(const NetworkDescription& network, const Tensor& input);

// Random half-float weights in -scale ... scale for every layer.
void randomWeights(NetworkDescription& network, unsigned seed, double scale);

// The upscaler's kernels on one picture with (kr, kb).
// pack: the input tensor (16 or 48 channels over gw x gh) and base (R, G, B
// per pixel in -1 ... 1, rounded to halves).
Tensor pack(const Picture& in, int f, int gw, int gh, double kr, double kb,
            std::vector<std::array<double, 3>>& base);
// finish: the 2x picture in 0 ... 1 from base and the residual.
std::vector<std::array<double, 3>> finish(const std::vector<std::array<double, 3>>& base, int inW,
                                          int inH, const Tensor& residual, int f);
// encode: the output picture's 10-bit codes, luma row-major then Cb, Cr
// pairs row-major.
struct Codes {
    std::vector<int> luma;
    std::vector<int> chroma;
};
Codes encode(const std::vector<std::array<double, 3>>& up, int inW, int inH, int outW, int outH,
             double kr, double kb);

// A JSON description of a network of the given layers (the layers' JSON
// text), input [1, cin, rows, columns], output of the given shape.
std::string describe(const std::string& name, const std::string& weights, int cin, int rows,
                     int columns, int cout, int outRows, int outColumns, const std::string& layers,
                     const std::string& license = "Test licence");

} // namespace corvel::reference
