#pragma once

#include <cstdint>

namespace corvel {

// The values the tone-mapping kernel receives, packed as the kernel's
// ToneConstants: five 32-bit floats and one 32-bit unsigned integer.
struct ToneKernel {
    float c;       // exponent of the curve f(Y) = Y^c / (a Y^(1.3c) + b)
    float a;
    float b;
    float s;       // chroma gain
    float scale;   // nits per curve unit (730.8)
    uint32_t bt601; // 1: BT.601 input coefficients
};
static_assert(sizeof(ToneKernel) == 24, "the kernel reads 24 bytes without padding");

// The look of the SDR-to-HDR10 lift. Plain data: the request handling clamps
// the fields, InverseToneMap takes them as they are.
struct ToneParams {
    float peak = 406;       // target peak brightness, nits
    float contrast = 100;   // steepness of the curve, 0 ... 200
    float middleGrey = 50;  // output level of SDR middle grey, thousandths of a curve unit
    float saturation = 1;   // chroma gain, 0 ... 2
    float strength = 100;   // how far the peak is expanded beyond 400 units, percent
    bool bt601 = false;     // the source uses BT.601 Y'CbCr coefficients

    bool operator==(const ToneParams&) const = default;

    // The kernel constants, computed in double precision. With the defaults:
    // c = 0.85, a white peak of 556 units (about 406 nits), s = 1.05.
    ToneKernel kernel() const;
};

} // namespace corvel
