#pragma once

#include <string>

namespace corvel {

// Names an upscaler. `name` is the shader name for `Hook` and the network
// name for `Neural`, empty otherwise.
struct ScaleMethod {
    enum class Kind { Hook, Neural, Bilinear, Bicubic };
    Kind kind = Kind::Bilinear;
    std::string name;

    // Never fails: the known words (any case) map to their method; anything
    // else is taken, case kept, as the name of a hook shader description.
    static ScaleMethod parse(const std::string& text);

    std::string description() const;
    bool operator==(const ScaleMethod& other) const {
        return kind == other.kind && name == other.name;
    }
};

} // namespace corvel
