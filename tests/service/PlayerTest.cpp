// A real HLS client plays a title through the service to the end.
#include "processing/ShaderDirectory.h"
#include "service/ServiceFixture.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <atomic>
#include <thread>

using namespace corvel;
using namespace corvel::test;

namespace {

class Player : public ServiceFixture {};

double averagePsnr(const std::string& ffmpegOutput) {
    std::smatch m;
    if (!std::regex_search(ffmpegOutput, m, std::regex(R"(PSNR .*average:([0-9.]+|inf))"))) return -1;
    return m[1] == "inf" ? 1000 : std::stod(m[1]);
}

} // namespace

TEST_F(Player, FfmpegPlaysATwoPartTitleToTheEnd) {
    // Two 5-second parts of one 640x360 H.264 title with B-frames.
    std::filesystem::create_directories(folder_.file("two"));
    const std::string source = "-f lavfi -i testsrc2=size=640x360:rate=25:duration=10 ";
    const std::string codec = " -c:v libx264 -preset veryfast -bf 2 -g 50 -pix_fmt yuv420p {out}";
    std::string a = cachedClip("two-a.mp4", source + "-t 5" + codec);
    std::string b = cachedClip("two-b.mp4", source + "-ss 5 -t 5" + codec);
    std::filesystem::copy_file(a, folder_.file("two/a.mp4"));
    std::filesystem::copy_file(b, folder_.file("two/b.mp4"));
    startService();

    const std::string out = work_.file("played.mp4");
    std::string errors = capture("ffmpeg -nostdin -v error -y -i '" + url("/v1/enhanced/two/index.m3u8") +
                                 "' -c copy '" + out + "' 2>&1");
    EXPECT_EQ(errors, "");

    // Every picture of the title, at the title's rate.
    auto times = ffprobeFrameTimes(out);
    ASSERT_EQ(times.size(), 250u);
    for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(times[i], static_cast<double>(i) / 25, 0.001) << i;
    std::string stream = capture("ffprobe -v error -select_streams v:0 -show_entries "
                                 "stream=codec_name,profile,pix_fmt,width,height -of default=nw=1 '" + out + "'");
    EXPECT_NE(stream.find("codec_name=hevc"), std::string::npos) << stream;
    EXPECT_NE(stream.find("profile=Main 10"), std::string::npos) << stream;
    EXPECT_NE(stream.find("pix_fmt=yuv420p10le"), std::string::npos) << stream;
    EXPECT_NE(stream.find("width=640"), std::string::npos) << stream;

    // Decodes without error and stays close to the source pictures.
    writeFile(work_.file("list.txt"), "file '" + a + "'\nfile '" + b + "'\n");
    std::string psnr = capture("ffmpeg -nostdin -v info -i '" + out + "' -f concat -safe 0 -i '" +
                               work_.file("list.txt") +
                               "' -lavfi '[0:v]format=yuv420p[x];[1:v]format=yuv420p[y];[x][y]psnr' -f null - 2>&1");
    double db = averagePsnr(psnr);
    EXPECT_GE(db, 38.0) << psnr;

    auto s = status();
    EXPECT_EQ(s["item"], "two");
    EXPECT_EQ(s["width"], 640);
    EXPECT_EQ(s["why"], "no frame interpolation asked: frames pass through at 25.000 fps");
    EXPECT_EQ(s["last_error"], nullptr);
}

TEST_F(Player, UpscaledLiftedDeepenedStreamPlays) {
    addClip("sdr360.mp4", "-f lavfi -i testsrc2=size=640x360:rate=25:duration=2 -c:v libx264 "
                          "-preset veryfast -bf 2 -g 25 -pix_fmt yuv420p -color_primaries bt709 "
                          "-color_trc bt709 -colorspace bt709 {out}");
    startService();
    const std::string out = work_.file("enhanced.mp4");
    std::string errors = capture("ffmpeg -nostdin -v error -y -i '" +
                                 url("/v1/enhanced/sdr360/index.m3u8?up=bicubic&hdr=1&blacks=1") +
                                 "' -c copy '" + out + "' 2>&1");
    EXPECT_EQ(errors, "");
    std::string stream = capture("ffprobe -v error -select_streams v:0 -show_entries "
                                 "stream=width,height,color_primaries,color_transfer,color_space "
                                 "-of default=nw=1 '" + out + "'");
    EXPECT_NE(stream.find("width=1280"), std::string::npos) << stream;
    EXPECT_NE(stream.find("height=720"), std::string::npos) << stream;
    EXPECT_NE(stream.find("color_primaries=bt2020"), std::string::npos) << stream;
    EXPECT_NE(stream.find("color_transfer=smpte2084"), std::string::npos) << stream;
    EXPECT_NE(stream.find("color_space=bt2020nc"), std::string::npos) << stream;
    std::string frame = capture("ffprobe -v error -select_streams v:0 -read_intervals %+#1 -show_frames '" +
                                out + "'");
    EXPECT_NE(frame.find("Mastering display metadata"), std::string::npos) << frame;
    EXPECT_NE(frame.find("Content light level metadata"), std::string::npos) << frame;
    EXPECT_EQ(ffprobeFrameTimes(out).size(), 50u);
    // The whole stream decodes.
    EXPECT_EQ(capture("ffmpeg -nostdin -v error -i '" + out + "' -f null - 2>&1"), "");

    auto s = status();
    EXPECT_EQ(s["upscale"], true);
    EXPECT_EQ(s["upscaler"], "bicubic (Catmull-Rom)");
    EXPECT_EQ(s["hdr_used"], true);
    EXPECT_EQ(s["blacks"], true);
    EXPECT_EQ(s["out_width"], 1280);
    EXPECT_GE(s["black_floor"].get<double>(), 0.0); // measured
    EXPECT_EQ(s["last_error"], nullptr);
}

TEST_F(Player, InterpolationDoublesTheRateWithExactTimes) {
    // A 25 fps title with steady motion (the test pattern scrolls) asked for
    // with fi=1 is served at 50 fps: every source picture plus one made
    // between each pair, and the made ones sit between their neighbours.
    addClip("fi25s.mp4", "-f lavfi -i testsrc2=size=320x180:rate=25:duration=1 -c:v libx264 "
                        "-preset veryfast -bf 2 -g 25 -pix_fmt yuv420p {out}");
    startService();
    const std::string out = work_.file("doubled.mp4");
    std::string errors = capture("ffmpeg -nostdin -v error -y -i '" + url("/v1/enhanced/fi25s/index.m3u8?fi=1") +
                                 "' -c copy '" + out + "' 2>&1");
    EXPECT_EQ(errors, "");
    auto times = ffprobeFrameTimes(out);
    ASSERT_EQ(times.size(), 50u);
    for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(times[i], static_cast<double>(i) / 50, 0.001) << i;
    for (size_t i = 1; i < times.size(); ++i) ASSERT_GT(times[i], times[i - 1]) << i;

    // The in-between pictures are new pictures, not repeats: a source
    // picture and the made one after it differ about as much as the made
    // one and the next source picture (a repeat would differ by coding
    // noise only). Frame pairs (n-1, n) for n = 1 ... 40.
    std::string diffs = capture(
        "ffmpeg -nostdin -v error -i '" + out + "' -lavfi "
        "'[0:v]format=yuv420p,split[a][b];[b]trim=start_frame=1,setpts=PTS-STARTPTS[c];"
        "[a][c]psnr=stats_file=-' -frames:v 40 -f null - 2>/dev/null");
    std::regex mse(R"(n:([0-9]+) mse_avg:([0-9.]+))");
    double intoMade = 0, outOfMade = 0;
    int pairs = 0;
    for (std::sregex_iterator it(diffs.begin(), diffs.end(), mse), end; it != end; ++it) {
        const int n = std::stoi((*it)[1]);
        (n % 2 == 1 ? intoMade : outOfMade) += std::stod((*it)[2]);
        ++pairs;
    }
    EXPECT_GE(pairs, 38) << diffs;
    EXPECT_GT(intoMade, 0.4 * outOfMade) << diffs;
    EXPECT_GT(outOfMade, 0.4 * intoMade) << diffs;

    // The run's counts are stored when it reaches the end of the title,
    // just after the last segment went out.
    for (int i = 0; i < 100 && status()["running"] == true; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto s = status();
    EXPECT_EQ(s["fi"], true);
    EXPECT_EQ(s["fps"], 50.0);
    EXPECT_EQ(s["why"], "frame interpolation 25.000 -> 50/1 fps (VTFrameRateConversion)");
    EXPECT_EQ(s["in_between"], 24); // the last picture has no successor: it repeats itself
    EXPECT_EQ(s["repeated"], 0);
    EXPECT_EQ(s["last_error"], nullptr);
}

TEST_F(Player, InterpolationChainsWithTheUpscaler) {
    addClip("fiup.mp4", "-f lavfi -i testsrc2=size=320x180:rate=25:duration=1 -c:v libx264 "
                        "-preset veryfast -bf 2 -g 25 -pix_fmt yuv420p {out}");
    startService();
    const std::string out = work_.file("fiup.mp4");
    std::string errors = capture("ffmpeg -nostdin -v error -y -i '" +
                                 url("/v1/enhanced/fiup/index.m3u8?fi=1&up=bicubic") + "' -c copy '" + out +
                                 "' 2>&1");
    EXPECT_EQ(errors, "");
    std::string stream = capture("ffprobe -v error -select_streams v:0 -show_entries stream=width,height "
                                 "-of default=nw=1 '" + out + "'");
    EXPECT_NE(stream.find("width=640"), std::string::npos) << stream;
    EXPECT_NE(stream.find("height=360"), std::string::npos) << stream;
    auto times = ffprobeFrameTimes(out);
    ASSERT_EQ(times.size(), 50u);
    for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(times[i], static_cast<double>(i) / 50, 0.001) << i;
    EXPECT_EQ(capture("ffmpeg -nostdin -v error -i '" + out + "' -f null - 2>&1"), "");
    for (int i = 0; i < 100 && status()["running"] == true; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto s = status();
    EXPECT_EQ(s["fi"], true);
    EXPECT_EQ(s["upscale"], true);
    EXPECT_EQ(s["in_between"], 24);
}

// The network-style hook shader upscales a small title end to end.
TEST_F(Player, HookShaderUpscaledStreamPlays) {
    addClip("small.mp4", "-f lavfi -i testsrc2=size=320x180:rate=10:duration=1 -c:v libx264 "
                         "-preset veryfast -g 10 -pix_fmt yuv420p {out}");
    startService();
    const std::string out = work_.file("hooked.mp4");
    std::string errors = capture("ffmpeg -nostdin -v error -y -i '" +
                                 url("/v1/enhanced/small/index.m3u8?up=fsrcnnx8") + "' -c copy '" +
                                 out + "' 2>&1");
    EXPECT_EQ(errors, "");
    std::string stream = capture("ffprobe -v error -select_streams v:0 -show_entries "
                                 "stream=width,height -of default=nw=1 '" + out + "'");
    EXPECT_NE(stream.find("width=640"), std::string::npos) << stream;
    EXPECT_NE(stream.find("height=360"), std::string::npos) << stream;
    EXPECT_EQ(ffprobeFrameTimes(out).size(), 10u);
    // Close to the source enlarged by ffmpeg's own bicubic: the shader
    // neither broke the picture nor shifted it.
    std::string psnr = capture("ffmpeg -nostdin -v info -i '" + out + "' -i '" + folder_.file("small.mp4") +
                               "' -lavfi '[0:v]format=yuv420p[x];[1:v]scale=640:360:flags=bicubic,"
                               "format=yuv420p[y];[x][y]psnr' -f null - 2>&1");
    EXPECT_GE(averagePsnr(psnr), 28.0) << psnr;
    auto s = status();
    EXPECT_EQ(s["upscaler"], "FSRCNNX_x2_8-0-4-1");
    EXPECT_EQ(s["out_width"], 640);
    EXPECT_EQ(s["last_error"], nullptr);
}

TEST_F(Player, EverySegmentArrivesWhileASecondClientSeeks) {
    addClip("eight.mp4", smallClipArgs(8));
    addSidecar("eight", "eight.mp4", 320, 180, 25, 8);
    ServiceOptions options;
    options.ahead = 0; // every far request restarts the one run
    startService(options);
    // A second client of the same title jumps about while ffmpeg plays it
    // from the start: the run is pulled away from the player again and again.
    std::atomic<bool> played{false};
    std::thread seeker([&] {
        const int positions[] = {7, 2, 6, 0, 5, 3};
        for (int round = 0; !played; ++round) {
            const int s = positions[round % 6];
            get("/v1/enhanced/eight/index.m3u8?start=" + std::to_string(s));
            get("/v1/enhanced/eight/seg/" + std::to_string(s) + ".m4s");
        }
    });
    const std::string out = work_.file("played.mp4");
    std::string errors = capture("ffmpeg -nostdin -v error -y -i '" + url("/v1/enhanced/eight/index.m3u8") +
                                 "' -c copy '" + out + "' 2>&1");
    played = true;
    seeker.join();
    EXPECT_EQ(errors, "");
    // No segment skipped: every picture of the title, in order.
    auto times = ffprobeFrameTimes(out);
    ASSERT_EQ(times.size(), 200u);
    for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(times[i], static_cast<double>(i) / 25, 0.001) << i;
    EXPECT_GE(status()["restarts"].get<int>(), 2);
}

// The AI upscaler through the service and ffmpeg's HLS client, with the
// networks this repository ships.
TEST_F(Player, NeuralUpscaledStreamPlays) {
    setShaderDirectoryOverride(std::string(SOURCE_DIR) + "/shaders");
    // Small and short: the network costs far more per pixel than a shader on
    // the CPU device.
    addClip("sdr90.mp4", "-f lavfi -i testsrc2=size=160x90:rate=25:duration=0.6 -c:v libx264 "
                          "-preset veryfast -bf 2 -g 25 -pix_fmt yuv420p {out}");
    startService();
    const std::string out = work_.file("neural.mp4");
    std::string errors;
    try {
        errors = capture("ffmpeg -nostdin -v error -y -i '" + url("/v1/enhanced/sdr90/index.m3u8?up=neural-low") +
                         "' -c copy '" + out + "' 2>&1");
    } catch (const std::exception& failure) {
        FAIL() << failure.what() << "\n" << log();
    }
    EXPECT_EQ(errors, "");
    std::string stream = capture("ffprobe -v error -select_streams v:0 -show_entries stream=width,height "
                                 "-of default=nw=1 '" + out + "'");
    EXPECT_NE(stream.find("width=320"), std::string::npos) << stream;
    EXPECT_NE(stream.find("height=180"), std::string::npos) << stream;
    EXPECT_EQ(ffprobeFrameTimes(out).size(), 15u);
    EXPECT_EQ(capture("ffmpeg -nostdin -v error -i '" + out + "' -f null - 2>&1"), "");

    auto s = status();
    EXPECT_EQ(s["upscaler"], "neural-low, Neural Engine");
    EXPECT_EQ(s["last_error"], nullptr);
    // The licence is the one the network's description carries.
    EXPECT_NE(log().find("upscaler neural-low, Neural Engine 160x90 -> 320x180 ready (licence Corvel Live "
                         "Enhancer"),
              std::string::npos)
        << log();
    setShaderDirectoryOverride(std::nullopt);
}
