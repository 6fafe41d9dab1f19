// Subtitle answers over HTTP on a real Matroska title with a SubRip and an
// ASS stream, and on a title with a bitmap stream; ffmpeg extracts them.
#include "service/ServiceFixture.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace corvel;
using namespace corvel::test;

namespace {

class Subtitles : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        std::filesystem::copy_file(clips::tvMkv(), folder_.file("film.mkv"));
        startService();
    }
};

TEST_F(Subtitles, PlaylistLinesUpWithTheVideo) {
    auto list = get("/v1/enhanced/film/subs/0.m3u8?tv=1&hdr=1&fi=1");
    ASSERT_EQ(list.status, 200) << list.body;
    EXPECT_EQ(list.header("Content-Type"), "application/vnd.apple.mpegurl");
    const std::string suffix = "?q=2&hdr=1&sat=100&con=100&mid=50&peak=1000&tv=1&audio=0&maxh=2160";
    std::string expected = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n"
                           "#EXT-X-PLAYLIST-TYPE:VOD\n";
    for (int i = 0; i < 4; ++i) expected += "#EXTINF:1.000000,\n0/" + std::to_string(i) + ".vtt" + suffix + "\n";
    expected += "#EXT-X-ENDLIST\n";
    EXPECT_EQ(list.body, expected);
    // The video playlist of the same title has the same segments.
    auto video = get("/v1/enhanced/film/index.m3u8?tv=1");
    ASSERT_EQ(video.status, 200);
    EXPECT_NE(video.body.find("seg/3.m4s"), std::string::npos);
    EXPECT_EQ(video.body.find("seg/4.m4s"), std::string::npos);
}

TEST_F(Subtitles, WebVttSegmentsInTitleTime) {
    auto first = get("/v1/enhanced/film/subs/0/0.vtt?tv=1");
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(first.header("Content-Type"), "text/vtt; charset=utf-8");
    EXPECT_EQ(first.body, "WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:0,LOCAL:00:00:00.000\n\n"
                          "00:00:00.500 --> 00:00:01.500\nFirst <i>line</i>\n\n");
    auto third = get("/v1/enhanced/film/subs/0/2.vtt?tv=1");
    EXPECT_EQ(third.body, "WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:0,LOCAL:00:00:00.000\n\n"
                          "00:00:02.000 --> 00:00:03.250\nSecond line\n\n");
    // The ASS stream converts to WebVTT too.
    auto styled = get("/v1/enhanced/film/subs/1/1.vtt?tv=1");
    EXPECT_NE(styled.body.find("00:00:01.000 --> 00:00:02.000"), std::string::npos) << styled.body;
    EXPECT_NE(styled.body.find("Styled"), std::string::npos) << styled.body;
    EXPECT_EQ(get("/v1/enhanced/film/subs/0/9.vtt?tv=1").body, "not found\n");
    EXPECT_EQ(get("/v1/enhanced/film/subs/x.m3u8?tv=1").body, "not found\n");
    auto past = get("/v1/enhanced/film/subs/5/0.vtt?tv=1");
    EXPECT_EQ(past.status, 404);
    EXPECT_EQ(past.body, "no such subtitle track\n");
}

TEST_F(Subtitles, AssHeaderAndEventWindows) {
    auto head = get("/v1/enhanced/film/subs/1/head.ass?tv=1");
    ASSERT_EQ(head.status, 200) << head.body;
    EXPECT_EQ(head.header("Content-Type"), "text/x-ssa; charset=utf-8");
    EXPECT_NE(head.body.find("[Script Info]"), std::string::npos) << head.body;
    EXPECT_NE(head.body.find("Format: Layer, Start, End"), std::string::npos) << head.body;
    EXPECT_EQ(head.body.find("Dialogue:"), std::string::npos) << head.body;

    auto events = get("/v1/enhanced/film/subs/1/events?tv=1&from=-5");
    ASSERT_EQ(events.status, 200) << events.body;
    EXPECT_EQ(events.body, "; covered\n1000,1000,0,0,Default,,0,0,0,,{\\i1}Styled{\\i0} words\\Nsecond row\n");
    EXPECT_EQ(get("/v1/enhanced/film/subs/1/events?tv=1&from=1.5&to=1.9").body, events.body);
    EXPECT_EQ(get("/v1/enhanced/film/subs/1/events?tv=1&from=2.5&to=3").body, "; covered\n");
    auto backwards = get("/v1/enhanced/film/subs/1/events?tv=1&from=20&to=10");
    EXPECT_EQ(backwards.status, 400);
    EXPECT_EQ(backwards.body, "from must come before to\n");
    // SubRip is no ASS stream.
    EXPECT_EQ(get("/v1/enhanced/film/subs/0/events?tv=1").body, "no such ASS track\n");
    EXPECT_EQ(get("/v1/enhanced/film/subs/0/head.ass?tv=1").body, "no such ASS track\n");
}

TEST_F(Subtitles, CoveredWindowsNeedNoNewExtraction) {
    ASSERT_EQ(get("/v1/enhanced/film/subs/0/0.vtt?tv=1").status, 200);
    // Every later window of this short title lies inside the first read
    // (0 ... 135 s, complete from 0 since the read started at the part's start).
    EXPECT_EQ(service_->subtitleCache().reads(), 1);
    for (int k = 1; k < 4; ++k) ASSERT_EQ(get("/v1/enhanced/film/subs/0/" + std::to_string(k) + ".vtt?tv=1").status, 200);
    EXPECT_EQ(service_->subtitleCache().reads(), 1);
    // Another stream is read on its own.
    ASSERT_EQ(get("/v1/enhanced/film/subs/1/0.vtt?tv=1").status, 200);
    EXPECT_EQ(service_->subtitleCache().reads(), 2);
}

TEST_F(Subtitles, BitmapStreamsAreNotOfferedAsText) {
    // ffmpeg encodes no bitmap subtitles from text: a PGS stream of our own
    // (presentation composition and end segments, 320x180, one a second)
    // is muxed beside the video.
    std::string sup;
    auto segment = [&](uint32_t pts, uint8_t type, const std::string& body) {
        sup += "PG";
        for (int shift : {24, 16, 8, 0}) sup += static_cast<char>(pts >> shift);
        sup += std::string(4, '\0'); // decoding time
        sup += static_cast<char>(type);
        sup += static_cast<char>(body.size() >> 8);
        sup += static_cast<char>(body.size() & 0xFF);
        sup += body;
    };
    for (int i = 0; i < 4; ++i) {
        const std::string composition{'\x01', '\x40', '\x00', '\xB4', '\x10', '\x00', static_cast<char>(i),
                                      '\x80', '\x00', '\x00', '\x00'};
        segment(90000u * i, 0x16, composition);
        segment(90000u * i, 0x80, "");
    }
    writeFile(work_.file("bitmap.sup"), sup);
    addClip("bitmap.mkv", "-f lavfi -i testsrc2=size=320x180:rate=25:duration=2 -i '" + work_.file("bitmap.sup") +
                              "' -map 0 -map 1 -c:v libx264 -preset veryfast -c:s copy {out}");
    auto vtt = get("/v1/enhanced/bitmap/subs/0/0.vtt?tv=1");
    EXPECT_EQ(vtt.status, 404);
    EXPECT_EQ(vtt.body, "no such subtitle track\n");
    EXPECT_EQ(get("/v1/enhanced/bitmap/subs/0/head.ass?tv=1").body, "no such ASS track\n");
}

} // namespace
