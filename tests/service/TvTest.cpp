// TV titles through the service: ffmpeg's HLS client plays them enhanced,
// and the ffmpeg children never outlive their use (restart, stop, the
// watchdog's release, a killed child, the service's exit).
#include "service/ServiceFixture.h"
#include "source/FFmpegTool.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

using namespace corvel;
using namespace corvel::test;

namespace {

struct ChildCount {
    int running = 0;
    int zombies = 0;
};

// The ffmpeg processes whose parent is this test process (the service runs
// in it), from /proc: running ones and unreaped ones.
ChildCount ffmpegChildren() {
    ChildCount count;
    DIR* proc = opendir("/proc");
    if (!proc) return count;
    while (dirent* entry = readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (comm) state ppid ...
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        const std::string comm = line.substr(open + 1, close - open - 1);
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        int ppid = 0;
        rest >> state >> ppid;
        if (ppid != getpid() || comm != "ffmpeg") continue;
        if (state == 'Z') ++count.zombies;
        else ++count.running;
    }
    closedir(proc);
    return count;
}

// Processes anywhere whose command line holds `marker` (for children of a
// service that has exited and no longer is their parent).
int processesNaming(const std::string& marker) {
    int found = 0;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    while (dirent* entry = readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        std::ifstream cmdline(std::string("/proc/") + entry->d_name + "/cmdline");
        std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (text.find(marker) != std::string::npos && text.find("ffmpeg") != std::string::npos) ++found;
    }
    closedir(proc);
    return found;
}

bool noFfmpegLeft() {
    return eventually(
        [] {
            ChildCount c = ffmpegChildren();
            return c.running == 0 && c.zombies == 0;
        },
        std::chrono::seconds(10));
}

class TvTitle : public ServiceFixture {
protected:
    std::string play(const std::string& path, const std::string& out) {
        return capture("ffmpeg -nostdin -v error -y -i '" + url(path) + "' -c copy '" + out + "' 2>&1");
    }
};

TEST_F(TvTitle, TransportStreamAndMatroskaPlayEnhanced) {
    std::filesystem::copy_file(clips::tvTs(), folder_.file("news.ts"));
    std::filesystem::copy_file(clips::tvMkv(), folder_.file("film.mkv"));
    startService();

    const std::string ts = work_.file("ts.mp4");
    EXPECT_EQ(play("/v1/enhanced/news/index.m3u8?tv=1", ts), "");
    auto times = ffprobeFrameTimes(ts);
    ASSERT_EQ(times.size(), 100u);
    for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(times[i], static_cast<double>(i) / 25, 0.001) << i;
    std::string stream = capture("ffprobe -v error -select_streams v:0 -show_entries "
                                 "stream=codec_name,profile,width,height -of default=nw=1 '" + ts + "'");
    EXPECT_NE(stream.find("codec_name=hevc"), std::string::npos) << stream;
    EXPECT_NE(stream.find("profile=Main 10"), std::string::npos) << stream;
    EXPECT_NE(stream.find("width=320"), std::string::npos) << stream;
    auto s = status();
    EXPECT_EQ(s["tv"], true);
    EXPECT_EQ(s["sound"], "ac3 6 ch at 48000 Hz, copied");
    EXPECT_NE(s["why"].get<std::string>().find("; sound: ac3 6 ch at 48000 Hz, copied"), std::string::npos)
        << s["why"];

    // Another title (and another key) replaces the first one's run.
    const std::string mkv = work_.file("mkv.mp4");
    EXPECT_EQ(play("/v1/enhanced/film/index.m3u8?tv=1&up=bicubic", mkv), "");
    EXPECT_EQ(ffprobeFrameTimes(mkv).size(), 100u);
    stream = capture("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of default=nw=1 '" +
                     mkv + "'");
    EXPECT_NE(stream.find("width=640"), std::string::npos) << stream; // upscaled
    s = status();
    EXPECT_NE(s["why"].get<std::string>().find("; sound: pcm_s16le 8 ch at 48000 Hz, to E-AC-3 5.1"),
              std::string::npos)
        << s["why"];
    EXPECT_EQ(s["last_error"], nullptr);
    EXPECT_TRUE(noFfmpegLeft());
}

TEST_F(TvTitle, SampleAspectRatioWidensThePicture) {
    std::filesystem::copy_file(clips::tvSar(), folder_.file("wide.ts"));
    startService();
    const std::string out = work_.file("wide.mp4");
    EXPECT_EQ(play("/v1/enhanced/wide/index.m3u8?tv=1", out), "");
    std::string stream = capture("ffprobe -v error -select_streams v:0 -show_entries "
                                 "stream=width,height,sample_aspect_ratio -of default=nw=1 '" + out + "'");
    EXPECT_NE(stream.find("width=468"), std::string::npos) << stream; // 352 x 4/3 = 469, made even
    EXPECT_NE(stream.find("height=288"), std::string::npos) << stream;
    EXPECT_EQ(ffprobeFrameTimes(out).size(), 50u);
}

TEST_F(TvTitle, ChildrenEndWithRestartStopAndWatchdog) {
    std::filesystem::copy_file(clips::tvMkv(), folder_.file("film.mkv"));
    ServiceOptions options;
    options.ahead = 0; // the run waits after one segment, with ffmpeg still running
    options.segSec = 0.5; // eight segments: the last is beyond the run's reach
    ServiceTiming timing = fastTiming();
    timing.idleMs = 6000; // longer than a first segment takes on a busy machine
    timing.watchdogStepMs = 200;
    startService(options, timing);

    ASSERT_EQ(get("/v1/enhanced/film/index.m3u8?tv=1").status, 200);
    ASSERT_EQ(get("/v1/enhanced/film/seg/0.m4s?tv=1").status, 200);
    // The run's picture ffmpeg waits for the player (the sound one may still
    // be reading ahead).
    EXPECT_GE(ffmpegChildren().running, 1);
    EXPECT_LE(ffmpegChildren().running, 2);

    // A request far ahead restarts the run: the old child is gone, and the
    // new run's one ends with the title.
    ASSERT_EQ(get("/v1/enhanced/film/seg/7.m4s?tv=1").status, 200);
    EXPECT_NE(log().find("segment 7 asked"), std::string::npos);
    EXPECT_TRUE(noFfmpegLeft());

    // Another key stops the run and its child.
    ASSERT_EQ(get("/v1/enhanced/film/index.m3u8?tv=1&hdr=1").status, 200);
    ASSERT_EQ(get("/v1/enhanced/film/seg/0.m4s?tv=1&hdr=1").status, 200);
    // No more requests: the watchdog releases everything.
    EXPECT_TRUE(eventually([&] { return log().find("run stopped, segments dropped") != std::string::npos; },
                           std::chrono::seconds(20)));
    EXPECT_TRUE(noFfmpegLeft());
}

TEST_F(TvTitle, KilledFfmpegEndsThePartAndTheNextRequestRecovers) {
    std::filesystem::copy_file(clips::tvMkv(), folder_.file("film.mkv"));
    ServiceOptions options;
    options.ahead = 0;
    startService(options);
    ASSERT_EQ(get("/v1/enhanced/film/index.m3u8?tv=1").status, 200);
    ASSERT_EQ(get("/v1/enhanced/film/seg/0.m4s?tv=1").status, 200);
    // Kill the run's ffmpeg from outside.
    ASSERT_TRUE(eventually([] { return ffmpegChildren().running == 1; }, std::chrono::seconds(5)));
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (std::getline(stat, line) && line.find("(ffmpeg)") != std::string::npos) {
            std::istringstream rest(line.substr(line.rfind(')') + 2));
            char state;
            int ppid;
            rest >> state >> ppid;
            if (ppid == getpid()) kill(std::stoi(entry->d_name), SIGKILL);
        }
    }
    closedir(proc);
    // The part ends where ffmpeg died (the run reaches the title's end
    // early) and the dead child is reaped.
    auto late = get("/v1/enhanced/film/seg/1.m4s?tv=1");
    EXPECT_EQ(late.status, 200) << late.body;
    EXPECT_TRUE(noFfmpegLeft());
    // The next request (another quality) is served in full.
    const std::string out = work_.file("after.mp4");
    EXPECT_EQ(play("/v1/enhanced/film/index.m3u8?tv=1&q=3", out), "");
    EXPECT_EQ(ffprobeFrameTimes(out).size(), 100u);
}

TEST_F(TvTitle, MissingToolsAndBadSourcesAreSentences) {
    std::filesystem::copy_file(clips::tvMkv(), folder_.file("film.mkv"));
    writeFile(folder_.file("junk.ts"), std::string(20000, 'x'));
    startService();
    {
        // No ffprobe anywhere: the playlist says so.
        setFixedToolFolders({});
        const std::string path = getenv("PATH");
        setenv("PATH", "", 1);
        unsetenv("CORVEL_FFMPEG");
        auto answer = get("/v1/enhanced/film/index.m3u8?tv=1");
        setenv("PATH", path.c_str(), 1);
        setFixedToolFolders({"/usr/local/bin", "/usr/bin"});
        EXPECT_EQ(answer.status, 503);
        EXPECT_EQ(answer.header("Retry-After"), "1");
        EXPECT_EQ(answer.body, "This Mac has no ffprobe, which a TV stream needs.\n");
    }
    // Garbage bytes: ffprobe's reason reaches the player.
    auto junk = get("/v1/enhanced/junk/index.m3u8?tv=1");
    EXPECT_NE(junk.status, 200);
    // The service goes on.
    EXPECT_EQ(get("/v1/enhanced/film/index.m3u8?tv=1").status, 200);
    EXPECT_EQ(get("/v1/enhanced/film/seg/0.m4s?tv=1").status, 200);
}

TEST_F(TvTitle, TitleWhoseUrlAnswers404IsASentence) {
    // Sidecars carry no local path, so ffmpeg reads the server's URL.
    addSidecar("gone", "missing.ts", 320, 180, 25, 4);
    std::filesystem::copy_file(clips::tvTs(), folder_.file("film.ts"));
    addSidecar("film", "film.ts", 320, 180, 25, 4);
    startService();
    auto gone = get("/v1/enhanced/gone/index.m3u8?tv=1");
    EXPECT_GE(gone.status, 400);
    EXPECT_NE(gone.body.find("404 Not Found"), std::string::npos) << gone.body;
    EXPECT_EQ(gone.body.back(), '\n');
    EXPECT_EQ(gone.body.find('\n'), gone.body.size() - 1) << "one line: " << gone.body;
    EXPECT_TRUE(noFfmpegLeft());
    // The service goes on: a title on the same server plays.
    const std::string out = work_.file("film.mp4");
    EXPECT_EQ(play("/v1/enhanced/film/index.m3u8?tv=1", out), "");
    EXPECT_EQ(ffprobeFrameTimes(out).size(), 100u);
}

TEST_F(TvTitle, StreamCutInTheMiddleEndsThePartAndSaysWhy) {
    const std::string ts = clips::tvTs();
    std::filesystem::copy_file(ts, folder_.file("film.ts"));
    std::filesystem::copy_file(ts, folder_.file("short.ts"));
    addSidecar("film", "film.ts", 320, 180, 25, 4);
    addSidecar("short", "short.ts", 320, 180, 25, 4);
    ServiceOptions options;
    options.ahead = 0;
    startService(options);
    const auto size = std::filesystem::file_size(ts);
    {
        // Every connection for the file's bytes closes a third of the way
        // in: ffmpeg asks again from where it was cut, and nothing is lost.
        standin_->fault("target=media&cut=" + std::to_string(size / 3));
        const std::string out = work_.file("reconnected.mp4");
        const std::string said = play("/v1/enhanced/film/index.m3u8?tv=1", out);
        EXPECT_EQ(ffprobeFrameTimes(out).size(), 100u) << said;
        standin_->clear();
    }
    {
        // The file itself ends a third of the way into the 4 s the server
        // describes: the player still gets every segment the playlist lists
        // (none hangs or fails), and the log says where the part ended short.
        std::filesystem::resize_file(folder_.file("short.ts"), size / 3);
        const std::string out = work_.file("short.mp4");
        EXPECT_EQ(play("/v1/enhanced/short/index.m3u8?tv=1", out), "");
        EXPECT_EQ(ffprobeFrameTimes(out).size(), 100u);
        const std::string text = log();
        const size_t at = text.find("TV pictures: part 1 ended at ");
        ASSERT_NE(at, std::string::npos) << text;
        const double ended = std::stod(text.substr(at + 29));
        EXPECT_GT(ended, 0.3) << text;
        EXPECT_LT(ended, 2.5) << text; // a third of the bytes: well before the 4 s described
        EXPECT_NE(text.find(" s of its 4.00 s; ffmpeg's last error: ", at), std::string::npos) << text;
        EXPECT_TRUE(noFfmpegLeft());
    }
    // The service goes on: the whole title plays.
    const std::string whole = work_.file("whole.mp4");
    EXPECT_EQ(play("/v1/enhanced/film/index.m3u8?tv=1&q=3", whole), "");
    EXPECT_EQ(ffprobeFrameTimes(whole).size(), 100u);
}

TEST_F(TvTitle, SegmentsPastTheEndOfAShortStreamAreAnswered) {
    // The file ends a third of the way into the 4 s the server describes
    // (about 1.3 s of pictures). A player that seeks straight into the
    // tail gets each listed segment, full length, holding the stream's last
    // picture: the same segment a player playing through gets.
    const std::string ts = clips::tvTs();
    std::filesystem::copy_file(ts, folder_.file("short.ts"));
    std::filesystem::resize_file(folder_.file("short.ts"), std::filesystem::file_size(ts) / 3);
    addSidecar("short", "short.ts", 320, 180, 25, 4);
    ServiceOptions options;
    options.ahead = 0;
    startService(options);
    ASSERT_EQ(get("/v1/enhanced/short/index.m3u8?tv=1").status, 200);
    const RawResponse init = get("/v1/enhanced/short/init.mp4?tv=1");
    ASSERT_EQ(init.status, 200) << init.body;
    // The last segment (3 s .. 4 s, sought past the end of the stream), then
    // one whose start lies in the stream's last group of pictures.
    for (int n : {3, 1}) {
        const RawResponse r = get("/v1/enhanced/short/seg/" + std::to_string(n) + ".m4s?tv=1");
        ASSERT_EQ(r.status, 200) << n << ": " << r.body;
        const std::string file = work_.file("tail" + std::to_string(n) + ".mp4");
        std::ofstream(file, std::ios::binary) << init.body << r.body;
        const auto times = ffprobeFrameTimes(file);
        ASSERT_EQ(times.size(), 25u) << n;
        EXPECT_NEAR(times.front(), n, 0.001) << n;
    }
    EXPECT_NE(log().find("service: the pictures end at "), std::string::npos) << log();
    EXPECT_EQ(status()["last_error"], nullptr);
}

TEST_F(TvTitle, ChildrenEndWithTheServicesExit) {
    std::filesystem::copy_file(clips::tvMkv(), folder_.file("exit-marker.mkv"));
    // The service as its own process, with a parent whose end ends it.
    Process parent, service;
    spawn(parent, {"/bin/sleep", "600"}, {}, work_.file("p.out"), work_.file("p.err"));
    const int port = freePort();
    spawn(service,
          {ENHANCER_EXE, "--port", std::to_string(port), "--companion", standin_->base(), "--parent-pid",
           std::to_string(parent.pid)},
          {{"CORVEL_ENHANCE_LOG", work_.file("exit.log")}, {"CORVEL_ENHANCE_AHEAD", "0"},
           {"CORVEL_ENHANCE_UPSCALER", "bicubic"}}, // no upscaler measurements before listening
          work_.file("s.out"),
          work_.file("s.err"));
    ASSERT_TRUE(eventually(
        [&] {
            const int fd = connectTo(port);
            if (fd >= 0) close(fd);
            return fd >= 0;
        },
        std::chrono::seconds(10)));
    auto ask = [&](const std::string& path) {
        return parseRaw(test::exchange(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", std::chrono::seconds(60)));
    };
    ASSERT_EQ(ask("/v1/enhanced/exit-marker/index.m3u8?tv=1").status, 200);
    ASSERT_EQ(ask("/v1/enhanced/exit-marker/seg/0.m4s?tv=1").status, 200);
    EXPECT_GE(processesNaming("exit-marker.mkv"), 1); // the run's ffmpeg waits for the player
    parent.kill();
    EXPECT_EQ(service.wait(std::chrono::seconds(10)), 0);
    EXPECT_TRUE(eventually([] { return processesNaming("exit-marker.mkv") == 0; }, std::chrono::seconds(10)));
}

} // namespace

namespace {

uint32_t be32(const std::string& b, size_t at) {
    return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) |
           (uint32_t(uint8_t(b[at + 2])) << 8) | uint8_t(b[at + 3]);
}

// The base decode time of each track's traf in a media segment, by track ID
// (1 video, 2 sound), read from the box layout of ISO/IEC 14496-12.
std::map<uint32_t, uint64_t> fragmentStarts(const std::string& segment) {
    std::map<uint32_t, uint64_t> starts;
    auto walk = [&](size_t from, size_t to, auto&& visit) {
        for (size_t at = from; at + 8 <= to;) {
            const uint32_t size = be32(segment, at);
            if (size < 8 || at + size > to) return;
            visit(segment.substr(at + 4, 4), at + 8, at + size);
            at += size;
        }
    };
    walk(0, segment.size(), [&](const std::string& type, size_t b, size_t e) {
        if (type != "moof") return;
        walk(b, e, [&](const std::string& inner, size_t tb, size_t te) {
            if (inner != "traf") return;
            uint32_t id = 0;
            uint64_t start = 0;
            walk(tb, te, [&](const std::string& box, size_t x, size_t) {
                if (box == "tfhd") id = be32(segment, x + 4);
                if (box == "tfdt")
                    start = uint8_t(segment[x]) == 1 ? (uint64_t(be32(segment, x + 4)) << 32) | be32(segment, x + 8)
                                                     : be32(segment, x + 4);
            });
            starts[id] = start;
        });
    });
    return starts;
}

} // namespace

TEST_F(TvTitle, SoundStaysInStepWithThePictures) {
    // A two-part title: 4 s of 25 fps pictures and 48 kHz AAC (copied) each.
    const std::string clip = cachedClip("av.mkv", "-f lavfi -i testsrc2=size=320x180:rate=25:duration=4 "
                                                  "-f lavfi -i sine=f=500:r=48000:d=4 -c:v libx264 -preset veryfast "
                                                  "-g 25 -pix_fmt yuv420p -c:a aac -b:a 64k {out}");
    std::filesystem::create_directories(folder_.file("two"));
    std::filesystem::copy_file(clip, folder_.file("two/a.mkv"));
    std::filesystem::copy_file(clip, folder_.file("two/b.mkv"));
    startService();

    // Every segment's sound starts within one picture of its video, across
    // the part boundary (segment 4) ...
    auto inStep = [&](int k) {
        auto seg = get("/v1/enhanced/two/seg/" + std::to_string(k) + ".m4s?tv=1");
        ASSERT_EQ(seg.status, 200) << seg.body;
        auto starts = fragmentStarts(seg.body);
        ASSERT_EQ(starts.size(), 2u) << "segment " << k;
        const double video = static_cast<double>(starts[1]) / 25, sound = static_cast<double>(starts[2]) / 48000;
        EXPECT_NEAR(video, k * 1.0, 1e-9);
        EXPECT_NEAR(sound, video, 1.0 / 25) << "segment " << k;
    };
    ASSERT_EQ(get("/v1/enhanced/two/index.m3u8?tv=1").status, 200);
    for (int k = 0; k < 8; ++k) inStep(k);
    // ... and after a seek into the second part.
    ASSERT_EQ(get("/v1/enhanced/two/index.m3u8?tv=1&start=6.0").status, 200);
    for (int k = 6; k < 8; ++k) inStep(k);

    // A real client plays both streams together.
    const std::string out = work_.file("av.mp4");
    EXPECT_EQ(play("/v1/enhanced/two/index.m3u8?tv=1&q=3", out), "");
    const std::string streams = capture("ffprobe -v error -show_entries stream=codec_type,codec_name,start_time,"
                                        "duration -of csv=p=0 '" + out + "'");
    std::istringstream lines(streams);
    double videoStart = -1, soundStart = -1, videoLength = 0, soundLength = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, type, start, length;
        std::getline(fields, name, ',');
        std::getline(fields, type, ',');
        std::getline(fields, start, ',');
        std::getline(fields, length, ',');
        if (type == "video") {
            videoStart = std::stod(start);
            videoLength = std::stod(length);
        }
        if (type == "audio") {
            EXPECT_EQ(name, "aac");
            soundStart = std::stod(start);
            soundLength = std::stod(length);
        }
    }
    ASSERT_GE(soundStart, 0) << streams;
    EXPECT_NEAR(soundStart, videoStart, 1.0 / 25) << streams;
    EXPECT_NEAR(soundLength, videoLength, 0.1) << streams;
    EXPECT_NEAR(videoLength, 8.0, 0.05) << streams;
    EXPECT_TRUE(noFfmpegLeft());
}
