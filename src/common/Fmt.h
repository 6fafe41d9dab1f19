#pragma once

#include <string>

namespace corvel {

// `value` in fixed-point notation with exactly `decimals` digits after the
// point, as printf's "%.Nf" writes it: fmt(0, 12.6) is "13", fmt(2, 2.5) "2.50".
std::string fmt(int decimals, double value);

} // namespace corvel
