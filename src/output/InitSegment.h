#pragma once

#include "common/PictureShape.h"
#include "common/SourceColor.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace corvel {

// The output track that both segment writers describe.
struct VideoTrack {
    int width = 0;              // coded width of the output pictures
    int height = 0;             // coded height
    uint32_t timescale = 60;    // media time units per second (frame rate numerator)
    uint32_t frameDuration = 1; // one picture in timescale units (frame rate denominator)
    std::vector<uint8_t> hvcC;  // the hvcC box payload, as the encoder's format holds it
    SourceColor color;
    std::optional<std::vector<uint8_t>> masteringDisplay;  // mdcv payload, 24 bytes
    std::optional<std::vector<uint8_t>> contentLightLevel; // clli payload, 4 bytes
    std::optional<std::vector<uint8_t>> soundEntry; // a complete sound sample entry box
    // The source's sample aspect ratio (a pasp box, and the track header's
    // width at the shown width, when the samples are not square) and its turn
    // (the track header's matrix).
    PictureShape shape;

    bool operator==(const VideoTrack&) const = default;
};

// The colour code points of ISO/IEC 23091-2 for the colr box and the VUI.
struct NclxCodes {
    uint16_t primaries = 1;
    uint16_t transfer = 1;
    uint16_t matrix = 1;
};
// Each colour constant looked up in its own table; absent or unknown ones
// (BT.709 among them) give 1.
NclxCodes nclx(const SourceColor& color);

// The initialisation segment: ftyp and a moov with the video track, the
// sound track when the track has a sound entry, empty sample tables and
// mvex. `durationFrames` is the title's frame count at the output rate.
std::vector<uint8_t> makeInitSegment(const VideoTrack& track, uint64_t durationFrames);

} // namespace corvel
