#include "output/EncoderConfig.h"

#include "common/Env.h"

#include <algorithm>
#include <cmath>

namespace corvel {

namespace {

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}

} // namespace

std::vector<uint8_t> HDR10Metadata::masteringDisplay() const {
    std::vector<uint8_t> out;
    out.reserve(24);
    // std::round rounds half away from zero.
    for (double c : kChromaticities) put16(out, static_cast<uint32_t>(std::round(c / 0.00002)));
    uint32_t peak = static_cast<uint32_t>(std::clamp(peakNits, 0, 429496));
    put32(out, peak * 10000);
    put32(out, kMinLuminance);
    return out;
}

std::vector<uint8_t> HDR10Metadata::contentLightLevel() const {
    std::vector<uint8_t> out;
    out.reserve(4);
    put16(out, static_cast<uint32_t>(std::clamp(peakNits, 0, 65535)));
    put16(out, static_cast<uint32_t>(std::clamp(maxFallNits, 0, 65535)));
    return out;
}

double EncoderConfig::qualityFromText(const std::optional<std::string>& text) {
    if (!text || text->empty()) return 0.75;
    auto value = parseDouble(*text);
    if (!value) return 0.75;
    return std::clamp(*value, 0.0, 1.0);
}

double EncoderConfig::defaultQuality() {
    static const double value = qualityFromText(rawEnv("CORVEL_ENHANCE_QUALITY"));
    return value;
}

double crfForQuality(double quality) {
    double q = std::clamp(quality, 0.0, 1.0);
    return 40.0 - 28.0 * q;
}

std::optional<std::vector<uint8_t>> hvcC(const EncoderFormat& format) {
    if (format.hvcC.empty()) return std::nullopt;
    return format.hvcC;
}

HDR10Boxes hdr10Boxes(const EncoderFormat& format) {
    return {format.masteringDisplay, format.contentLightLevel};
}

} // namespace corvel
