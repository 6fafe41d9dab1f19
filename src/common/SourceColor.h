#pragma once

#include <optional>
#include <string>

namespace corvel {

// The one spelling of each colour constant, shared by the MP4 reader, the
// ffmpeg reader, pictures, the encoder and the segment writers.
namespace color {
inline constexpr const char* kPrimaries709 = "ITU_R_709_2";
inline constexpr const char* kPrimaries2020 = "ITU_R_2020";
inline constexpr const char* kPrimariesP3D65 = "P3_D65";
inline constexpr const char* kPrimariesSMPTEC = "SMPTE_C";
inline constexpr const char* kPrimariesEBU3213 = "EBU_3213";
inline constexpr const char* kTransfer709 = "ITU_R_709_2";
inline constexpr const char* kTransferPQ = "SMPTE_ST_2084_PQ";
inline constexpr const char* kTransferHLG = "ITU_R_2100_HLG";
inline constexpr const char* kMatrix709 = "ITU_R_709_2";
inline constexpr const char* kMatrix2020 = "ITU_R_2020";
inline constexpr const char* kMatrix601 = "ITU_R_601_4";
} // namespace color

// The colour description of a source: primaries, transfer function and
// Y'CbCr matrix, each one of the constants above or absent when unknown.
struct SourceColor {
    std::optional<std::string> primaries;
    std::optional<std::string> transfer;
    std::optional<std::string> matrix;

    bool operator==(const SourceColor&) const = default;
};

} // namespace corvel
