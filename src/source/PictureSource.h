#pragma once

#include "common/PictureShape.h"
#include "common/SourceColor.h"
#include "processing/Picture.h"
#include "processing/PixelFormat.h"

#include <cstdint>
#include <optional>

namespace corvel {

// One decoded picture on the title's clock.
struct DecodedFrame {
    PictureRef buffer; // in the pixel format the source was asked for
    double pts = 0;    // seconds on the title's clock (part start + time within the part)
};

// Where the run takes its pictures from: MP4 parts through the Decoder, or
// TV titles through ffmpeg. Called from one thread (the run pipeline).
class PictureSource {
public:
    virtual ~PictureSource() = default;
    // Positions the source so that the next pictures read are those from
    // about `to` seconds of title time on (earlier ones of the same group of
    // pictures may come first; the caller skips them). Throws EnhanceError.
    virtual void seek(double to) = 0;
    // After a seek: pictures that start before `time` (seconds on the
    // title's clock) will be skipped by the caller, so the source may leave
    // them out of `read` without converting them. Holds until the next seek.
    virtual void skipBefore(double time) { (void)time; }
    // The next picture in presentation order; none at the end of the title.
    // Throws EnhanceError.
    virtual std::optional<DecodedFrame> read() = 0;
    // Whether `upcoming` answers. A source that must make a picture to know
    // its time (ffmpeg's raw frames) does not.
    virtual bool tellsUpcoming() const { return false; }
    // The time (seconds on the title's clock) of the picture the next `read`
    // returns, without making that picture (no conversion, nothing taken
    // from a pool); none at the end of the title. Only where
    // `tellsUpcoming`. Throws EnhanceError.
    virtual std::optional<double> upcoming() { return std::nullopt; }
    virtual SourceColor sourceColor() = 0;
    virtual int sourceBits() = 0;
    // The sample aspect ratio and turn the output must carry so that it is
    // shown as the source is. Sources that deliver square, upright pictures
    // keep the default.
    virtual PictureShape sourceShape() { return {}; }
    // Whether a run that starts after the last picture still plays that
    // picture up to the title's described length: true where the length is
    // only an estimate (a TV stream's probe), so that the segments listed
    // past a stream that ends early are answered.
    virtual bool padsItsTail() const { return false; }
};

} // namespace corvel
