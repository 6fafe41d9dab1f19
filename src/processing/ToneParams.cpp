#include "processing/ToneParams.h"

#include <algorithm>
#include <cmath>

namespace corvel {

ToneKernel ToneParams::kernel() const {
    const double c = static_cast<double>(contrast) * 0.004 + 0.45;
    const double m = static_cast<double>(middleGrey) / 1000.0;
    // The peak in the curve's units of 1/1000 (1 unit = 730.8 nits); std::round
    // takes halves away from zero.
    const double p = std::round(static_cast<double>(peak) * 277.77777777777777 / 203.0);
    const double expansion = p <= 400 ? 1.0 : std::min(p, 2000.0) / 400.0;
    const double top = std::round(std::pow(expansion, static_cast<double>(strength) / 100.0) * 400.0);
    const double l = top / 1000.0;
    const double k1 = std::pow(0.214, c);
    const double k2 = std::pow(0.214, 1.3 * c);
    const double a = (k1 * l - m) / ((k2 - 1) * m * l);
    const double b = (m * k2 - k1 * l) / ((k2 - 1) * m * l);
    const double s = static_cast<double>(saturation) * 0.2 + 0.85;
    return ToneKernel{static_cast<float>(c), static_cast<float>(a), static_cast<float>(b),
                      static_cast<float>(s), 730.8f, bt601 ? 1u : 0u};
}

} // namespace corvel
