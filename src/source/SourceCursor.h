#pragma once

#include "source/PictureSource.h"

#include <optional>

namespace corvel {

// The run's hold on its source: the current picture, made, and the one
// after it, whose time is known first and whose picture is made only when
// it is needed (it becomes current, or an in-between picture wants it).
// With a source that tells its upcoming picture's time (the MP4 decoder)
// the run holds one converted source picture instead of two; with any
// other the next picture is read at once, as the run always did. Used from
// one thread (the run pipeline).
class SourceCursor {
public:
    explicit SourceCursor(PictureSource& source) : source_(source) {}
    SourceCursor(const SourceCursor&) = delete;
    SourceCursor& operator=(const SourceCursor&) = delete;

    // The run's first picture, found by its seek; the one after it comes
    // from the source. Throws EnhanceError (the source's).
    void start(DecodedFrame first);
    // A first picture with nothing after it (a stream's last picture
    // standing in for a run that starts past it).
    void startAlone(DecodedFrame only);
    bool started() const { return cur_.has_value(); }

    // The current picture; only once started.
    const DecodedFrame& current() const { return *cur_; }
    bool hasNext() const { return nextPts_.has_value(); }
    // The next picture's time; only while hasNext().
    double nextPts() const { return *nextPts_; }
    // The next picture itself, made now when it was not yet; only while
    // hasNext(). Throws EnhanceError.
    const DecodedFrame& next();
    // The next picture becomes current (the old one is let go before the
    // new one is made, so the two never take two pool pictures at once);
    // only while hasNext(). Throws EnhanceError.
    void advance();

private:
    // Finds what follows the current picture.
    void lookAhead();

    PictureSource& source_;
    std::optional<DecodedFrame> cur_;
    std::optional<DecodedFrame> next_; // made early: the source cannot tell, or next() asked
    std::optional<double> nextPts_;    // set while a next picture exists
};

} // namespace corvel
