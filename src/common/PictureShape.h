#pragma once

#include <cstdint>

namespace corvel {

// How a source's pictures are meant to be shown: the shape of one sample
// and the turn that the source's track matrix gives the whole picture.
// Both travel to the output unchanged (the samples are never resampled to
// square, nor the picture turned), so the output is shown as the source was.
struct PictureShape {
    // Sample aspect ratio: one sample is sarWidth / sarHeight times as wide
    // as it is high. Reduced, each 1 ... 65535 (the VUI and pasp fields).
    uint32_t sarWidth = 1;
    uint32_t sarHeight = 1;
    // Quarter turns of the track matrix, 0 ... 3, named by its 2 x 2 part
    // (a, b, c, d), which maps a sample at (p, q) to (a p + c q, b p + d q)
    // before the translation: 0 unity, 1 (0, 1, -1, 0), 2 (-1, 0, 0, -1),
    // 3 (0, -1, 1, 0). Tools call 3 a display rotation of 90 degrees
    // clockwise (a phone held upright) and 1 one of 270.
    int quarterTurns = 0;

    bool squareSamples() const { return sarWidth == sarHeight; }
    bool operator==(const PictureShape&) const = default;
};

} // namespace corvel
