#pragma once

#include "common/SourceColor.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvel {

// Static HDR10 metadata of an output: the mastering display (P3 primaries,
// D65 white) and the content light levels, all in cd/m².
struct HDR10Metadata {
    int peakNits = 0;    // mastering display maximum and MaxCLL; 0 ... 429496
    int maxFallNits = 0; // MaxFALL; 0 ... 65535

    // 24 bytes, big-endian, the SEI mastering display colour volume layout:
    // G, B, R, white point (x then y, units of 0.00002), then the maximum and
    // minimum luminance in units of 0.0001 cd/m².
    std::vector<uint8_t> masteringDisplay() const;
    // 4 bytes, big-endian: MaxCLL (peakNits), MaxFALL (maxFallNits).
    std::vector<uint8_t> contentLightLevel() const;

    // The display chromaticities in the order G, B, R, white point, each as
    // x, y and each written as round(value / 0.00002).
    static constexpr std::array<double, 8> kChromaticities = {0.265, 0.69,  0.15,   0.06,
                                                              0.68,  0.32,  0.3127, 0.329};
    static constexpr uint32_t kMinLuminance = 50; // 0.005 cd/m² in 0.0001 units

    bool operator==(const HDR10Metadata&) const = default;
};

// What the encoder makes, fixed for an encoder's life.
struct EncoderConfig {
    int width = 0;  // coded width in pixels (even)
    int height = 0; // coded height in pixels (even)
    uint32_t fpsNum = 24;
    uint32_t fpsDen = 1;
    int bitrate = 0;     // average bits per second, used when quality is 0
    int peakBitrate = 0; // bits per second over one second; 0 = no peak limit
    double quality = 0;  // 0 ... 1 constant quality; 0 selects bit-rate mode
    SourceColor color;
    std::optional<HDR10Metadata> hdr10;
    // Sample aspect ratio for the VUI (1:1 writes none), each 1 ... 65535.
    uint32_t sarWidth = 1;
    uint32_t sarHeight = 1;
    // false: zero-latency tuning (one frame thread, no lookahead), each
    // picture comes back from the call that submitted it. true: the preset's
    // own tuning, still without B-frames (output order is submission
    // order): about half the CPU per picture, but x265 holds a few pictures
    // back until later ones or a flush, so whoever encodes a segment closes
    // the encoder at its end and opens an identical one for the next.
    bool segmentTuned = false;

    bool operator==(const EncoderConfig&) const = default;

    // CORVEL_ENHANCE_QUALITY read once on first use: absent, empty or not a
    // number gives 0.75; otherwise the number clamped to 0 ... 1.
    static double defaultQuality();
    // The rule behind defaultQuality, for any text (none = absent).
    static double qualityFromText(const std::optional<std::string>& text);
};

// The constant rate factor x265 gets for a quality in (0, 1]. Linear in
// quality from CRF 40 (quality just above 0) to CRF 12 (quality 1); 0.75
// gives CRF 19. A CRF step is a fixed ratio of bit rate (about 12 %), so
// equal steps of quality are equal ratios of bit rate, as the platform
// encoders' quality scale behaves. Out-of-range values are clamped.
double crfForQuality(double quality);

// One encoded access unit: NAL units each preceded by a 4-byte big-endian
// length (the form the hvcC record with lengthSizeMinusOne 3 describes).
struct EncodedPicture {
    std::vector<uint8_t> data;
    bool key = false; // a sync sample (IDR picture)
};

// What a primed encoder knows about its output: the decoder configuration
// record and, for HDR10 output, the two metadata blobs. Stands for the
// platform's format description.
struct EncoderFormat {
    std::vector<uint8_t> hvcC;                           // HEVCDecoderConfigurationRecord
    std::optional<std::vector<uint8_t>> masteringDisplay; // 24 bytes
    std::optional<std::vector<uint8_t>> contentLightLevel; // 4 bytes

    bool operator==(const EncoderFormat&) const = default;
};

// The hvcC payload of a format; none when it has no record.
std::optional<std::vector<uint8_t>> hvcC(const EncoderFormat& format);

struct HDR10Boxes {
    std::optional<std::vector<uint8_t>> masteringDisplay;
    std::optional<std::vector<uint8_t>> contentLightLevel;
};
// The mdcv and clli payloads of a format, each when present.
HDR10Boxes hdr10Boxes(const EncoderFormat& format);

} // namespace corvel
