// The text subtitle cache's bound, on real extractions: ffmpeg reads a small
// Matroska file holding only SubRip streams.
#include "subtitles/TextSubtitles.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace corvel;
using namespace corvel::test;

namespace {

class SubtitleCache : public ::testing::Test {
protected:
    void SetUp() override {
        std::string srt;
        // Twenty cues, so that one track holds a few KiB.
        for (int i = 0; i < 20; ++i) {
            char line[128];
            std::snprintf(line, sizeof line, "%d\n00:00:%02d,000 --> 00:00:%02d,500\nCue number %d of the test\n\n",
                          i + 1, i, i, i);
            srt += line;
        }
        writeFile(dir_.file("a.srt"), srt);
        const std::string mkv = dir_.file("subs.mkv");
        const std::string command = "ffmpeg -nostdin -v error -y -i '" + dir_.file("a.srt") + "' -c:s srt '" + mkv + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        TitlePart part;
        part.url = "file:" + mkv;
        part.localPath = mkv;
        part.durationSec = 20;
        info_.parts = {part};
        info_.partOffsets = {0};
    }

    TempDir dir_;
    StreamInfo info_;
};

TEST_F(SubtitleCache, LeastRecentlyUsedTracksGoPastTheBound) {
    // One track's size, measured on an unbounded cache.
    TextSubtitles measure(SIZE_MAX);
    const std::string reference = measure.segment(info_, "a", 0, 0, 6);
    ASSERT_NE(reference.find("Cue number 3 of the test"), std::string::npos) << reference;
    const size_t one = measure.heldBytes();
    ASSERT_GT(one, 20u * sizeof(Cue));

    // Room for two such tracks, not three.
    TextSubtitles cache(one * 5 / 2);
    EXPECT_EQ(cache.segment(info_, "a", 0, 0, 6), reference);
    EXPECT_EQ(cache.segment(info_, "b", 0, 0, 6), reference);
    EXPECT_EQ(cache.tracksHeld(), 2u);
    EXPECT_EQ(cache.evictions(), 0);
    const int readsBefore = cache.reads();
    EXPECT_EQ(cache.segment(info_, "a", 0, 0, 6), reference); // "a" is now the most recently used
    EXPECT_EQ(cache.reads(), readsBefore);

    cache.segment(info_, "c", 0, 0, 6);
    EXPECT_EQ(cache.tracksHeld(), 2u);
    EXPECT_EQ(cache.evictions(), 1);
    EXPECT_LE(cache.heldBytes(), one * 5 / 2);

    // "a" survived; "b" was dropped and is read again, with the same cues.
    const int readsAfter = cache.reads();
    EXPECT_EQ(cache.segment(info_, "a", 0, 0, 6), reference);
    EXPECT_EQ(cache.reads(), readsAfter);
    EXPECT_EQ(cache.segment(info_, "b", 0, 0, 6), reference);
    EXPECT_EQ(cache.reads(), readsAfter + 1);
    EXPECT_EQ(cache.evictions(), 2); // "c" made room for it
}

TEST_F(SubtitleCache, ATrackLargerThanTheBoundIsStillAnswered) {
    TextSubtitles cache(1);
    const std::string first = cache.segment(info_, "a", 0, 0, 6);
    EXPECT_NE(first.find("Cue number 5 of the test"), std::string::npos) << first;
    const std::string second = cache.segment(info_, "b", 0, 12, 18);
    EXPECT_NE(second.find("Cue number 15 of the test"), std::string::npos) << second;
    EXPECT_EQ(second.find("Cue number 5 of"), std::string::npos) << second;
    // Only the track just read is kept; "a" went to make room.
    EXPECT_EQ(cache.tracksHeld(), 1u);
    EXPECT_GE(cache.evictions(), 1);
}

} // namespace
