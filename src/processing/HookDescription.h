#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

// The keys of a hook shader's description file (NAME.json), read without a
// compute device. Keys that are absent or of another type take their
// defaults; unknown keys are ignored.
struct HookDescription {
    struct Pass {
        std::optional<std::string> kernel;
        // Entries that are not strings are kept as "" (bound to nothing).
        std::vector<std::string> binds;
        std::optional<std::string> save;
        std::optional<std::string> width;  // postfix expressions
        std::optional<std::string> height;
        std::optional<std::string> when;
        int components = 4; // 1 only for the integer 1
        // [block width, block height, threads across, threads down], kept
        // only as four integers of 1 ... 4096 (zero blocks would divide by
        // zero or dispatch nothing).
        std::optional<std::array<int, 4>> compute;
    };
    // A constant texture entry with all four keys and decodable Base64;
    // width and height are as written (checked when the texture is made).
    struct Texture {
        std::string name;
        int64_t width = 0;
        int64_t height = 0;
        std::vector<uint8_t> data;
    };

    std::string license = "unknown";
    std::string hooked = "LUMA"; // the first pass's `hook`
    std::vector<Pass> passes;    // an entry that is not an object has no kernel
    std::vector<Texture> textures;

    // None when the text is JSON but not an object; throws EnhanceError with
    // the parser's message when it is not JSON.
    static std::optional<HookDescription> parse(std::string_view text);
};

// Standard Base64 with padding (length a multiple of 4); none for anything
// else.
std::optional<std::vector<uint8_t>> decodeBase64(std::string_view text);

} // namespace corvel
