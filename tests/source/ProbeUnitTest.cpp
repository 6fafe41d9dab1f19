// ffprobe's JSON answer, standard-error lines, ffmpeg's picture arguments
// and the sound plan's treatment: pure functions over text.
#include "source/Child.h"
#include "source/FFmpegPictures.h"
#include "source/SoundPlan.h"
#include "source/TitleProbe.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace corvel {
namespace {

std::string videoStream(const std::string& members) {
    return R"({"streams":[{"codec_type":"video","codec_name":"h264")" + members + "}]}";
}

TEST(ProbeAnswer, PixelFormatGivesDepth) {
    EXPECT_EQ(parseProbe(videoStream(R"(,"pix_fmt":"yuv420p10le")"), 0)->bits, 10);
    EXPECT_EQ(parseProbe(videoStream(R"(,"pix_fmt":"yuv420p")"), 0)->bits, 8);
    EXPECT_EQ(parseProbe(videoStream(R"(,"pix_fmt":"yuv422p12le")"), 0)->bits, 12);
    EXPECT_EQ(parseProbe(videoStream(""), 0)->bits, 8);
}

TEST(ProbeAnswer, SampleAspectRatioIsLimited) {
    auto sar = [](const std::string& ratio) {
        return parseProbe(videoStream(R"(,"sample_aspect_ratio":")" + ratio + "\""), 0)->sar;
    };
    EXPECT_DOUBLE_EQ(sar("4:3"), 4.0 / 3.0);
    EXPECT_DOUBLE_EQ(sar("0:1"), 1.0);
    EXPECT_DOUBLE_EQ(sar("10:1"), 4.0);
    EXPECT_DOUBLE_EQ(sar("1:8"), 0.25);
    EXPECT_DOUBLE_EQ(sar("N/A"), 1.0);
    EXPECT_DOUBLE_EQ(sar("1:2:3"), 1.0);
    EXPECT_DOUBLE_EQ(sar("1e308:1e-308"), 4.0); // overflows to infinity: still limited
}

TEST(ProbeAnswer, ColourComesFromTheFirstVideoStream) {
    auto probe = parseProbe(R"({"streams":[{"codec_type":"audio"},
        {"codec_type":"video","color_primaries":"bt2020","color_transfer":"smpte2084","color_space":"bt2020nc"},
        {"codec_type":"video","color_primaries":"bt709"}]})",
                            0);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->color.primaries, color::kPrimaries2020);
    EXPECT_EQ(probe->color.transfer, color::kTransferPQ);
    EXPECT_EQ(probe->color.matrix, color::kMatrix2020);
    // Without a video stream nothing of the colour is known.
    auto none = parseProbe(R"({"streams":[{"codec_type":"audio","codec_name":"aac"}]})", 0);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->color, SourceColor{});
    EXPECT_EQ(none->bits, 8);
    EXPECT_EQ(none->sar, 1.0);
}

TEST(ProbeAnswer, SoundStreamByOrdinal) {
    const std::string three = R"({"streams":[{"codec_type":"video"},
        {"codec_type":"audio","codec_name":"ac3","channels":6,"sample_rate":"48000"},
        {"codec_type":"audio","codec_name":"aac","sample_rate":"44100"},
        {"codec_type":"audio","sample_rate":"fast","channels":"x"}]})";
    auto second = parseProbe(three, 1)->sound;
    ASSERT_TRUE(second);
    EXPECT_EQ(second->ordinal, 1);
    EXPECT_EQ(second->codec, "aac");
    EXPECT_EQ(second->channels, 2); // absent: stereo
    EXPECT_EQ(second->rateHz, 44100);
    auto beyond = parseProbe(three, 5)->sound;
    EXPECT_EQ(beyond->ordinal, 0);
    EXPECT_EQ(beyond->codec, "ac3");
    EXPECT_EQ(beyond->channels, 6);
    EXPECT_EQ(beyond->rateHz, 48000);
    auto odd = parseProbe(three, 2)->sound;
    EXPECT_EQ(odd->codec, "");
    EXPECT_EQ(odd->rateHz, 0);
    EXPECT_EQ(odd->channels, 2);
    EXPECT_FALSE(parseProbe(R"({"streams":[{"codec_type":"video"}]})", 0)->sound);
}

TEST(ProbeAnswer, AnythingButAnObjectWithStreamsIsRefused) {
    for (const char* text : {"", "nonsense", "[]", "{}", R"({"streams":{}})", "{\"streams\":[", "42"})
        EXPECT_FALSE(parseProbe(text, 0)) << text;
    EXPECT_TRUE(parseProbe(R"({"streams":[]})", 0));
    EXPECT_TRUE(parseProbe(R"({"streams":[1,"x",null]})", 0)); // odd entries are skipped
}

TEST(ProbeAnswer, SubtitleCodecsInStreamOrder) {
    EXPECT_EQ(parseSubtitleCodecs(R"({"streams":[{"codec_name":"subrip"},{},{"codec_name":"hdmv_pgs_subtitle"}]})"),
              (std::vector<std::string>{"subrip", "", "hdmv_pgs_subtitle"}));
    EXPECT_TRUE(parseSubtitleCodecs("garbage").empty());
    EXPECT_TRUE(parseSubtitleCodecs("{}").empty());
}

TEST(ErrorLines, SplitAtEveryLineBreak) {
    auto lines = errorLines("a\nb\rc\vd\fe\xC2\x85" "f\xE2\x80\xA8g\xE2\x80\xA9h\n\n");
    ASSERT_TRUE(lines);
    EXPECT_EQ(*lines, (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g", "h"}));
    EXPECT_EQ(*errorLines("caf\xC3\xA9 bar"), std::vector<std::string>{"caf\xC3\xA9 bar"});
    EXPECT_TRUE(errorLines("\n\r\n")->empty());
    EXPECT_FALSE(errorLines("bad \xFF byte\n"));
    EXPECT_FALSE(errorLines("cut \xE2\x80")); // a character split by the chunk's end
    EXPECT_FALSE(errorLines("\xC0\xAF"));     // overlong
}

TEST(PictureArguments, SeekOnlyAfterTheStart) {
    StreamInfo info;
    info.width = 640;
    info.height = 360;
    info.sourceFpsNum = 30000;
    info.sourceFpsDen = 1001;
    const std::vector<std::string> fromStart{
        "-hide_banner", "-nostdin", "-loglevel", "error", "-hwaccel", "auto", "-i", "in.ts", "-map", "0:v:0",
        "-an", "-sn", "-dn", "-map_chapters", "-1", "-vf", "scale=640:360:flags=lanczos,format=p010le",
        "-fps_mode", "cfr", "-r", "30000/1001", "-f", "rawvideo", "pipe:1"};
    EXPECT_EQ(pictureArguments(info, "in.ts", 0), fromStart);
    auto later = pictureArguments(info, "in.ts", 90.25);
    auto ss = std::find(later.begin(), later.end(), "-ss");
    ASSERT_NE(ss, later.end());
    EXPECT_EQ(*(ss + 1), "90.250000");
    EXPECT_EQ(ss - later.begin(), 6); // before the input
    EXPECT_EQ(later.size(), fromStart.size() + 2);
}

TEST(PictureArguments, PartOfATitleTime) {
    const std::vector<double> offsets{0, 600, 1200};
    EXPECT_EQ(partAt(offsets, 0), 0);
    EXPECT_EQ(partAt(offsets, 599.9), 0);
    EXPECT_EQ(partAt(offsets, 600), 1);
    EXPECT_EQ(partAt(offsets, 5000), 2);
    EXPECT_EQ(partAt({0}, 3), 0);
}

TEST(SoundPlanTreatment, CopyOrTranscodeByTheTable) {
    SoundPlan aac{0, "aac", 2, 48000, false, false};
    EXPECT_TRUE(aac.copies());
    aac.rateHz = 44100;
    EXPECT_EQ(aac.treatment(), SoundPlan::Treatment::aac);
    SoundPlan ac3{0, "ac3", 6, 48000, false, false};
    EXPECT_EQ(ac3.treatment(), SoundPlan::Treatment::copy);
    ac3.aacOnly = true;
    EXPECT_EQ(ac3.treatment(), SoundPlan::Treatment::aac);
    SoundPlan eac3{0, "eac3", 8, 48000, false, false};
    EXPECT_EQ(eac3.treatment(), SoundPlan::Treatment::eac3);
    SoundPlan dts{0, "dts", 6, 48000, false, false};
    EXPECT_EQ(dts.treatment(), SoundPlan::Treatment::eac3);
    dts.small = true;
    EXPECT_EQ(dts.treatment(), SoundPlan::Treatment::aac);
    SoundPlan copied{0, "eac3", 6, 48000, false, false};
    EXPECT_EQ(copied.summary(), "eac3 6 ch at 48000 Hz, copied");
    EXPECT_EQ(dts.summary(), "dts 6 ch at 48000 Hz, to AAC stereo");
    SoundPlan wide{0, "aac", 9, 48000, false, false};
    EXPECT_EQ(wide.treatment(), SoundPlan::Treatment::eac3);
}

} // namespace
} // namespace corvel
