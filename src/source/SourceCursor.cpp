#include "source/SourceCursor.h"

#include "common/EnhanceError.h"

namespace corvel {

void SourceCursor::start(DecodedFrame first) {
    cur_ = std::move(first);
    lookAhead();
}

void SourceCursor::startAlone(DecodedFrame only) {
    cur_ = std::move(only);
    next_.reset();
    nextPts_.reset();
}

// Sets both next_ and nextPts_ afresh.
void SourceCursor::lookAhead() {
    next_.reset();
    if (source_.tellsUpcoming()) {
        nextPts_ = source_.upcoming();
        return;
    }
    next_ = source_.read();
    nextPts_.reset();
    if (next_) nextPts_ = next_->pts;
}

const DecodedFrame& SourceCursor::next() {
    if (!next_) {
        next_ = source_.read();
        // The source said a picture comes, then gave none: a source fault,
        // not the title's end, which `upcoming` would have said.
        if (!next_) throw EnhanceError("The source lost a picture it announced.");
    }
    return *next_;
}

void SourceCursor::advance() {
    if (next_) {
        cur_ = std::move(next_);
    } else {
        cur_.reset(); // its pool picture goes back before the next is taken
        cur_ = source_.read();
        if (!cur_) throw EnhanceError("The source lost a picture it announced.");
    }
    lookAhead();
}

} // namespace corvel
