#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvel {

// The fields of an HEVC sequence parameter set that the decoder
// configuration record repeats.
struct SpsInfo {
    uint8_t profileSpace = 0;
    bool tierFlag = false;
    uint8_t profileIdc = 0;
    uint32_t profileCompatibility = 0;
    uint64_t constraintFlags = 0; // the 48 bits after the compatibility flags
    uint8_t levelIdc = 0;
    uint8_t maxSubLayersMinus1 = 0;
    bool temporalIdNesting = false;
    uint32_t chromaFormatIdc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bitDepthLuma = 0;
    uint32_t bitDepthChroma = 0;
};

// Reads an SPS NAL unit (with its 2-byte NAL header, without a length prefix
// or start code; emulation prevention bytes still in). Throws EnhanceError
// "The encoder gave a broken sequence parameter set." when the unit is not
// an SPS or ends early.
SpsInfo parseSps(const uint8_t* data, size_t size);

// The HEVCDecoderConfigurationRecord (ISO/IEC 14496-15) for one VPS, SPS and
// PPS, each a NAL unit with its header and no length prefix: profile, tier,
// level, constraint flags, chroma format and bit depths from the SPS,
// lengthSizeMinusOne 3, one array per parameter set. Throws EnhanceError as
// parseSps does, or "The encoder gave no hvcC." when a unit is missing.
std::vector<uint8_t> makeHvcC(const std::vector<uint8_t>& vps, const std::vector<uint8_t>& sps,
                              const std::vector<uint8_t>& pps);

} // namespace corvel
