#pragma once

#include <optional>
#include <utility>

namespace corvel {

// The size of the AI upscaler's model that takes a picture of width x
// height: the smallest of 1920x1088, 2560x1440 and 3072x1728 that holds it,
// or none when the picture is larger than all three.
inline std::optional<std::pair<int, int>> neuralModelSize(int width, int height) {
    if (width <= 1920 && height <= 1088) return std::pair{1920, 1088};
    if (width <= 2560 && height <= 1440) return std::pair{2560, 1440};
    if (width <= 3072 && height <= 1728) return std::pair{3072, 1728};
    return std::nullopt;
}

} // namespace corvel
