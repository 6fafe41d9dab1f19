#pragma once

#include "common/SourceColor.h"
#include "processing/Picture.h"

#include <cstdint>
#include <optional>

namespace corvel {

// One decoded picture on the title's clock.
struct DecodedFrame {
    PictureRef buffer; // in the pixel format the source was asked for
    double pts = 0;    // seconds on the title's clock (part start + time within the part)
};

// Where the run takes its pictures from: MP4 parts through the Decoder, or
// TV titles through ffmpeg. Called from one thread (the run pipeline).
class PictureSource {
public:
    virtual ~PictureSource() = default;
    // Positions the source so that the next pictures read are those from
    // about `to` seconds of title time on (earlier ones of the same group of
    // pictures may come first; the caller skips them). Throws EnhanceError.
    virtual void seek(double to) = 0;
    // The next picture in presentation order; none at the end of the title.
    // Throws EnhanceError.
    virtual std::optional<DecodedFrame> read() = 0;
    virtual SourceColor sourceColor() = 0;
    virtual int sourceBits() = 0;
};

// Four-character pixel format codes, as the service names them.
constexpr uint32_t fourCharCode(char a, char b, char c, char d) {
    return (uint32_t(uint8_t(a)) << 24) | (uint32_t(uint8_t(b)) << 16) | (uint32_t(uint8_t(c)) << 8) |
           uint32_t(uint8_t(d));
}
// 10-bit 4:2:0, two planes, video range: the Picture layout.
inline constexpr uint32_t kPixelFormatX420 = fourCharCode('x', '4', '2', '0');
// Half-float RGBA; no picture source here produces it.
inline constexpr uint32_t kPixelFormatRGhA = fourCharCode('R', 'G', 'h', 'A');

} // namespace corvel
