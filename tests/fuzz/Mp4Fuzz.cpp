// The MP4 box walk and the movie-box / sample-table parser on arbitrary
// bytes: every input must end in a track or an EnhanceError, never in a read
// outside the buffer.
#include "common/EnhanceError.h"
#include "source/Mp4Boxes.h"
#include "source/Mp4Track.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    corvel::Data bytes(data, data + size);
    for (const auto& box : corvel::boxes(bytes, 0)) corvel::child(bytes, {"trak", "mdia", "minf"}, box.body, box.end);
    corvel::pictureBits(bytes, false);
    corvel::pictureBits(bytes, true);
    try {
        corvel::Mp4Track track("http://127.0.0.1/fuzz.mp4", "fuzz.mp4", bytes, size);
        uint64_t sum = 0;
        for (const auto& sample : track.samples) sum += sample.offset + sample.size;
        (void)sum;
    } catch (const corvel::EnhanceError&) {
    }
    return 0;
}
