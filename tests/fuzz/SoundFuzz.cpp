// Feeds arbitrary bytes, as ffmpeg's standard output would bring them,
// through the box reader into the sound fragment parser. No sample may hold
// more bytes than its mdat, nor be announced beyond the per-fragment bound.
#include "source/Sound.h"

#include <algorithm>
#include <cstdlib>

using namespace corvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    SoundFragments fragments;
    readBoxes(
        [&](uint8_t* into, size_t count) {
            const size_t n = std::min(count, size - at);
            std::copy_n(data + at, n, into);
            at += n;
            return n;
        },
        [&](const std::string& type, Bytes&& body) {
            fragments.take(type, body, [&](SoundFragments::Samples&& samples) {
                size_t total = 0;
                for (const auto& sample : samples) total += std::get<2>(sample).size();
                if (type != "mdat" || total > body.size()) std::abort();
            });
            if (fragments.pending.size() > 65536) std::abort();
            if (fragments.timescale == 0) std::abort();
            return true;
        });
    return 0;
}
