#include "processing/GreyRamp.h"

#include "common/EnhanceError.h"

#include <algorithm>

namespace corvel {

void fillGreyRamp(Picture& picture) {
    const size_t n = std::max<size_t>(picture.stride, 1);
    for (int plane = 0; plane < 2; ++plane) {
        for (int y = 0; y < picture.planeHeight(plane); ++y) {
            uint16_t* row = picture.row(plane, y);
            for (size_t k = 0; k < picture.stride; ++k)
                row[k] = static_cast<uint16_t>((k * 876 / n + 64) * 64);
        }
    }
}

PictureRef greyRamp(int width, int height) {
    try {
        PictureRef picture = makePicture(width, height);
        fillGreyRamp(*picture);
        return picture;
    } catch (const EnhanceError&) {
        return nullptr;
    }
}

} // namespace corvel
