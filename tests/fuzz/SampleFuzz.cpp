// Feeds arbitrary bytes to the two readers of encoder output: the sequence
// parameter set reader behind the hvcC record, and the walk over
// length-prefixed units that builds media segment samples. Neither may read
// out of bounds; a bad SPS is an EnhanceError, and a sample never holds more
// bytes than its picture.
#include "common/EnhanceError.h"
#include "output/HvcC.h"
#include "output/MediaSegment.h"

#include <cstdlib>

using namespace corvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        SpsInfo info = parseSps(data, size);
        if (info.bitDepthLuma < 8 || info.bitDepthLuma > 15 || info.chromaFormatIdc > 3) std::abort();
    } catch (const EnhanceError&) {
    }

    EncodedPicture picture{std::vector<uint8_t>(data, data + size), size > 0 && (data[0] & 1)};
    VideoTrack track;
    auto seg = makeMediaSegment(1, track, 0, {picture}, {});
    // The moof of one picture without sound is 8 + 16 + (8 + 24 + 20 + 28) bytes.
    const size_t moof = 104;
    if (seg.size() < moof + 8 || seg.size() - moof - 8 > size) std::abort();
    return 0;
}
