// Feeds arbitrary bytes to the debanding weight loader: the text before the
// first NUL byte is "truehdr-debander.json", the bytes after it the .bin file
// (copied to a buffer of exactly that size, so a read past it is caught). It
// must never crash or read past either; weights it accepts must be complete.
#include "common/EnhanceError.h"
#include "processing/DebandWeights.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

using namespace corvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const void* nul = std::memchr(data, 0, size);
    const size_t textSize = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    const std::vector<uint8_t> bin(nul ? data + textSize + 1 : data + size, data + size);
    try {
        const DebandWeights w = DebandWeights::parse(
            std::string_view(reinterpret_cast<const char*>(data), textSize), bin.data(), bin.size(),
            "fuzz");
        if (w.floatCount != 97160 || w.network.weights.size() != w.floatCount) std::abort();
        if (w.network.weightCount() != w.floatCount || w.network.layers.size() != 5) std::abort();
    } catch (const EnhanceError&) {
    }
    return 0;
}
