// The Decoder over loopback: pictures, their count and times against
// ffmpeg's own decode and ffprobe's times, seeking, parts and sessions, and
// the byte windows' request count.
#include "SourceFixtures.h"

#include "common/EnhanceError.h"
#include "source/Decoder.h"
#include "source/Mp4Boxes.h"
#include "output/Clip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace corvel::test {
namespace {

class DecoderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir();
        server_ = new Standin(folder_->path());
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }
    void TearDown() override { server_->clear(); }

    static TitlePart part(const std::string& clip, const std::string& name, double duration) {
        std::error_code ec;
        std::filesystem::create_symlink(clip, folder_->file(name), ec);
        TitlePart p;
        p.url = server_->base() + "/media/" + name;
        p.fileName = name;
        p.durationSec = duration;
        return p;
    }
    static std::vector<DecodedFrame> readAll(Decoder& decoder) {
        std::vector<DecodedFrame> frames;
        while (auto frame = decoder.read()) frames.push_back(std::move(*frame));
        return frames;
    }
    // ffmpeg's own decode of the first `count` pictures as planar raw video.
    static std::string ffmpegPictures(const std::string& clip, const std::string& pixelFormat, int count) {
        std::string out = folder_->file("raw-" + pixelFormat + ".yuv");
        ffmpeg(folder_->path(), "-i '" + clip + "' -frames:v " + std::to_string(count) + " -f rawvideo -pix_fmt " +
                                    pixelFormat + " '" + out + "'");
        return readFile(out);
    }
    // Compares our picture with one planar 4:2:0 picture of ffmpeg's, widened
    // to code x 64 words (8-bit codes become 10-bit ones as code x 4).
    static void expectSamePixels(const Picture& ours, const std::string& raw, size_t index, bool tenBit) {
        const int w = ours.width, h = ours.height, bytesPer = tenBit ? 2 : 1;
        const size_t lumaBytes = size_t(w) * h * bytesPer, chromaBytes = lumaBytes / 4;
        const size_t base = index * (lumaBytes + 2 * chromaBytes);
        ASSERT_LE(base + lumaBytes + 2 * chromaBytes, raw.size());
        auto code = [&](size_t at) -> uint16_t {
            const auto* p = reinterpret_cast<const uint8_t*>(raw.data()) + base + at * bytesPer;
            return tenBit ? uint16_t(p[0] | (p[1] << 8)) << 6 : uint16_t(p[0] << 8);
        };
        int mismatches = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) mismatches += ours.row(0, y)[x] != code(size_t(y) * w + x);
        for (int y = 0; y < h / 2; ++y)
            for (int x = 0; x < w / 2; ++x) {
                size_t at = size_t(y) * (w / 2) + x;
                mismatches += ours.row(1, y)[2 * x] != code(size_t(w) * h + at);
                mismatches += ours.row(1, y)[2 * x + 1] != code(size_t(w) * h + chromaBytes / bytesPer + at);
            }
        EXPECT_EQ(mismatches, 0) << "picture " << index;
    }
    static void expectTimesMatchFFprobe(const std::vector<DecodedFrame>& frames, const std::string& clip,
                                        double offset = 0) {
        std::vector<double> expected = ffprobeFrameTimes(clip);
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(frames.size(), expected.size());
        for (size_t i = 0; i < frames.size(); ++i) EXPECT_NEAR(frames[i].pts, offset + expected[i], 0.001) << i;
    }

    // ffmpeg's own decode of the first `count` pictures, converted by its
    // scale filter to 10-bit 4:2:0 video range (`filter` goes first in the chain).
    static std::vector<uint16_t> ffmpegTenBit(const std::string& clip, int count, const std::string& filter = "") {
        std::string out = folder_->file("ten-bit.yuv");
        ffmpeg(folder_->path(), "-i '" + clip + "' -frames:v " + std::to_string(count) + " -vf '" + filter +
                                    (filter.empty() ? "" : ",") +
                                    "scale=out_range=tv,format=yuv420p10le' -f rawvideo '" + out + "'");
        return readPlanar(out);
    }
    static std::vector<uint16_t> planar(const std::vector<DecodedFrame>& frames, size_t count) {
        std::vector<uint16_t> out;
        for (size_t i = 0; i < count && i < frames.size(); ++i) appendPlanar(*frames[i].buffer, out);
        return out;
    }

    static TempDir* folder_;
    static Standin* server_;
};
TempDir* DecoderTest::folder_ = nullptr;
Standin* DecoderTest::server_ = nullptr;

TEST_F(DecoderTest, H264WithBFramesMatchesFFmpegInTimeAndPixels) {
    std::string clip = clips::h264End();
    Decoder decoder({part(clip, "end.mp4", 2)}, {0}, kPixelFormatX420);
    EXPECT_FALSE(decoder.read()); // nothing before the first seek
    decoder.seek(0);
    auto frames = readAll(decoder);
    expectTimesMatchFFprobe(frames, clip);
    std::string raw = ffmpegPictures(clip, "yuv420p", 4);
    for (size_t i = 0; i < 4 && i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].buffer->width, 320);
        ASSERT_EQ(frames[i].buffer->height, 180);
        expectSamePixels(*frames[i].buffer, raw, i, false);
    }
    EXPECT_EQ(decoder.sourceBits(), 8);
    EXPECT_EQ(decoder.decodeErrors(), 0);
    EXPECT_FALSE(decoder.read()); // the end stays the end
    EXPECT_FALSE(decoder.read());
}

TEST_F(DecoderTest, HEVCTenBitMatchesFFmpegAndReportsItsColour) {
    std::string clip = clips::hevc10();
    Decoder decoder({part(clip, "hevc.mp4", 2)}, {0}, kPixelFormatX420);
    EXPECT_EQ(decoder.sourceBits(), 10);
    EXPECT_EQ(decoder.sourceColor().transfer, color::kTransferPQ);
    decoder.seek(0);
    auto frames = readAll(decoder);
    expectTimesMatchFFprobe(frames, clip);
    std::string raw = ffmpegPictures(clip, "yuv420p10le", 3);
    for (size_t i = 0; i < 3 && i < frames.size(); ++i) expectSamePixels(*frames[i].buffer, raw, i, true);
    EXPECT_EQ(frames[0].buffer->color.primaries, color::kPrimaries2020);
}

TEST_F(DecoderTest, SeekStartsAtTheKeyPictureBefore) {
    std::string clip = clips::h264Front();
    TitlePart p = part(clip, "front.mp4", 2);
    Mp4Track track(p.url, p.fileName);
    double key = -1;
    for (const auto& s : track.samples)
        if (s.sync && s.pts <= 1.1) key = std::max(key, s.pts);
    ASSERT_GT(key, 0.0);
    ASSERT_LT(key, 1.05); // 1.1 s lies inside a group of pictures

    Decoder decoder({p}, {0}, kPixelFormatX420);
    decoder.seek(1.1);
    auto frames = readAll(decoder);
    ASSERT_FALSE(frames.empty());
    EXPECT_NEAR(frames.front().pts, key, 1e-3);
    size_t expected = 0;
    for (const auto& s : track.samples) expected += s.pts >= key - 1e-6;
    EXPECT_EQ(frames.size(), expected);
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_GT(frames[i].pts, frames[i - 1].pts);
}

TEST_F(DecoderTest, PicturesSkippedAfterASeekAreNeverConverted) {
    std::string clip = clips::h264Front();
    TitlePart p = part(clip, "front-skip.mp4", 2);
    Decoder plain({p}, {0}, kPixelFormatX420);
    plain.seek(1.1);
    auto all = readAll(plain);
    Decoder skipping({p}, {0}, kPixelFormatX420);
    skipping.seek(1.1);
    skipping.skipBefore(1.1);
    auto kept = readAll(skipping);
    // The same pictures from 1.1 s on, bit for bit; none before.
    std::vector<const DecodedFrame*> wanted;
    for (const auto& f : all)
        if (f.pts >= 1.1) wanted.push_back(&f);
    ASSERT_FALSE(wanted.empty());
    ASSERT_LT(wanted.size(), all.size()); // 1.1 s lies inside a group of pictures
    ASSERT_EQ(kept.size(), wanted.size());
    for (size_t i = 0; i < kept.size(); ++i) {
        EXPECT_DOUBLE_EQ(kept[i].pts, wanted[i]->pts);
        std::vector<uint16_t> ours, theirs;
        appendPlanar(*kept[i].buffer, ours);
        appendPlanar(*wanted[i]->buffer, theirs);
        EXPECT_TRUE(ours == theirs) << "picture " << i;
    }
    EXPECT_EQ(skipping.picturesConverted(), static_cast<int64_t>(kept.size()));
    EXPECT_EQ(plain.picturesConverted(), static_cast<int64_t>(all.size()));
    // A seek ends the skipping: the key picture before 1.1 s comes back.
    skipping.seek(1.1);
    auto again = readAll(skipping);
    EXPECT_EQ(again.size(), all.size());
}

// Pictures that wait for earlier ones (B-frames come out of the decoder
// after the pictures that follow them) wait as libavcodec's own frames: a
// picture is converted only when it is read, so the reordering window holds
// no converted copies. Before, every read had converted reorder + 1.
TEST_F(DecoderTest, PicturesAreConvertedOnlyWhenRead) {
    std::string clip = clips::h264End();
    TitlePart p = part(clip, "end-lazy.mp4", 2);
    ASSERT_GT(Mp4Track(p.url, p.fileName).reorder, 0); // the clip does reorder
    Decoder decoder({p}, {0}, kPixelFormatX420);
    decoder.seek(0);
    int64_t read = 0;
    double last = -1;
    while (auto frame = decoder.read()) {
        ++read;
        EXPECT_EQ(decoder.picturesConverted(), read) << "after picture " << read;
        EXPECT_GT(frame->pts, last); // still in presentation order
        last = frame->pts;
    }
    EXPECT_EQ(read, 48);
}

// The run looks at the next picture's time long before it needs the
// picture: `upcoming` tells it without converting anything, and asked any
// number of times changes nothing that `read` gives, across a reordering
// clip, a part boundary and the title's end.
TEST_F(DecoderTest, UpcomingTellsTheNextTimeWithoutConverting) {
    std::string first = clips::h264End(), second = clips::h264Copy();
    std::vector<TitlePart> parts{part(first, "end-upcoming.mp4", 2), part(second, "copy-upcoming.mp4", 2)};
    Decoder plain(parts, {0, 2}, kPixelFormatX420);
    plain.seek(0);
    auto all = readAll(plain);
    ASSERT_EQ(all.size(), 96u);

    Decoder looking(parts, {0, 2}, kPixelFormatX420);
    EXPECT_TRUE(looking.tellsUpcoming());
    looking.seek(0);
    int64_t read = 0;
    for (const auto& wanted : all) {
        auto time = looking.upcoming();
        ASSERT_TRUE(time.has_value()) << "before picture " << read;
        EXPECT_DOUBLE_EQ(*time, wanted.pts);
        EXPECT_EQ(looking.upcoming(), time); // asking again changes nothing
        EXPECT_EQ(looking.picturesConverted(), read);
        auto frame = looking.read();
        ASSERT_TRUE(frame.has_value());
        ++read;
        EXPECT_EQ(looking.picturesConverted(), read);
        EXPECT_DOUBLE_EQ(frame->pts, wanted.pts);
        std::vector<uint16_t> ours, theirs;
        appendPlanar(*frame->buffer, ours);
        appendPlanar(*wanted.buffer, theirs);
        EXPECT_TRUE(ours == theirs) << "picture " << read - 1;
    }
    EXPECT_FALSE(looking.upcoming().has_value());
    EXPECT_FALSE(looking.read().has_value());
    // After a seek it tells again, from the key picture before the target.
    looking.seek(2.5);
    auto time = looking.upcoming();
    ASSERT_TRUE(time.has_value());
    EXPECT_LE(*time, 2.5);
    EXPECT_GE(*time, 2.0);
}

TEST_F(DecoderTest, TwoPartsWithEqualSettingsShareOneSession) {
    std::string first = clips::h264Front(), second = clips::h264Copy();
    Decoder decoder({part(first, "front.mp4", 2), part(second, "copy.mp4", 2)}, {0, 2}, kPixelFormatX420);
    decoder.seek(-3); // before the start: part 0 from its beginning
    auto frames = readAll(decoder);
    ASSERT_EQ(frames.size(), 96u);
    std::vector<DecodedFrame> head(frames.begin(), frames.begin() + 48), tail(frames.begin() + 48, frames.end());
    expectTimesMatchFFprobe(head, first);
    expectTimesMatchFFprobe(tail, second, 2.0);
    EXPECT_EQ(decoder.sessionsCreated(), 1);

    decoder.seek(100); // past the last part's start: the last part
    auto again = readAll(decoder);
    ASSERT_FALSE(again.empty());
    EXPECT_GE(again.front().pts, 2.0);
    EXPECT_EQ(decoder.sessionsCreated(), 1);
}

TEST_F(DecoderTest, PartsWithOtherSettingsGetANewSession) {
    Decoder decoder({part(clips::h264Front(), "front.mp4", 2), part(clips::h264Small(), "small.mp4", 1)}, {0, 2},
                    kPixelFormatX420);
    decoder.seek(0);
    auto frames = readAll(decoder);
    ASSERT_EQ(frames.size(), 72u);
    EXPECT_EQ(frames[47].buffer->width, 320);
    EXPECT_EQ(frames[48].buffer->width, 256);
    EXPECT_NEAR(frames[48].pts, 2.0, 1e-3);
    EXPECT_EQ(decoder.sessionsCreated(), 2);
}

TEST_F(DecoderTest, ReadingAPartCostsOneRequestPerFourMebibytes) {
    std::string clip = clips::bigNoise();
    TitlePart p = part(clip, "noise.mp4", 1.2);
    Mp4Track track(p.url, p.fileName);
    uint64_t media = 0, largest = 0;
    for (const auto& s : track.samples) {
        media += s.size;
        largest = std::max<uint64_t>(largest, s.size);
    }
    ASSERT_GT(media, 8u << 20);

    Decoder decoder({p}, {0}, kPixelFormatX420);
    decoder.seek(0); // opens the track
    server_->resetStats();
    auto frames = readAll(decoder);
    EXPECT_EQ(frames.size(), 30u);
    // Windows start at a sample and hold 4 MiB, so each ends within one sample of full.
    const uint64_t window = 4u << 20;
    int64_t ranges = server_->stats()["ranges"];
    EXPECT_GE(ranges, static_cast<int64_t>((media + window - 1) / window));
    EXPECT_LE(ranges, static_cast<int64_t>((media + window - largest - 1) / (window - largest)));
}

TEST_F(DecoderTest, ABodyCutShortEndsInsideAPicture) {
    Decoder decoder({part(clips::h264End(), "end.mp4", 2)}, {0}, kPixelFormatX420);
    decoder.seek(0);
    server_->fault("target=media&cut=1000&count=1");
    try {
        decoder.read();
        ADD_FAILURE() << "no error";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "The part ended inside a picture.");
    }
    // The failed sample is tried again on the next read.
    EXPECT_EQ(readAll(decoder).size(), 48u);

    Decoder fresh({part(clips::h264End(), "end.mp4", 2)}, {0}, kPixelFormatX420);
    fresh.seek(0);
    server_->fault("target=media&status=500");
    try {
        fresh.read();
        ADD_FAILURE() << "no error";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "Corvel Server answered 500 for the part's bytes.");
    }
}

TEST_F(DecoderTest, DamagedPicturesAreDroppedAndOnlyFiveLogged) {
    // Junk over the slice data of every picture after the first key picture.
    std::string bytes = readFile(clips::h264Front());
    Data file(bytes.begin(), bytes.end());
    Data movie;
    for (const auto& box : boxes(file, 0))
        if (box.type == "moov") movie = sub(file, box.body - 8, box.end);
    Mp4Track track("x", "x", movie, file.size());
    for (size_t i = 1; i < track.samples.size(); ++i)
        for (uint64_t at = track.samples[i].offset + 6; at < track.samples[i].offset + track.samples[i].size; ++at)
            bytes[at] = static_cast<char>(at * 131 % 251);
    writeFile(folder_->file("damaged.mp4"), bytes);
    std::string log = folder_->file("decoder.log");
    setenv("CORVEL_ENHANCE_LOG", log.c_str(), 1);

    TitlePart p;
    p.url = server_->base() + "/media/damaged.mp4";
    p.fileName = "damaged.mp4";
    Decoder decoder({p}, {0}, kPixelFormatX420);
    decoder.seek(0);
    auto frames = readAll(decoder);
    unsetenv("CORVEL_ENHANCE_LOG");
    EXPECT_GT(decoder.decodeErrors(), 5);
    // libavcodec may also swallow a damaged picture without a word; none is delivered twice.
    EXPECT_LE(frames.size() + static_cast<size_t>(decoder.decodeErrors()), track.samples.size());
    std::string text = readFile(log);
    size_t lines = 0;
    for (size_t at = 0; (at = text.find("decoder: a picture at ", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 5u);
}

// Full-range sources (the yuvj formats, or a stream tagged full range) come
// out at video range: black at code 64, never below it.
TEST_F(DecoderTest, FullRangeSourcesComeOutAtVideoRange) {
    for (const std::string& clip : {clips::fullRange(), clips::hevcFullRange()}) {
        SCOPED_TRACE(clip);
        Decoder decoder({part(clip, std::filesystem::path(clip).filename(), 1)}, {0}, kPixelFormatX420);
        decoder.seek(0);
        auto frames = readAll(decoder);
        ASSERT_EQ(frames.size(), 24u);
        auto ours = planar(frames, 3);
        auto reference = ffmpegTenBit(clip, 3);
        EXPECT_GE(psnr10(ours, reference), 50.0);
        const Picture& first = *frames[0].buffer;
        int darkest = 1023;
        for (int y = 0; y < first.height; ++y)
            for (int x = 0; x < first.width; ++x) darkest = std::min(darkest, first.row(0, y)[x] >> 6);
        EXPECT_GE(darkest, 64);
        EXPECT_EQ(decoder.decodeErrors(), 0);
    }
}

// 4:2:2, 4:4:4, grey and 12-bit sources become the 10-bit 4:2:0 layout.
TEST_F(DecoderTest, OtherSampleFormatsBecomeTenBitFourTwoZero) {
    struct Case {
        std::string clip;
        int bits;
    };
    for (const Case& c : {Case{clips::h264FourTwoTwo(), 8}, Case{clips::h264FourFourFour(), 8},
                          Case{clips::hevcGrey(), 8}, Case{clips::hevc12(), 12}}) {
        SCOPED_TRACE(c.clip);
        Decoder decoder({part(c.clip, std::filesystem::path(c.clip).filename(), 1)}, {0}, kPixelFormatX420);
        EXPECT_EQ(decoder.sourceBits(), c.bits);
        decoder.seek(0);
        auto frames = readAll(decoder);
        ASSERT_EQ(frames.size(), 24u);
        EXPECT_EQ(decoder.decodeErrors(), 0);
        EXPECT_EQ(frames[0].buffer->width, 320);
        EXPECT_EQ(frames[0].buffer->height, 180);
        EXPECT_GE(psnr10(planar(frames, 3), ffmpegTenBit(c.clip, 3)), 45.0);
    }
    // Grey has neutral chroma everywhere.
    Decoder grey({part(clips::hevcGrey(), "grey.mp4", 1)}, {0}, kPixelFormatX420);
    grey.seek(0);
    auto frame = grey.read();
    ASSERT_TRUE(frame);
    int off = 0;
    for (int y = 0; y < 90; ++y)
        for (int x = 0; x < 320; ++x) off += frame->buffer->row(1, y)[x] != (512 << 6);
    EXPECT_EQ(off, 0);
}

// A title's parts of other sizes are brought to the title's size: one of the
// same shape is scaled, one of another shape is fitted inside with black bars.
TEST_F(DecoderTest, PartsOfAnotherSizeAreBroughtToTheTitleSize) {
    Decoder decoder({part(clips::h264Front(), "front.mp4", 2), part(clips::h264Small(), "small.mp4", 1),
                     part(clips::pillar(), "pillar.mp4", 1)},
                    {0, 2, 3}, kPixelFormatX420);
    decoder.setPictureSize(320, 180);
    decoder.seek(0);
    auto frames = readAll(decoder);
    ASSERT_EQ(frames.size(), 96u);
    for (const auto& f : frames) {
        ASSERT_EQ(f.buffer->width, 320);
        ASSERT_EQ(f.buffer->height, 180);
    }
    EXPECT_EQ(decoder.decodeErrors(), 0);

    // 256x144 scaled to 320x180 stays close to ffmpeg's own scaling.
    std::vector<DecodedFrame> small(frames.begin() + 48, frames.begin() + 50);
    EXPECT_GE(psnr10(planar(small, 2), ffmpegTenBit(clips::h264Small(), 2, "scale=320:180")), 35.0);

    // 240x180 (4:3) sits between two black bars 40 samples wide.
    const Picture& boxed = *frames[72].buffer;
    int notBlack = 0;
    for (int y = 0; y < 180; ++y)
        for (int x : {0, 39, 280, 319}) notBlack += boxed.row(0, y)[x] != (64 << 6);
    for (int y = 0; y < 90; ++y)
        for (int x : {0, 38, 280, 318}) notBlack += boxed.row(1, y)[x] != (512 << 6) || boxed.row(1, y)[x + 1] != (512 << 6);
    EXPECT_EQ(notBlack, 0);
    auto reference = ffmpegTenBit(clips::pillar(), 1);
    std::vector<uint16_t> middle;
    for (int y = 0; y < 180; ++y)
        for (int x = 40; x < 280; ++x) middle.push_back(boxed.row(0, y)[x] >> 6);
    reference.resize(240 * 180); // luma only
    EXPECT_GE(psnr10(middle, reference), 45.0);
}

// The sample shape comes from the pasp box and the turn from the track
// header's matrix; other sources are square and upright.
TEST_F(DecoderTest, ReportsTheSampleShapeAndTurnOfTheFirstPart) {
    Decoder anamorphic({part(clips::anamorphic(), "anamorphic.mp4", 1)}, {0}, kPixelFormatX420);
    EXPECT_EQ(anamorphic.sourceShape(), (PictureShape{32, 27, 0}));
    // ffmpeg writes the rotation it calls 90 degrees as (0, -1, 1, 0).
    Decoder rotated({part(clips::rotated(), "rotated.mp4", 1), part(clips::h264Front(), "front.mp4", 2)}, {0, 1},
                    kPixelFormatX420);
    EXPECT_EQ(rotated.sourceShape(), (PictureShape{1, 1, 3}));
    Decoder plain({part(clips::h264Front(), "front.mp4", 2)}, {0}, kPixelFormatX420);
    EXPECT_EQ(plain.sourceShape(), PictureShape{});
}

// A turned part whose title size is its shown (turned) shape is turned
// upright by the decoder, as a player honouring the matrix would show it,
// and then carries no turn of its own.
TEST_F(DecoderTest, TurnedPartsAreTurnedUprightForATitleOfTheShownShape) {
    for (const std::string& clip : {clips::rotated(), clips::rotated270()}) {
        SCOPED_TRACE(clip);
        Decoder coded({part(clip, std::filesystem::path(clip).filename(), 1)}, {0}, kPixelFormatX420);
        coded.setPictureSize(256, 144);
        EXPECT_NE(coded.sourceShape().quarterTurns, 0); // the output carries the turn

        Decoder decoder({part(clip, std::filesystem::path(clip).filename(), 1)}, {0}, kPixelFormatX420);
        decoder.setPictureSize(144, 256);
        EXPECT_EQ(decoder.sourceShape(), PictureShape{});
        decoder.seek(0);
        auto frames = readAll(decoder);
        ASSERT_EQ(frames.size(), 24u);
        ASSERT_EQ(frames[0].buffer->width, 144);
        ASSERT_EQ(frames[0].buffer->height, 256);
        // ffmpeg turns its decode by the matrix on its own.
        EXPECT_GE(psnr10(planar(frames, 2), ffmpegTenBit(clip, 2)), 45.0);
    }
}

} // namespace
} // namespace corvel::test
