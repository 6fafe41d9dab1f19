#pragma once

#include "processing/Picture.h"

#include <memory>

struct AVFrame;
struct SwsContext;

namespace corvel {

// Turns decoded frames of any format, range and size that libavcodec gives
// into the picture layout (10-bit 4:2:0, video range) at one target size.
// The common cases (8- or 10-bit 4:2:0 at the target size) are plain loops;
// the rest go through libswscale. One per decoder; not thread-safe.
class PictureConverter {
public:
    PictureConverter();
    ~PictureConverter();
    PictureConverter(const PictureConverter&) = delete;
    PictureConverter& operator=(const PictureConverter&) = delete;

    // Writes `frame` into `picture`, whose size is the target. `fullRange`
    // says how to read codes whose frame does not say (the container's flag).
    // A frame of another shape than the picture is scaled to fit inside it,
    // centred, with video-range black in the bars; one whose shape differs by
    // under 1 % is scaled to fill it. Throws EnhanceError for a format
    // libswscale cannot read.
    void convert(const AVFrame& frame, bool fullRange, Picture& picture);

    // Frames that needed libswscale so far (for tests and logs).
    int scaled() const { return scaled_; }

private:
    struct SwsDeleter {
        void operator()(SwsContext* context) const;
    };
    struct Setup {
        int format = -1, width = 0, height = 0, outWidth = 0, outHeight = 0;
        bool fullRange = false;
        bool operator==(const Setup&) const = default;
    };
    SwsContext* context(const Setup& setup);

    std::unique_ptr<SwsContext, SwsDeleter> sws_;
    Setup setup_;
    int scaled_ = 0;
};

} // namespace corvel
