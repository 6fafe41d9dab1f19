#include "processing/ScaleMethod.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace corvel {

ScaleMethod ScaleMethod::parse(const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static constexpr std::array<std::string_view, 6> networks = {
        "neural-low", "neural-hb", "neural-medium", "neural-hb-medium", "neural-low-student",
        "neural-hb-student"};
    if (std::find(networks.begin(), networks.end(), lower) != networks.end())
        return {Kind::Neural, lower};
    if (lower == "fsrcnnx" || lower == "fsrcnnx8") return {Kind::Hook, "FSRCNNX_x2_8-0-4-1"};
    if (lower == "ravu" || lower == "ravu-lite") return {Kind::Hook, "ravu-lite-ar-r3"};
    if (lower == "bilinear" || lower == "stretch") return {Kind::Bilinear, ""};
    if (lower == "bicubic" || lower == "catmull-rom") return {Kind::Bicubic, ""};
    return {Kind::Hook, text};
}

std::string ScaleMethod::description() const {
    switch (kind) {
    case Kind::Hook: return name;
    case Kind::Neural: return name + ", Neural Engine";
    case Kind::Bilinear: return "bilinear";
    case Kind::Bicubic: return "bicubic (Catmull-Rom)";
    }
    return name;
}

} // namespace corvel
