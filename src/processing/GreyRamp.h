#pragma once

#include "processing/Picture.h"

namespace corvel {

// The test ramp: in every row of both planes, word k of the row's N words
// (the stride, padding included) is (floor(k * 876 / N) + 64) * 64, climbing
// from video black (code 64) to just below video white (code 940). Cb and Cr
// words carry the same ramp.
void fillGreyRamp(Picture& picture);

// A new width x height picture filled with the ramp, or null when no such
// picture can be made.
PictureRef greyRamp(int width, int height);

} // namespace corvel
