#include "common/Fmt.h"

#include <cstdio>

namespace corvel {

std::string fmt(int decimals, double value) {
    if (decimals < 0) decimals = 0;
    char small[64];
    int n = std::snprintf(small, sizeof small, "%.*f", decimals, value);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    // Huge magnitudes (1e300 with decimals) need more room than the stack buffer.
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), "%.*f", decimals, value);
    big.resize(static_cast<size_t>(n));
    return big;
}

} // namespace corvel
