#include "source/ColorMapping.h"

namespace corvel {

SourceColor colorFromNclx(uint32_t primaries, uint32_t transfer, uint32_t matrix) {
    SourceColor c;
    switch (primaries) {
    case 1: c.primaries = color::kPrimaries709; break;
    case 9: c.primaries = color::kPrimaries2020; break;
    case 12: c.primaries = color::kPrimariesP3D65; break;
    case 6: c.primaries = color::kPrimariesSMPTEC; break;
    case 5: c.primaries = color::kPrimariesEBU3213; break;
    default: break;
    }
    switch (transfer) {
    case 1:
    case 6: c.transfer = color::kTransfer709; break;
    case 16: c.transfer = color::kTransferPQ; break;
    case 18: c.transfer = color::kTransferHLG; break;
    default: break;
    }
    switch (matrix) {
    case 1: c.matrix = color::kMatrix709; break;
    case 9: c.matrix = color::kMatrix2020; break;
    case 5:
    case 6: c.matrix = color::kMatrix601; break;
    default: break;
    }
    return c;
}

SourceColor colorFromNames(const std::optional<std::string>& primaries,
                           const std::optional<std::string>& transfer,
                           const std::optional<std::string>& matrix) {
    const std::string p = primaries.value_or(""), t = transfer.value_or(""), m = matrix.value_or("");
    SourceColor c;
    if (p == "bt2020")
        c.primaries = color::kPrimaries2020;
    else if (p == "smpte170m" || p == "smpte240m")
        c.primaries = color::kPrimariesSMPTEC;
    else if (p == "bt470bg")
        c.primaries = color::kPrimariesEBU3213;
    else
        c.primaries = color::kPrimaries709;
    if (t == "smpte2084")
        c.transfer = color::kTransferPQ;
    else if (t == "arib-std-b67")
        c.transfer = color::kTransferHLG;
    else
        c.transfer = color::kTransfer709;
    if (m == "bt2020nc")
        c.matrix = color::kMatrix2020;
    else if (m == "smpte170m" || m == "bt470bg")
        c.matrix = color::kMatrix601;
    else
        c.matrix = color::kMatrix709;
    return c;
}

} // namespace corvel
