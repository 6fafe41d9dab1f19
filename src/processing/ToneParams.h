#pragma once

namespace corvel {

// The look of the SDR-to-HDR10 lift. Plain data: the request handling clamps
// the values, the inverse tone mapping reads them.
struct ToneParams {
    float peak = 406;       // target peak brightness, nits
    float contrast = 100;   // steepness of the curve, 0 ... 200
    float middleGrey = 50;  // output level of SDR middle grey, thousandths of the curve's unit
    float saturation = 1.0f; // chroma gain, 0 ... 2
    float strength = 100;   // how far the peak is expanded beyond 400 units, percent
    bool bt601 = false;     // the source uses BT.601 Y'CbCr coefficients

    bool operator==(const ToneParams&) const = default;
};

} // namespace corvel
