// Feeds arbitrary text to the WebVTT and ASS readers (ffmpeg's output of a
// title's subtitle stream is outside bytes). Cues and events keep finite
// times; the time writer takes whatever they hold.
#include "subtitles/TextSubtitles.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

using namespace corvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const Cue& cue : parseWebVTT(text)) {
        if (!std::isfinite(cue.start) || !std::isfinite(cue.end) || cue.text.empty()) std::abort();
        if (!cue.settings.empty() && cue.settings[0] != ' ') std::abort();
        vttTime(cue.start);
        vttTime(cue.end);
    }
    for (const AssEvent& event : parseAssEvents(text)) {
        if (!std::isfinite(event.start) || !std::isfinite(event.end)) std::abort();
        if (event.rest.find(',') == std::string::npos) std::abort();
    }
    return 0;
}
