#pragma once

#include "common/PictureShape.h"
#include "common/SourceColor.h"
#include "source/HTTPClient.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvel {

// One coded picture of a track.
struct Sample {
    uint64_t offset = 0; // byte offset in the part's file
    uint32_t size = 0;   // bytes
    double pts = 0;      // presentation time in seconds from the start of the part
    bool sync = false;   // a random-access (key) picture
};

// What the decoder needs to be set up for a track: codec, size, the
// configuration record and colour. Two tracks with equal formats can share
// one decoder session.
struct VideoFormat {
    std::string codecType;  // "avc1" (H.264) or "hvc1" (HEVC)
    int width = 0;          // from the sample entry, pixels
    int height = 0;
    std::string configType; // "avcC" or "hvcC"
    Data config;            // the configuration box's body
    SourceColor color;

    bool operator==(const VideoFormat&) const = default;
};

// The video track of one MP4 part, read through HTTP range requests: its
// format, colour, depth and every sample in decode order.
class Mp4Track {
public:
    // Reads the description of the part at `url` (the movie box at the front
    // or at the end). `fileName` is used only in messages. Throws EnhanceError.
    Mp4Track(std::string url, std::string fileName);

    // Parses a movie box already in memory (`movie` starts with the moov box's
    // header) of a file of `fileLength` bytes. Throws EnhanceError as above.
    Mp4Track(std::string url, std::string fileName, const Data& movie, uint64_t fileLength);

    std::string url;
    std::optional<VideoFormat> format;
    SourceColor color;          // from the sample entry's nclx colr box
    bool fullRange = false;     // the colr box's full-range flag (codes 0 ... 2^bits - 1)
    PictureShape shape;         // the sample entry's pasp box and the track header's matrix
    int bits = 8;               // luma bit depth
    std::vector<Sample> samples; // decode order
    int reorder = 0;            // how far decode order runs ahead of presentation order

private:
    void parse(const Data& movie, uint64_t fileLength);
    void parseSampleTable(const Data& data, size_t stblStart, size_t stblEnd, uint32_t timeScale,
                          int64_t mediaStart, double delay, uint64_t fileLength);
    [[noreturn]] void damaged() const;

    std::string fileName_;
};

} // namespace corvel
