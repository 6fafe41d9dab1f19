#pragma once

#include "processing/Picture.h"

#include <string>
#include <vector>

namespace corvel::test {

// `frames` pictures of a lavfi source (e.g. "testsrc2") made by ffmpeg as
// 10-bit 4:2:0 and converted into Pictures. `filter` is appended to the
// source's filter chain when not empty.
std::vector<PictureRef> makeClip(int width, int height, int frames, const std::string& source = "testsrc2",
                                 const std::string& filter = "");

// Raw yuv420p10le frames (planar, 10-bit codes in little-endian words).
std::vector<uint16_t> readPlanar(const std::string& path);

// Runs a shell command and returns its standard output; sets `status`.
std::string run(const std::string& command, int* status = nullptr);

// Peak signal-to-noise ratio (dB) over all samples of planar 10-bit frames.
double psnr10(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b);

// A picture's samples as planar 10-bit codes (Y, then Cb, then Cr).
void appendPlanar(const Picture& picture, std::vector<uint16_t>& out);

} // namespace corvel::test
