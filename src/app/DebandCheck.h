#pragma once

#include <string>
#include <vector>

namespace corvel {

// The developer's debanding check: `--deband <yuv420p file> <width> <height>
// <out dir>`. Debands one raw 8-bit 4:2:0 picture 21 times (the first a
// warm-up), prints the way and the mean milliseconds, and writes the map
// ("map-NWxNH.f16", half floats in machine order) and the picture before and
// after debanding lifted to HDR10 ("plain.p010", "debanded.p010": luma rows
// then interleaved Cb, Cr rows, 16-bit words without padding).
// Returns 0, 1 (debanding or tone mapping failed) or 2 (usage).
int debandCheck(const std::vector<std::string>& words);

} // namespace corvel
