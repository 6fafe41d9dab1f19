#pragma once

#include <cstdint>

namespace corvel {

// Four-character pixel format codes, as pictures, sources and the encoder
// name them.
constexpr uint32_t fourCC(const char (&code)[5]) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(code[3]));
}
// 10-bit 4:2:0, two planes, video range: the Picture layout.
inline constexpr uint32_t kPixelFormatX420 = fourCC("x420");
// 64-bit RGBA half float; neither the sources nor the encoder take it yet.
inline constexpr uint32_t kPixelFormatRGhA = fourCC("RGhA");

} // namespace corvel
