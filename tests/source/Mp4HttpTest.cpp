// Range requests and MP4 tracks read over loopback from the stand-in, with
// files ffmpeg made and the stand-in's faults and request counter.
#include "SourceFixtures.h"

#include "common/EnhanceError.h"
#include "source/Mp4Boxes.h"
#include "source/Mp4Track.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace corvel::test {
namespace {

class Mp4HttpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir();
        std::string bytes;
        for (int i = 0; i < 5000; ++i) bytes += static_cast<char>(i % 253);
        writeFile(folder_->file("blob.bin"), bytes);
        server_ = new Standin(folder_->path());
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }
    void TearDown() override { server_->clear(); }

    // Serves `clip` under `name` and returns its URL.
    static std::string serve(const std::string& clip, const std::string& name) {
        std::error_code ec;
        std::filesystem::create_symlink(clip, folder_->file(name), ec);
        return server_->base() + "/media/" + name;
    }
    static std::string refusal(const std::string& url, const std::string& name) {
        try {
            Mp4Track track(url, name);
        } catch (const EnhanceError& e) {
            return e.description();
        }
        return "opened";
    }
    static std::string blob(size_t from, size_t to) { return readFile(folder_->file("blob.bin")).substr(from, to - from); }
    static std::string text(const Data& d) { return std::string(d.begin(), d.end()); }

    static TempDir* folder_;
    static Standin* server_;
};
TempDir* Mp4HttpTest::folder_ = nullptr;
Standin* Mp4HttpTest::server_ = nullptr;

TEST_F(Mp4HttpTest, RangeRequestsAndTheirFaults) {
    std::string url = server_->base() + "/media/blob.bin";
    auto [part, total] = httpRange(url, 100, 200);
    EXPECT_EQ(text(part), blob(100, 200));
    EXPECT_EQ(total, 5000u);

    server_->fault("target=media&ignore_range=1");
    std::tie(part, total) = httpRange(url, 4990, 6000);
    EXPECT_EQ(text(part), blob(4990, 5000)); // the slice cut out of the whole file
    EXPECT_EQ(total, 5000u);
    std::tie(part, total) = httpRange(url, 7000, 8000);
    EXPECT_TRUE(part.empty());

    server_->fault("target=media&unknown_total=1");
    std::tie(part, total) = httpRange(url, 1000, 1100);
    EXPECT_EQ(text(part), blob(1000, 1100));
    EXPECT_EQ(total, 1100u); // from + the bytes received

    server_->fault("target=media&status=500");
    try {
        httpRange(url, 0, 10);
        ADD_FAILURE() << "no error";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "Corvel Server answered 500 for the part's bytes.");
    }
    server_->clear();
    try {
        httpRange("http://127.0.0.1:" + std::to_string(freePort()) + "/x", 0, 10);
        ADD_FAILURE() << "no error";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description().rfind("Corvel Server answered 0 for the part's bytes (", 0), 0u) << e.description();
        EXPECT_EQ(e.description().back(), '.');
    }
}

TEST_F(Mp4HttpTest, MovieBoxAtTheFrontCostsOneRequest) {
    std::string url = serve(clips::h264Front(), "front.mp4");
    server_->resetStats();
    Mp4Track track(url, "front.mp4");
    EXPECT_EQ(server_->stats()["ranges"], 1);
    ASSERT_TRUE(track.format);
    EXPECT_EQ(track.format->codecType, "avc1");
    EXPECT_EQ(track.format->width, 320);
    EXPECT_EQ(track.bits, 8);
    EXPECT_EQ(track.samples.size(), 48u);
    EXPECT_TRUE(track.samples[0].sync);
    EXPECT_GE(track.reorder, 1); // B-frames
    EXPECT_NEAR(track.samples[0].pts, 0.0, 1e-9); // the edit list takes out the composition delay
}

TEST_F(Mp4HttpTest, MovieBoxAfterALargeMdatIsReachedByHeaderHops) {
    std::string clip = clips::bigNoise();
    Data file;
    std::string bytes = readFile(clip);
    file.assign(bytes.begin(), bytes.end());
    // ftyp, free and mdat lie in the 512 KiB head; only the moov header and the moov are fetched.
    auto top = boxes(file, 0);
    ASSERT_EQ(top.back().type, "moov");
    ASSERT_GT(top.back().body, 524288u);
    ASSERT_LT(top[top.size() - 2].body, 524288u);

    std::string url = serve(clip, "noise.mp4");
    server_->resetStats();
    Mp4Track track(url, "noise.mp4");
    EXPECT_EQ(server_->stats()["ranges"], 3);
    EXPECT_EQ(track.samples.size(), 30u);
    EXPECT_EQ(track.reorder, 0);
    uint64_t end = 0;
    for (const auto& s : track.samples) end = std::max(end, s.offset + s.size);
    EXPECT_LE(end, file.size());
}

TEST_F(Mp4HttpTest, HEVCTenBitWithColour) {
    Mp4Track track(serve(clips::hevc10(), "hevc.mp4"), "hevc.mp4");
    ASSERT_TRUE(track.format);
    EXPECT_EQ(track.format->codecType, "hvc1");
    EXPECT_EQ(track.format->configType, "hvcC");
    EXPECT_EQ(track.bits, 10);
    EXPECT_EQ(track.color.primaries, color::kPrimaries2020);
    EXPECT_EQ(track.color.transfer, color::kTransferPQ);
    EXPECT_EQ(track.color.matrix, color::kMatrix2020);
    EXPECT_EQ(track.samples.size(), 48u);
}

TEST_F(Mp4HttpTest, FilesTheReaderRefuses) {
    EXPECT_EQ(refusal(serve(clips::matroska(), "film.mkv"), "film.mkv"),
              "This part (film.mkv) is Matroska, which the Mac's enhancer cannot read.");
    EXPECT_EQ(refusal(serve(clips::fragmented(), "frag.mp4"), "frag.mp4"),
              "This part (frag.mp4) has no samples in its movie header (fragmented MP4).");
    EXPECT_EQ(refusal(serve(clips::audioOnly(), "sound.mp4"), "sound.mp4"), "This part (sound.mp4) has no video track.");
    EXPECT_EQ(refusal(serve(clips::mpeg4(), "old.mp4"), "old.mp4"),
              "This part's picture is mp4v, which the Mac's enhancer does not decode (H.264 and HEVC only).");
    EXPECT_EQ(refusal(server_->base() + "/media/blob.bin", "blob.bin"),
              "This part (blob.bin) has no movie header the Mac can read.");
    EXPECT_EQ(refusal(server_->base() + "/media/none.mp4", "none.mp4"),
              "Corvel Server answered 404 for the part's bytes.");
}

} // namespace
} // namespace corvel::test
