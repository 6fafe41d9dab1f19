// Feeds arbitrary bytes to the readers of ffprobe's JSON answers. They never
// throw; what they return stays inside the documented ranges.
#include "source/TitleProbe.h"

#include <cstdlib>
#include <string_view>

using namespace corvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const int ordinal = size > 0 ? data[size - 1] % 4 : 0;
    if (auto probe = parseProbe(text, ordinal)) {
        if (!(probe->sar >= 0.25 && probe->sar <= 4.0)) std::abort();
        if (probe->bits != 8 && probe->bits != 10 && probe->bits != 12) std::abort();
        if (probe->sound && (probe->sound->channels < 1 || probe->sound->rateHz < 0 || probe->sound->ordinal < 0))
            std::abort();
    }
    parseSubtitleCodecs(text);
    return 0;
}
