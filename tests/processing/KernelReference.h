#pragma once

// Plain C++ of the picture kernels' arithmetic, in double precision, for
// checking the kernels. Values are normalised 16-bit words (word / 65535).

#include "processing/Picture.h"
#include "processing/ToneParams.h"

#include <array>
#include <random>

namespace corvel::reference {

inline double word(const Picture& p, int plane, int x, int y) {
    return p.row(plane, y)[x] / 65535.0;
}

// One output value of the resample kernel for component `comp` (0 luma; 0
// Cb or 1 Cr in plane 1), with 16 point reads for mode 1.
double resample(const Picture& in, int plane, int comp, int dstW, int dstH, int x, int y, int mode);

// The largest difference between a resampled picture and the reference, in
// 10-bit codes, over both planes.
double worstResampleCodes(const Picture& in, const Picture& out, int mode);

// The inverse tone mapping of one 2x2 block: the four luma values in j-major
// order, then Cb and Cr, all normalised.
struct ItmBlock {
    std::array<double, 4> luma;
    double cb;
    double cr;
};
ItmBlock itm(const Picture& in, int chromaX, int chromaY, const ToneKernel& k);
// Expand for one pixel, exposed for the nits checks: R'G'B' in, PQ R'G'B' out.
std::array<double, 3> expand(std::array<double, 3> rgb, const ToneKernel& k);
// Nits of a PQ value.
double pqToNits(double e);

// The deepen kernel on one 2x2 block, same layout as ItmBlock.
ItmBlock deepen(const Picture& in, int chromaX, int chromaY, double lift);

// Random 10-bit codes (video range) in both planes; the same seed gives the
// same picture.
void fillRandom(Picture& p, unsigned seed, int lumaLow = 64, int lumaHigh = 940);

} // namespace corvel::reference
