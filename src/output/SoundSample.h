#pragma once

#include <cstdint>
#include <vector>

namespace corvel {

// One encoded sound access unit for the media segments' sound track.
struct SoundSample {
    int64_t tick = 0;      // start time in 1/48000 s
    uint32_t duration = 0; // in 1/48000 s
    std::vector<uint8_t> data;
};

} // namespace corvel
