#include "output/HvcC.h"

#include "common/EnhanceError.h"

namespace corvel {

namespace {

const char* const kBrokenSps = "The encoder gave a broken sequence parameter set.";

// Reads bits from a NAL unit's payload with emulation prevention bytes
// (0x000003) removed. Every read checks the length first.
class BitReader {
public:
    explicit BitReader(std::vector<uint8_t> rbsp) : bytes_(std::move(rbsp)) {}

    uint32_t bits(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 1) | bit();
        return value;
    }
    uint64_t bits64(int count) {
        uint64_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 1) | bit();
        return value;
    }
    void skip(size_t count) {
        if (count > bytes_.size() * 8 - position_) throw EnhanceError(kBrokenSps);
        position_ += count;
    }
    // Unsigned Exp-Golomb code, limited to 32 bits of value.
    uint32_t ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (++zeros > 31) throw EnhanceError(kBrokenSps);
        }
        uint64_t value = (uint64_t{1} << zeros) - 1 + bits64(zeros);
        if (value > 0xFFFFFFFFu) throw EnhanceError(kBrokenSps);
        return static_cast<uint32_t>(value);
    }

private:
    uint32_t bit() {
        if (position_ >= bytes_.size() * 8) throw EnhanceError(kBrokenSps);
        uint32_t value = (bytes_[position_ / 8] >> (7 - position_ % 8)) & 1u;
        ++position_;
        return value;
    }

    std::vector<uint8_t> bytes_;
    size_t position_ = 0;
};

std::vector<uint8_t> unescape(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size);
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = data[i] == 0 ? zeros + 1 : 0;
        out.push_back(data[i]);
    }
    return out;
}

int nalType(const std::vector<uint8_t>& unit) { return unit.empty() ? -1 : (unit[0] >> 1) & 0x3F; }

} // namespace

SpsInfo parseSps(const uint8_t* data, size_t size) {
    if (size < 3 || ((data[0] >> 1) & 0x3F) != 33) throw EnhanceError(kBrokenSps);
    BitReader r(unescape(data + 2, size - 2));
    SpsInfo info;
    r.bits(4); // sps_video_parameter_set_id
    info.maxSubLayersMinus1 = static_cast<uint8_t>(r.bits(3));
    if (info.maxSubLayersMinus1 > 6) throw EnhanceError(kBrokenSps);
    info.temporalIdNesting = r.bits(1) != 0;

    // profile_tier_level(1, sps_max_sub_layers_minus1)
    info.profileSpace = static_cast<uint8_t>(r.bits(2));
    info.tierFlag = r.bits(1) != 0;
    info.profileIdc = static_cast<uint8_t>(r.bits(5));
    info.profileCompatibility = r.bits(32);
    info.constraintFlags = r.bits64(48);
    info.levelIdc = static_cast<uint8_t>(r.bits(8));
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (int i = 0; i < info.maxSubLayersMinus1; ++i) {
        profilePresent[i] = r.bits(1) != 0;
        levelPresent[i] = r.bits(1) != 0;
    }
    if (info.maxSubLayersMinus1 > 0) {
        for (int i = info.maxSubLayersMinus1; i < 8; ++i) r.skip(2);
    }
    for (int i = 0; i < info.maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) r.skip(88);
        if (levelPresent[i]) r.skip(8);
    }

    r.ue(); // sps_seq_parameter_set_id
    info.chromaFormatIdc = r.ue();
    if (info.chromaFormatIdc > 3) throw EnhanceError(kBrokenSps);
    if (info.chromaFormatIdc == 3) r.skip(1); // separate_colour_plane_flag
    info.width = r.ue();
    info.height = r.ue();
    if (r.bits(1)) { // conformance_window_flag
        for (int i = 0; i < 4; ++i) r.ue();
    }
    uint32_t lumaMinus8 = r.ue();
    uint32_t chromaMinus8 = r.ue();
    // The record holds bit depth minus 8 in three bits.
    if (lumaMinus8 > 7 || chromaMinus8 > 7) throw EnhanceError(kBrokenSps);
    info.bitDepthLuma = lumaMinus8 + 8;
    info.bitDepthChroma = chromaMinus8 + 8;
    return info;
}

std::vector<uint8_t> makeHvcC(const std::vector<uint8_t>& vps, const std::vector<uint8_t>& sps,
                              const std::vector<uint8_t>& pps) {
    if (nalType(vps) != 32 || nalType(sps) != 33 || nalType(pps) != 34)
        throw EnhanceError("The encoder gave no hvcC.");
    SpsInfo info = parseSps(sps.data(), sps.size());

    std::vector<uint8_t> out;
    auto u8 = [&](uint32_t v) { out.push_back(static_cast<uint8_t>(v)); };
    auto u16 = [&](uint32_t v) {
        u8(v >> 8);
        u8(v & 0xFF);
    };
    u8(1); // configurationVersion
    u8(static_cast<uint32_t>(info.profileSpace << 6) | (info.tierFlag ? 0x20u : 0u) |
       info.profileIdc);
    u16(info.profileCompatibility >> 16);
    u16(info.profileCompatibility & 0xFFFF);
    for (int shift = 40; shift >= 0; shift -= 8) u8(static_cast<uint32_t>(info.constraintFlags >> shift));
    u8(info.levelIdc);
    u16(0xF000); // reserved 1111, min_spatial_segmentation_idc 0
    u8(0xFC);    // reserved 111111, parallelismType 0 (unknown)
    u8(0xFC | info.chromaFormatIdc);
    u8(0xF8 | (info.bitDepthLuma - 8));
    u8(0xF8 | (info.bitDepthChroma - 8));
    u16(0); // avgFrameRate: not given
    // constantFrameRate 0, numTemporalLayers, temporalIdNested, lengthSizeMinusOne 3
    u8(static_cast<uint32_t>((info.maxSubLayersMinus1 + 1) << 3) |
       (info.temporalIdNesting ? 0x04u : 0u) | 0x03u);
    u8(3); // numOfArrays
    for (const auto* unit : {&vps, &sps, &pps}) {
        if (unit->size() > 0xFFFF) throw EnhanceError("The encoder gave no hvcC.");
        u8(0x80 | static_cast<uint32_t>(nalType(*unit))); // array_completeness 1
        u16(1);                                          // numNalus
        u16(static_cast<uint32_t>(unit->size()));
        out.insert(out.end(), unit->begin(), unit->end());
    }
    return out;
}

} // namespace corvel
