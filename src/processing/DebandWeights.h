#pragma once

#include "processing/NetworkDescription.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvel {

// The debanding network's weights as two files in its directory:
// "truehdr-debander.json", an object whose "layers" array holds exactly four
// objects with the integer keys "cout", "cin", "k" (the shape) and "weight",
// "bias" (byte offsets into the .bin file), and "truehdr-debander.bin",
// little-endian float16 values: at a layer's "weight" offset cout x cin x k x k
// weights (output channel, input channel, row, column), at its "bias" offset
// cout biases. The shapes are fixed (the kernels are built for them):
//   16 -> 32, 7x7;  32 -> 64, 5x5;  64 -> 32, 3x3;  32 -> 8, 3x3.
// An optional "license" string names the weights' licence for the log.
struct DebandWeights {
    // The network for NetworkRunner, weights gathered per layer (weights then
    // biases) in the file's order, with its activations: leaky ReLU (0.1)
    // after the first three layers, 2x2 max pooling after the first, nearest
    // 2x upsampling before the last two, ReLU after the last.
    NetworkDescription network;
    size_t floatCount = 0; // every weight and bias
    std::string license;

    static constexpr const char* kJsonName = "truehdr-debander.json";
    static constexpr const char* kBinName = "truehdr-debander.bin";

    // Both files' contents. `directory` only names the place in messages.
    // Throws EnhanceError with the loader's sentences:
    //   "truehdr-debander.json / .bin missing or unreadable in DIR"
    //   the JSON parser's own message for text that does not parse
    //   "debander layer I is COUT x CIN x K, not the network's"
    //   "truehdr-debander.json points past truehdr-debander.bin"
    static DebandWeights parse(std::string_view json, const uint8_t* bin, size_t binSize,
                               const std::string& directory);
    // Reads both files from `directory` (none: "(no shader directory)").
    static DebandWeights load(const std::optional<std::string>& directory);
};

} // namespace corvel
