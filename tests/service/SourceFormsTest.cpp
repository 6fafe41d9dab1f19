// Titles whose pictures are not plain 8- or 10-bit 4:2:0 at the size the
// media server reports, played to the end by a real HLS client: full-range
// codes, other sample formats, parts of other sizes, non-square samples and
// turned pictures.
#include "service/ServiceFixture.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

using namespace corvel;
using namespace corvel::test;

namespace {

class SourceForms : public ServiceFixture {
protected:
    // Plays a title with ffmpeg's HLS client into an MP4 (stream copy) and
    // returns its path; ffmpeg's complaints fail the test.
    std::string play(const std::string& item) {
        const std::string out = work_.file(item + "-played.mp4");
        EXPECT_EQ(capture("ffmpeg -nostdin -v error -y -i '" + url("/v1/enhanced/" + item + "/index.m3u8") +
                          "' -c copy '" + out + "' 2>&1"),
                  "")
            << item;
        return out;
    }
    // The average PSNR (dB) of the played pictures against the source's, both
    // brought to 8-bit 4:2:0 video range at the source's size first (so a
    // full-range source is compared by what its codes mean).
    static double psnrAgainst(const std::string& played, const std::string& source) {
        std::string text = capture("ffmpeg -nostdin -v info -i '" + played + "' -i '" + source +
                                   "' -lavfi '[0:v]scale=out_range=tv,format=yuv420p[x];"
                                   "[1:v]scale=out_range=tv,format=yuv420p[y];[x][y]psnr' -f null - 2>&1");
        std::smatch m;
        if (!std::regex_search(text, m, std::regex(R"(PSNR .*average:([0-9.]+|inf))"))) {
            ADD_FAILURE() << text;
            return -1;
        }
        return m[1] == "inf" ? 1000 : std::stod(m[1]);
    }
    static std::string probe(const std::string& file, const std::string& entries) {
        return capture("ffprobe -v error -select_streams v:0 -show_entries " + entries + " -of default=nw=1 '" +
                       file + "'");
    }
    static std::string clip(const std::string& name, const std::string& size, const std::string& codec) {
        return cachedClip(name, "-f lavfi -i testsrc2=size=" + size + ":rate=25:duration=1 " + codec + " {out}");
    }
    void expectHealthy() {
        auto s = status();
        EXPECT_EQ(s["last_error"], nullptr) << s.dump();
    }
};

const std::string kH264 = "-c:v libx264 -preset veryfast -bf 2 -g 25 ";

} // namespace

// Full-range codes are carried at video range: the played title is as close
// to its source as a normal one (before, its blacks fell below legal black
// and its whites were clipped: about 29 dB).
TEST_F(SourceForms, FullRangeTitlePlaysAsCloseToItsSourceAsANormalOne) {
    const std::string full = clip("forms-full.mp4", "320x180", kH264 + "-pix_fmt yuvj420p");
    const std::string normal = clip("forms-normal.mp4", "320x180", kH264 + "-pix_fmt yuv420p");
    std::filesystem::copy_file(full, folder_.file("full.mp4"));
    std::filesystem::copy_file(normal, folder_.file("normal.mp4"));
    for (const char* item : {"full", "normal"}) {
        SCOPED_TRACE(item);
        startService();
        const std::string played = play(item);
        EXPECT_EQ(ffprobeFrameTimes(played).size(), 25u);
        EXPECT_NE(probe(played, "stream=color_range").find("color_range=tv"), std::string::npos);
        EXPECT_GE(psnrAgainst(played, folder_.file(std::string(item) + ".mp4")), 40.0);
        expectHealthy();
    }
}

// 4:2:2, 4:4:4 and grey titles play every picture (before, each picture
// failed and the player heard "The title ended before this segment.").
TEST_F(SourceForms, FourTwoTwoFourFourFourAndGreyTitlesPlay) {
    const std::string x265 = "-c:v libx265 -preset ultrafast -x265-params log-level=error:bframes=2:keyint=25 "
                             "-tag:v hvc1 ";
    std::filesystem::copy_file(clip("forms-422.mp4", "320x180", kH264 + "-pix_fmt yuv422p"), folder_.file("s422.mp4"));
    std::filesystem::copy_file(clip("forms-444.mp4", "320x180", kH264 + "-pix_fmt yuv444p"), folder_.file("s444.mp4"));
    std::filesystem::copy_file(clip("forms-grey.mp4", "320x180", x265 + "-pix_fmt gray"), folder_.file("grey.mp4"));
    for (const char* item : {"s422", "s444", "grey"}) {
        SCOPED_TRACE(item);
        startService();
        const std::string played = play(item);
        EXPECT_EQ(ffprobeFrameTimes(played).size(), 25u);
        EXPECT_NE(probe(played, "stream=pix_fmt").find("pix_fmt=yuv420p10le"), std::string::npos);
        EXPECT_GE(psnrAgainst(played, folder_.file(std::string(item) + ".mp4")), 38.0);
        expectHealthy();
    }
}

// Every picture comes out at the title's size: a second part of another size
// (before: "VideoToolbox encode: -1"), and a stream smaller than the media
// server says.
TEST_F(SourceForms, PicturesOfAnotherSizeAreBroughtToTheTitleSize) {
    std::filesystem::create_directories(folder_.file("mixed"));
    std::filesystem::copy_file(clip("forms-a.mp4", "320x180", kH264 + "-pix_fmt yuv420p"), folder_.file("mixed/a.mp4"));
    std::filesystem::copy_file(clip("forms-b.mp4", "256x144", kH264 + "-pix_fmt yuv420p"), folder_.file("mixed/b.mp4"));
    startService();
    std::string played = play("mixed");
    EXPECT_EQ(ffprobeFrameTimes(played).size(), 50u);
    std::string frames = capture("ffprobe -v error -select_streams v:0 -show_entries frame=width,height -of csv=p=0 '" +
                                 played + "'");
    EXPECT_EQ(std::count(frames.begin(), frames.end(), '\n'), 50);
    EXPECT_EQ(frames.find_first_not_of("320,180\n"), std::string::npos) << frames;
    expectHealthy();

    std::filesystem::copy_file(folder_.file("mixed/a.mp4"), folder_.file("small.mp4"));
    addSidecar("bigger", "small.mp4", 640, 360, 25, 1);
    startService();
    played = play("bigger");
    EXPECT_EQ(ffprobeFrameTimes(played).size(), 25u);
    EXPECT_NE(probe(played, "stream=width,height").find("width=640\nheight=360"), std::string::npos);
    expectHealthy();
}

// Non-square samples keep their shape (the init segment's pasp box and the
// stream's VUI), and a turned source keeps its turn in the track matrix.
TEST_F(SourceForms, AnamorphicAndTurnedTitlesAreShownAsTheirSources) {
    std::filesystem::copy_file(
        clip("forms-anamorphic.mp4", "720x480", "-vf setsar=32/27 " + kH264 + "-pix_fmt yuv420p -t 0.4"),
        folder_.file("anamorphic.mp4"));
    startService();
    std::string played = play("anamorphic");
    // The shape the decoder reads from the stream itself...
    std::string frame = capture("ffprobe -v error -select_streams v:0 -read_intervals %+#1 -show_entries "
                                "frame=sample_aspect_ratio -of default=nw=1 '" + played + "'");
    EXPECT_NE(frame.find("sample_aspect_ratio=32:27"), std::string::npos) << frame;
    // ...and the one the init segment declares.
    auto init = get("/v1/enhanced/anamorphic/init.mp4");
    ASSERT_EQ(init.status, 200);
    writeFile(work_.file("init.mp4"), init.body);
    std::string declared = probe(work_.file("init.mp4"), "stream=sample_aspect_ratio,display_aspect_ratio");
    EXPECT_NE(declared.find("sample_aspect_ratio=32:27"), std::string::npos) << declared;
    EXPECT_NE(declared.find("display_aspect_ratio=16:9"), std::string::npos) << declared;
    expectHealthy();

    const std::string upright = clip("forms-upright.mp4", "320x180", kH264 + "-pix_fmt yuv420p");
    const std::string turned = cachedClip("forms-turned.mp4", "-i '" + upright + "' -c copy -metadata:s:v:0 rotate=90 {out}");
    std::filesystem::copy_file(turned, folder_.file("turned.mp4"));
    const std::string sourceTurn = probe(turned, "stream_side_data=rotation");
    ASSERT_NE(sourceTurn.find("rotation="), std::string::npos) << sourceTurn;
    startService();
    played = play("turned");
    EXPECT_EQ(probe(played, "stream_side_data=rotation"), sourceTurn);
    // A player that honours the matrix shows it upright: 180 wide, 320 high.
    std::string shownSize = capture("ffmpeg -nostdin -v info -i '" + played + "' -frames:v 1 -f null - 2>&1");
    EXPECT_NE(shownSize.find("180x320"), std::string::npos) << shownSize;
    expectHealthy();

    // A media server that reports the shown size gets upright pictures of
    // that size, with no turn left to apply.
    addSidecar("shown", "turned.mp4", 180, 320, 25, 1);
    startService();
    played = play("shown");
    const std::string shownStream = probe(played, "stream=width,height:stream_side_data=rotation");
    EXPECT_NE(shownStream.find("width=180\nheight=320"), std::string::npos) << shownStream;
    EXPECT_EQ(shownStream.find("rotation"), std::string::npos) << shownStream;
    EXPECT_GE(psnrAgainst(played, turned), 38.0);
    expectHealthy();
}
