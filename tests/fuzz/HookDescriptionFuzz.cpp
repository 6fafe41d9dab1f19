// Feeds arbitrary bytes to the hook shader description reader. It must
// never crash, and what it keeps must hold the reader's promises.
#include "common/EnhanceError.h"
#include "processing/HookDescription.h"

#include <cstdlib>
#include <string_view>

using namespace corvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        std::optional<HookDescription> d = HookDescription::parse(text);
        if (!d) return 0;
        for (const auto& pass : d->passes) {
            if (pass.components != 1 && pass.components != 4) std::abort();
            if (pass.compute)
                for (int v : *pass.compute)
                    if (v < 1 || v > 4096) std::abort();
        }
        for (const auto& texture : d->textures)
            if (texture.data.size() > size) std::abort(); // decoded Base64 is shorter
    } catch (const EnhanceError&) {
        // not JSON: the parser's message
    }
    (void)decodeBase64(text);
    return 0;
}
