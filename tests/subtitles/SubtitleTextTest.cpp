// WebVTT and ASS text as ffmpeg writes it: cues, events, times.
#include "subtitles/TextSubtitles.h"

#include <gtest/gtest.h>

namespace corvel {
namespace {

TEST(WebVTT, CuesWithSettingsAndMultiLineText) {
    const std::string text = "WEBVTT\r\n\r\n00:00:01.500 --> 00:00:03.000 line:0 align:start\r\nFirst\r\nsecond row\r\n\r\n"
                             "note\n01:02:03.500 --> 01:02:04.000\n<i>Third</i>\n\n"
                             "02:03.5 --> 02:04.0\nshort times\n";
    auto cues = parseWebVTT(text);
    ASSERT_EQ(cues.size(), 3u);
    EXPECT_DOUBLE_EQ(cues[0].start, 1.5);
    EXPECT_DOUBLE_EQ(cues[0].end, 3.0);
    EXPECT_EQ(cues[0].settings, " line:0 align:start");
    EXPECT_EQ(cues[0].text, "First\nsecond row");
    EXPECT_DOUBLE_EQ(cues[1].start, 3723.5); // a line before the timing line is allowed
    EXPECT_EQ(cues[1].settings, "");
    EXPECT_EQ(cues[1].text, "<i>Third</i>");
    EXPECT_DOUBLE_EQ(cues[2].start, 123.5);
    EXPECT_EQ(cues[2].text, "short times");
}

TEST(WebVTT, MalformedCuesAreSkipped) {
    const std::string text = "WEBVTT\n\n"
                             "00:00:01.000 --> 00:00:02.000\n\n"                      // no text
                             "00:00:0x.000 --> 00:00:02.000\nbad number\n\n"          // not a number
                             "00:00:01.000 --> 00:00:02.000 --> 00:00:03.000\nthree\n\n" // three pieces
                             "just text\n\n"                                          // no timing
                             "00:00:05.000 --> 00:00:06.000\nkept\n";
    auto cues = parseWebVTT(text);
    ASSERT_EQ(cues.size(), 1u);
    EXPECT_EQ(cues[0].text, "kept");
    EXPECT_TRUE(parseWebVTT("").empty());
    EXPECT_TRUE(parseWebVTT("\n\n\n\n --> ").empty());
}

TEST(AssEvents, DialogueLinesOnly) {
    const std::string text =
        "[Script Info]\r\nTitle: x\r\n[Events]\r\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, "
        "MarginV, Effect, Text\r\n"
        "Dialogue: 0,0:01:03.50,0:01:05.50,Default,,0,0,0,,{\\i1}Hello{\\i0}, world\r\n"
        "Comment: 0,0:00:00.00,0:00:01.00,Default,,0,0,0,,not an event\n"
        "Dialogue: 2 ,0:00:01.00,0:00:0x.00,Default,,0,0,0,,bad end\x0B"
        "Dialogue: 1,0:00:02.00\xC2\x85"
        "Dialogue: 1,0:00:04.00,0:00:05.00,Top,Actor,0,0,0,,Last\n";
    auto events = parseAssEvents(text);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_DOUBLE_EQ(events[0].start, 63.5);
    EXPECT_DOUBLE_EQ(events[0].end, 65.5);
    EXPECT_EQ(events[0].rest, "0,Default,,0,0,0,,{\\i1}Hello{\\i0}, world");
    EXPECT_DOUBLE_EQ(events[1].start, 4.0);
    EXPECT_EQ(events[1].rest, "1,Top,Actor,0,0,0,,Last");
    // Bytes that are not UTF-8 do not lose the lines around them.
    EXPECT_EQ(parseAssEvents("Dialogue: 0,0:00:01.00,0:00:02.00,a\xFF\nDialogue: 0,1,2,b\n").size(), 2u);
}

TEST(VttTime, RoundsAndClamps) {
    EXPECT_EQ(vttTime(-3), "00:00:00.000");
    EXPECT_EQ(vttTime(3723.4567), "01:02:03.457");
    EXPECT_EQ(vttTime(3610.0), "01:00:10.000");
    EXPECT_EQ(vttTime(59.9996), "00:01:00.000");
    EXPECT_EQ(vttTime(std::numeric_limits<double>::quiet_NaN()), "00:00:00.000");
    EXPECT_EQ(vttTime(360000), "100:00:00.000");
}

TEST(BitmapSubtitles, AreKnownByCodec) {
    EXPECT_TRUE(isBitmapSubtitle("hdmv_pgs_subtitle"));
    EXPECT_TRUE(isBitmapSubtitle("dvb_subtitle"));
    EXPECT_TRUE(isBitmapSubtitle("dvd_subtitle"));
    EXPECT_FALSE(isBitmapSubtitle("subrip"));
    EXPECT_FALSE(isBitmapSubtitle("ass"));
    EXPECT_FALSE(isBitmapSubtitle("mov_text"));
}

} // namespace
} // namespace corvel
