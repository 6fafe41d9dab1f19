// ffmpeg and ffprobe as child processes: the tool search, Child's pipes,
// error lines and reaping, the probe of real TV clips and the TV pictures
// against ffmpeg's own P010 output.
#include "SourceFixtures.h"

#include "common/EnhanceError.h"
#include "source/Child.h"
#include "source/FFmpegPictures.h"
#include "source/FFmpegTool.h"
#include "source/TitleProbe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>

namespace corvel::test {
namespace {

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

void executable(const std::string& path, const std::string& script = "#!/bin/sh\nexit 0\n") {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeFile(path, script);
    chmod(path.c_str(), 0755);
}

bool processGone(pid_t pid) {
    // Reaped: neither running nor a zombie; the id is no child of ours.
    return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD && kill(pid, 0) < 0;
}

TEST(ToolSearch, ConfiguredFolderComesFirst) {
    TempDir dir;
    executable(dir.file("mine/ffmpeg"));
    executable(dir.file("mine/ffprobe"));
    executable(dir.file("path/ffprobe"));
    ScopedEnv configured("CORVEL_FFMPEG", dir.file("mine/ffmpeg").c_str());
    ScopedEnv path("PATH", dir.file("path").c_str());
    EXPECT_EQ(ffmpegTool("ffmpeg"), dir.file("mine/ffmpeg"));
    EXPECT_EQ(ffmpegTool("ffprobe"), dir.file("mine/ffprobe"));
}

TEST(ToolSearch, PathEntriesInOrderAndOnlyExecutableFiles) {
    TempDir dir;
    setFixedToolFolders({});
    ScopedEnv configured("CORVEL_FFMPEG", nullptr);
    executable(dir.file("b/ffprobe"));
    executable(dir.file("c/ffprobe"));
    writeFile(dir.file("a/ffprobe"), "not executable"); // skipped
    std::filesystem::create_directories(dir.file("d/ffprobe")); // a folder: skipped
    {
        std::filesystem::create_directories(dir.file("a"));
        writeFile(dir.file("a/ffprobe"), "plain");
        ScopedEnv path("PATH", (dir.file("a") + "::" + dir.file("d") + ":" + dir.file("b") + ":" + dir.file("c")).c_str());
        EXPECT_EQ(ffmpegTool("ffprobe"), dir.file("b/ffprobe"));
    }
    {
        ScopedEnv path("PATH", "");
        EXPECT_EQ(ffmpegTool("ffprobe"), std::nullopt);
    }
    setFixedToolFolders({"/usr/local/bin", "/usr/bin"});
    ScopedEnv path("PATH", "");
    EXPECT_TRUE(ffmpegTool("ffmpeg")); // the system's own ffmpeg
}

TEST(ChildProcess, OutputErrorLineAndReaping) {
    pid_t pid;
    {
        Child child("/bin/sh", {"-c", "printf 'hello world'; printf 'first\\nlast line\\n\\n' >&2; sleep 0.2"});
        pid = child.pid();
        auto five = child.read(5);
        ASSERT_TRUE(five);
        EXPECT_EQ(std::string(five->begin(), five->end()), "hello");
        EXPECT_FALSE(child.read(100)); // only 6 more bytes before the end
        EXPECT_TRUE(eventually([&] { return child.lastError() == "last line"; }, std::chrono::seconds(5)))
            << child.lastError();
    }
    EXPECT_TRUE(processGone(pid));
    {
        // ffmpeg's repeat notice names no reason: the line it repeats stays
        // the last error, in one chunk and across chunks.
        Child child("/bin/sh", {"-c", "printf 'Stream ends prematurely\\n    Last message repeated 4 times\\n' >&2; "
                                      "sleep 0.1; printf 'Last message repeated 2 times\\n' >&2"});
        EXPECT_FALSE(child.read(1));
        EXPECT_EQ(child.finalError(), "Stream ends prematurely");
    }
}

TEST(ChildProcess, ReleasingEndsARunningTool) {
    pid_t pid;
    const auto start = std::chrono::steady_clock::now();
    {
        // Writes forever: the release must end it, not wait for it.
        Child child("/bin/sh", {"-c", "while :; do echo data; done"});
        pid = child.pid();
        ASSERT_TRUE(readSome(child));
    }
    EXPECT_TRUE(processGone(pid));
    {
        // A tool that ignores SIGTERM is killed after the grace period.
        Child child("/bin/sh", {"-c", "trap '' TERM; echo ready; while :; do sleep 0.05; done"});
        pid = child.pid();
        ASSERT_TRUE(readSome(child));
    }
    EXPECT_TRUE(processGone(pid));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(ChildProcess, StdinIsEmptyAndLaunchFailureIsASentence) {
    Child cat("/bin/cat", {});
    EXPECT_FALSE(readSome(cat)); // /dev/null: cat ends at once
    try {
        Child missing("/nonexistent/ffmpeg", {"-version"});
        FAIL() << "started a missing tool";
    } catch (const EnhanceError& error) {
        EXPECT_EQ(error.description(), "Could not start ffmpeg: No such file or directory");
    }
}

TEST(TitleProbing, TransportStreamWithTwoSoundStreams) {
    auto probe = probeTitle(clips::tvTs(), 0);
    EXPECT_EQ(probe.bits, 8);
    EXPECT_EQ(probe.sar, 1.0);
    ASSERT_TRUE(probe.sound);
    EXPECT_EQ(probe.sound->codec, "ac3");
    EXPECT_EQ(probe.sound->channels, 6);
    EXPECT_EQ(probe.sound->rateHz, 48000);
    auto second = probeTitle(clips::tvTs(), 1);
    ASSERT_TRUE(second.sound);
    EXPECT_EQ(second.sound->ordinal, 1);
    EXPECT_EQ(second.sound->codec, "aac");
    EXPECT_EQ(second.sound->rateHz, 44100);
    EXPECT_EQ(second.sound->summary(), "aac 2 ch at 44100 Hz, to AAC stereo");

    auto sar = probeTitle(clips::tvSar(), 0);
    EXPECT_DOUBLE_EQ(sar.sar, 4.0 / 3.0);
    EXPECT_EQ(sar.bits, 10);
    EXPECT_FALSE(sar.sound);
}

TEST(TitleProbing, SubtitleStreamsAndUnreadableInput) {
    EXPECT_EQ(subtitleCodecs(clips::tvMkv()), (std::vector<std::string>{"subrip", "ass"}));
    EXPECT_TRUE(subtitleCodecs(clips::tvTs()).empty());
    TempDir dir;
    writeFile(dir.file("junk.ts"), std::string(5000, 'x'));
    try {
        probeTitle(dir.file("junk.ts"), 0);
        FAIL() << "probed garbage";
    } catch (const EnhanceError& error) {
        const std::string prefix = "ffprobe could not read this title: ";
        EXPECT_EQ(error.description().substr(0, prefix.size()), prefix);
        EXPECT_GT(error.description().size(), prefix.size()); // ffprobe's own reason follows
    }
    setFixedToolFolders({});
    {
        ScopedEnv configured("CORVEL_FFMPEG", nullptr);
        ScopedEnv path("PATH", "");
        try {
            probeTitle(clips::tvTs(), 0);
            ADD_FAILURE() << "probed without ffprobe";
        } catch (const EnhanceError& error) {
            EXPECT_EQ(error.description(), "This Mac has no ffprobe, which a TV stream needs.");
        }
    }
    setFixedToolFolders({"/usr/local/bin", "/usr/bin"});
}

class TvPictures : public ::testing::Test {
protected:
    static StreamInfo title(const std::vector<std::string>& files, int width, int height) {
        StreamInfo info;
        double offset = 0;
        for (const auto& file : files) {
            TitlePart part;
            part.localPath = file;
            part.url = "file://" + file;
            part.durationSec = 4;
            info.parts.push_back(part);
            info.partOffsets.push_back(offset);
            offset += 4;
        }
        info.width = width;
        info.height = height;
        info.sourceFpsNum = 25;
        info.sourceFpsDen = 1;
        info.sourceColor.primaries = color::kPrimaries709;
        info.sourceColor.matrix = color::kMatrix709;
        info.tv = true;
        return info;
    }
    // ffmpeg's own P010 frames of the clip at this size, for comparison.
    std::string reference(const std::string& clip, int width, int height, int frames) {
        const std::string out = dir_.file("ref.p010");
        ffmpeg(dir_.path(), "-i '" + clip + "' -frames:v " + std::to_string(frames) + " -vf scale=" +
                                std::to_string(width) + ":" + std::to_string(height) +
                                ":flags=lanczos,format=p010le -f rawvideo '" + out + "'");
        return readFile(out);
    }
    static void expectSameFrame(const Picture& picture, const std::string& raw, size_t index) {
        const size_t row = static_cast<size_t>(picture.width) * 2;
        const size_t frame = row * picture.height * 3 / 2;
        ASSERT_LE((index + 1) * frame, raw.size());
        const char* from = raw.data() + index * frame;
        for (int plane = 0; plane < 2; ++plane)
            for (int y = 0; y < picture.planeHeight(plane); ++y, from += row)
                ASSERT_EQ(std::memcmp(picture.row(plane, y), from, row), 0)
                    << "frame " << index << " plane " << plane << " row " << y;
    }
    TempDir dir_;
};

TEST_F(TvPictures, FramesMatchFfmpegInBothLayouts) {
    // 320 wide: rows without padding, read straight into the picture. 360
    // wide (the title's width after a sample aspect ratio): padded rows,
    // read through the scratch buffer.
    for (int width : {320, 360}) {
        FFmpegPictures source(title({clips::tvTs()}, width, 180));
        EXPECT_FALSE(source.read()); // before any seek: nothing runs
        source.seek(0);
        std::vector<DecodedFrame> frames;
        while (auto frame = source.read()) frames.push_back(std::move(*frame));
        ASSERT_EQ(frames.size(), 100u);
        const std::string raw = reference(clips::tvTs(), width, 180, 3);
        for (size_t i = 0; i < 3; ++i) expectSameFrame(*frames[i].buffer, raw, i);
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_NEAR(frames[i].pts, i * 0.04, 1e-9);
            EXPECT_EQ(frames[i].buffer->color.primaries, color::kPrimaries709);
            EXPECT_EQ(frames[i].buffer->color.matrix, color::kMatrix709);
            EXPECT_EQ(frames[i].buffer->color.transfer, "");
        }
        if (width == 320) EXPECT_EQ(source.directReads(), 100);
        else EXPECT_EQ(source.copiedReads(), 100);
    }
}

TEST_F(TvPictures, SeekAndTwoParts) {
    FFmpegPictures source(title({clips::tvMkv(), clips::tvTs()}, 320, 180));
    source.seek(6.0); // two seconds into the second part
    auto first = source.read();
    ASSERT_TRUE(first);
    EXPECT_NEAR(first->pts, 6.0, 1e-9);
    for (int i = 1; i < 10; ++i) {
        auto frame = source.read();
        ASSERT_TRUE(frame);
        EXPECT_NEAR(frame->pts, 6.0 + i * 0.04, 1e-9);
    }
    // From the end of the first part reading runs on into the second.
    source.seek(3.8);
    int count = 0;
    double last = 0;
    while (auto frame = source.read()) {
        last = frame->pts;
        ++count;
    }
    EXPECT_EQ(count, 105); // 5 frames of part one, 100 of part two
    EXPECT_NEAR(last, 4.0 + 99 * 0.04, 1e-9);
}

TEST_F(TvPictures, BrokenPartFailsWithFfmpegsReasonAndAKilledChildEndsThePart) {
    writeFile(dir_.file("junk.ts"), std::string(5000, 'x'));
    FFmpegPictures broken(title({dir_.file("junk.ts")}, 320, 180));
    broken.seek(0);
    try {
        broken.read();
        FAIL() << "read a picture from garbage";
    } catch (const EnhanceError& error) {
        const std::string prefix = "ffmpeg could not read this title: ";
        EXPECT_EQ(error.description().substr(0, prefix.size()), prefix);
        EXPECT_GT(error.description().size(), prefix.size());
    }
    EXPECT_FALSE(broken.read()); // the child is gone

    // ffmpeg killed in the middle: the part ends there and the next begins.
    FFmpegPictures source(title({clips::tvTs(), clips::tvTs()}, 320, 180));
    source.seek(0);
    ASSERT_TRUE(source.read());
    const int pid = source.childPid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    int count = 1;
    double last = 0;
    while (auto frame = source.read()) {
        last = frame->pts;
        ++count;
    }
    EXPECT_LT(count, 200);
    EXPECT_NEAR(last, 4.0 + 99 * 0.04, 1e-9); // the second part was read whole
    EXPECT_TRUE(processGone(pid));
}

TEST_F(TvPictures, MissingFfmpegIsASentence) {
    setFixedToolFolders({});
    ScopedEnv configured("CORVEL_FFMPEG", nullptr);
    ScopedEnv path("PATH", "");
    FFmpegPictures source(title({clips::tvTs()}, 320, 180));
    try {
        source.seek(0);
        ADD_FAILURE() << "seeking started a missing ffmpeg";
    } catch (const EnhanceError& error) {
        EXPECT_EQ(error.description(), "This Mac has no ffmpeg, which a TV stream needs.");
    }
    setFixedToolFolders({"/usr/local/bin", "/usr/bin"});
}

} // namespace
} // namespace corvel::test
