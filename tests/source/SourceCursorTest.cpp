#include "source/SourceCursor.h"

#include "common/EnhanceError.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvel {
namespace {

// Pictures at the given times; counts those it made (converted) and can
// tell its upcoming picture's time or not.
class ListedSource final : public PictureSource {
public:
    ListedSource(std::vector<double> times, bool tells) : times_(std::move(times)), tells_(tells) {}
    void seek(double) override { at_ = 0; }
    std::optional<DecodedFrame> read() override {
        if (at_ >= times_.size() || lose_ == at_) return std::nullopt;
        ++made;
        PictureRef picture = makePicture(16, 8);
        fillPicture(*picture, static_cast<int>(at_) + 64, 512, 512); // luma code: which picture
        return DecodedFrame{std::move(picture), times_[at_++]};
    }
    bool tellsUpcoming() const override { return tells_; }
    std::optional<double> upcoming() override {
        if (!tells_ || at_ >= times_.size()) return std::nullopt;
        return times_[at_];
    }
    SourceColor sourceColor() override { return {}; }
    int sourceBits() override { return 8; }
    // read() gives nothing at this index though upcoming() announced it.
    void loseAt(size_t index) { lose_ = index; }

    int made = 0;

private:
    std::vector<double> times_;
    bool tells_;
    size_t at_ = 0;
    size_t lose_ = static_cast<size_t>(-1);
};

int lumaOf(const DecodedFrame& frame) { return frame.buffer->row(0, 0)[0] / 64 - 64; }

// A source that tells its upcoming picture's time: the cursor walks the
// same pictures as reading them one after another, and makes the next one
// only when it becomes current or is asked for. Any other source: the next
// picture is read at once (two made), as the run always did.
TEST(SourceCursor, TheNextPictureIsMadeOnlyWhenNeeded) {
    const std::vector<double> times{0.0, 0.5, 1.0, 1.5};
    for (const bool tells : {true, false}) {
        SCOPED_TRACE(tells ? "source tells the upcoming time" : "source cannot tell");
        ListedSource source(times, tells);
        SourceCursor cursor(source);
        EXPECT_FALSE(cursor.started());
        auto first = source.read();
        ASSERT_TRUE(first.has_value());
        cursor.start(std::move(*first));
        ASSERT_TRUE(cursor.started());
        EXPECT_EQ(source.made, tells ? 1 : 2);
        std::vector<double> seen{cursor.current().pts};
        while (cursor.hasNext()) {
            const double upcoming = cursor.nextPts();
            cursor.advance();
            EXPECT_EQ(cursor.current().pts, upcoming);
            EXPECT_EQ(lumaOf(cursor.current()), static_cast<int>(seen.size()));
            seen.push_back(cursor.current().pts);
            // Made so far: every current picture, plus the next one only
            // for a source that cannot tell.
            const int expected = static_cast<int>(seen.size()) + (!tells && cursor.hasNext() ? 1 : 0);
            EXPECT_EQ(source.made, expected) << "at " << cursor.current().pts;
        }
        EXPECT_EQ(seen, times);
    }
}

// An in-between picture needs the next picture before it is current: made
// once on that demand, and the same picture becomes current afterwards.
TEST(SourceCursor, AskingForTheNextMakesItOnceAndAdvancingKeepsIt) {
    ListedSource source({0.0, 1.0, 2.0}, true);
    SourceCursor cursor(source);
    auto first = source.read();
    cursor.start(std::move(*first));
    EXPECT_EQ(source.made, 1);
    const DecodedFrame& next = cursor.next();
    EXPECT_EQ(next.pts, 1.0);
    EXPECT_EQ(lumaOf(next), 1);
    const Picture* made = next.buffer.get();
    EXPECT_EQ(source.made, 2);
    EXPECT_EQ(cursor.next().buffer.get(), made); // not made again
    cursor.advance();
    EXPECT_EQ(source.made, 2);
    EXPECT_EQ(cursor.current().buffer.get(), made);
    EXPECT_EQ(cursor.nextPts(), 2.0);

    // A lone picture: nothing follows.
    SourceCursor alone(source);
    alone.startAlone(DecodedFrame{makePicture(16, 8), 5.0});
    EXPECT_TRUE(alone.started());
    EXPECT_FALSE(alone.hasNext());
}

// A source that announces a picture and then gives none is at fault: an
// error, not a silent end of the title.
TEST(SourceCursor, AnAnnouncedPictureThatNeverComesIsAnError) {
    ListedSource source({0.0, 1.0, 2.0}, true);
    source.loseAt(1);
    SourceCursor cursor(source);
    auto first = source.read();
    cursor.start(std::move(*first));
    ASSERT_TRUE(cursor.hasNext());
    try {
        cursor.advance();
        FAIL() << "advanced onto a picture that never came";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "The source lost a picture it announced.");
    }
    SourceCursor asked(source);
    source.seek(0);
    source.loseAt(1);
    auto again = source.read();
    asked.start(std::move(*again));
    EXPECT_THROW(asked.next(), EnhanceError);
}

} // namespace
} // namespace corvel
