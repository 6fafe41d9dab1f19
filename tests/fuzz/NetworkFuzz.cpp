// Feeds arbitrary bytes to the network loader: the text before the first NUL
// byte is the description, the bytes after it the weight file. It must never
// crash or read past either; a network it accepts must keep its promises.
#include "common/EnhanceError.h"
#include "processing/NetworkDescription.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

using namespace corvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const void* nul = std::memchr(data, 0, size);
    const size_t textSize = nul ? static_cast<const uint8_t*>(nul) - data : size;
    const uint8_t* weights = nul ? data + textSize + 1 : data + size;
    const size_t weightSize = nul ? size - textSize - 1 : 0;
    try {
        NetworkDescription d = NetworkDescription::parse(
            std::string_view(reinterpret_cast<const char*>(data), textSize), "fuzz.json");
        if (d.layers.empty() || d.inputChannels < 1 || d.outputChannels < 1) std::abort();
        if (d.scaleNum() < 1 || d.scaleDen() < 1 || d.margin() < 1) std::abort();
        d.takeWeights(weights, weightSize, "fuzz.bin");
        if (d.weights.size() != d.weightCount() || weightSize != 2 * d.weightCount()) std::abort();
    } catch (const EnhanceError&) {
    }
    return 0;
}
