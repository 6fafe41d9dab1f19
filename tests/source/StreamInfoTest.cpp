// loadStreamInfo against the stand-in media server over loopback: every
// refusal comes from a real answer, and a real file's facts come through.
#include "SourceFixtures.h"

#include "common/EnhanceError.h"
#include "source/StreamInfo.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace corvel::test {
namespace {

using nlohmann::json;

class StreamInfoTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir();
        std::string clip = cachedClip("h264_front.mp4", "-f lavfi -i testsrc2=size=320x180:rate=24 -t 2 -c:v libx264 "
                                                        "-bf 2 -g 12 -movflags +faststart {out}");
        std::filesystem::create_symlink(clip, folder_->file("clip.mp4"));
        sidecar("fine", goodItem());
        server_ = new Standin(folder_->path());
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }
    void TearDown() override { server_->clear(); }

    static json goodPart(double duration = 5) {
        return {{"playable", {{"mode", "direct"}}}, {"media_path", "/media/clip.mp4"}, {"file_name", "clip.mp4"},
                {"duration_sec", duration}, {"id", "p1"}};
    }
    static json goodItem() {
        return {{"video", {{"width", 1921}, {"height", 1080}, {"codec", "h264"}, {"fps_num", 24000}, {"fps_den", 1001}}},
                {"stereo", {{"layout", "sbs"}, {"projection", "equirect"}}},
                {"parts", {goodPart(4), goodPart(6)}},
                {"total_bytes", 2500000}};
    }
    static void sidecar(const std::string& id, const json& item) { writeFile(folder_->file(id + ".json"), item.dump()); }
    static std::string refusal(const std::string& id, bool tv = false, std::string companion = "") {
        try {
            loadStreamInfo(companion.empty() ? server_->base() : companion, id, 2.0, tv);
        } catch (const EnhanceError& e) {
            return e.description();
        }
        return "loaded";
    }

    static TempDir* folder_;
    static Standin* server_;
};
TempDir* StreamInfoTest::folder_ = nullptr;
Standin* StreamInfoTest::server_ = nullptr;

TEST_F(StreamInfoTest, RealFileComesThroughWithItsFacts) {
    StreamInfo info = loadStreamInfo(server_->base(), "clip", 2.0, false);
    ASSERT_EQ(info.parts.size(), 1u);
    EXPECT_EQ(info.parts[0].url, server_->base() + "/media/clip.mp4");
    EXPECT_EQ(info.parts[0].fileName, "clip.mp4");
    EXPECT_EQ(info.parts[0].localPath, std::filesystem::absolute(folder_->file("clip.mp4")).string());
    EXPECT_NEAR(info.durationSec, 2.0, 0.05);
    EXPECT_EQ(info.width, 320);
    EXPECT_EQ(info.height, 180);
    EXPECT_EQ(info.codec, "h264");
    EXPECT_EQ(info.fpsNum, 24u);
    EXPECT_EQ(info.fpsDen, 1u);
    EXPECT_EQ(info.gop, 48);
    EXPECT_EQ(info.frames, 48);
    EXPECT_EQ(info.segments, 1);
    EXPECT_GT(info.bitRate, 0);
    EXPECT_FALSE(info.tv);
}

TEST_F(StreamInfoTest, SidecarFieldsOffsetsAndEvenSize) {
    StreamInfo info = loadStreamInfo(server_->base() + "/", "fine", 2.0, false); // one trailing "/" is dropped
    ASSERT_EQ(info.parts.size(), 2u);
    EXPECT_EQ(info.parts[1].url, server_->base() + "/media/clip.mp4");
    EXPECT_FALSE(info.parts[0].localPath); // no local_path given
    EXPECT_EQ(info.partOffsets, (std::vector<double>{0, 4}));
    EXPECT_DOUBLE_EQ(info.durationSec, 10);
    EXPECT_EQ(info.width, 1920);
    EXPECT_EQ(info.outWidth, 1920);
    EXPECT_EQ(info.outHeight, 1080);
    EXPECT_EQ(info.fpsNum, 24000u);
    EXPECT_EQ(info.sourceFpsDen, 1001u);
    EXPECT_EQ(info.frames, 239);
    EXPECT_EQ(info.layout, "sbs");
    EXPECT_EQ(info.projection, "equirect");
    EXPECT_DOUBLE_EQ(info.bitRate, 2500000.0 * 8 / 10); // from total_bytes
    // Only one "/" is dropped: the item path then starts with "//", which the server does not know.
    EXPECT_EQ(refusal("fine", false, server_->base() + "//"), "Corvel Server no longer has this title.");

    json item = goodItem();
    item["parts"][0]["local_path"] = "/nonexistent/clip.mp4";
    item["parts"][1]["local_path"] = std::filesystem::absolute(folder_->file("clip.mp4")).string();
    item["video"]["bit_rate_bps"] = 1234;
    sidecar("local", item);
    info = loadStreamInfo(server_->base(), "local", 2.0, false);
    EXPECT_FALSE(info.parts[0].localPath);
    EXPECT_TRUE(info.parts[1].localPath);
    EXPECT_DOUBLE_EQ(info.bitRate, 1234);
}

TEST_F(StreamInfoTest, TransportAndStatusRefusals) {
    EXPECT_EQ(refusal("x", false, "http://127.0.0.1:" + std::to_string(freePort())),
              "The Mac could not reach Corvel Server.");
    EXPECT_EQ(refusal("x", false, "no url at all"), "The Mac could not reach Corvel Server.");
    EXPECT_EQ(refusal("gone"), "Corvel Server no longer has this title.");
    server_->fault("target=items&status=500");
    EXPECT_EQ(refusal("fine"), "Corvel Server answered 500 for this title.");
    server_->fault("target=items&status=503");
    EXPECT_EQ(refusal("fine"), "Corvel Server answered 503 for this title.");
    server_->fault("target=items&cut=20");
    EXPECT_EQ(refusal("fine"), "The Mac could not reach Corvel Server.");
    server_->clear();
    writeFile(folder_->file("text.json"), "this is not JSON");
    writeFile(folder_->file("array.json"), "[1, 2]");
    EXPECT_EQ(refusal("text"), "Corvel Server sent an item the Mac cannot read.");
    EXPECT_EQ(refusal("array"), "Corvel Server sent an item the Mac cannot read.");
}

TEST_F(StreamInfoTest, PartRefusals) {
    const std::string notReady = "A part of this title is not ready on the Mac yet.";
    json item = goodItem();
    item["parts"][1]["playable"]["mode"] = "transcode";
    sidecar("mode", item);
    EXPECT_EQ(refusal("mode"), notReady);
    item["parts"][1].erase("playable");
    sidecar("noplayable", item);
    EXPECT_EQ(refusal("noplayable"), notReady);
    item["parts"][1] = json::object();
    sidecar("emptypart", item);
    EXPECT_EQ(refusal("emptypart"), notReady);

    item = goodItem();
    item["parts"][0].erase("media_path");
    sidecar("nopath", item);
    EXPECT_EQ(refusal("nopath"), "Corvel Server sent a part without a media path.");
    item["parts"][0]["media_path"] = 42; // a number is no path
    sidecar("numberpath", item);
    EXPECT_EQ(refusal("numberpath"), "Corvel Server sent a part without a media path.");

    item = goodItem();
    item["parts"][1]["file_name"] = "Film.MKV";
    sidecar("mkv", item);
    EXPECT_EQ(refusal("mkv"), "This title is Matroska (MKV), which the Mac's enhancer cannot read yet.");
    item["parts"][1]["file_name"] = "film.webm";
    sidecar("webm", item);
    EXPECT_EQ(refusal("webm"), "This title is Matroska (MKV), which the Mac's enhancer cannot read yet.");
    EXPECT_EQ(refusal("mkv", true), "loaded"); // TV titles are read through ffmpeg
}

TEST_F(StreamInfoTest, UnknownShapeRefusals) {
    const std::string unknown = "Corvel Server does not know this title's size, frame rate or length yet.";
    auto with = [&](const std::string& id, auto change) {
        json item = goodItem();
        change(item);
        sidecar(id, item);
        return refusal(id);
    };
    EXPECT_EQ(with("zero", [](json& i) { i["parts"][1]["duration_sec"] = 0; }), unknown);
    EXPECT_EQ(with("noduration", [](json& i) { i["parts"][0].erase("duration_sec"); }), unknown);
    EXPECT_EQ(with("noparts", [](json& i) { i["parts"] = json::array(); }), unknown);
    EXPECT_EQ(with("nowidth", [](json& i) { i["video"].erase("width"); }), unknown);
    EXPECT_EQ(with("strwidth", [](json& i) { i["video"]["width"] = "1920"; }), unknown);
    EXPECT_EQ(with("rate1", [](json& i) {
                  i["video"].erase("fps_num");
                  i["video"]["fps"] = 1.0;
              }),
              unknown);
    EXPECT_EQ(with("denzero", [](json& i) { i["video"]["fps_den"] = 0; }), unknown);
    EXPECT_EQ(with("denzerofps", [](json& i) {
                  i["video"]["fps_den"] = 0;
                  i["video"]["fps"] = 25;
              }),
              "loaded");
    EXPECT_EQ(loadStreamInfo(server_->base(), "denzerofps", 2.0, false).fpsNum, 25u);
}

TEST_F(StreamInfoTest, TVTitlesTakeColourDepthAndPixelShapeFromTheProbe) {
    json item = goodItem();
    item["video"]["width"] = 720;
    item["video"]["height"] = 576;
    item["parts"][0]["local_path"] = std::filesystem::absolute(folder_->file("clip.mp4")).string();
    sidecar("tv", item);
    std::string probed;
    setTitleProber([&](const std::string& input) {
        probed = input;
        ProbedTitle probe;
        probe.sar = 4.0 / 3.0;
        probe.bits = 10;
        probe.color.transfer = color::kTransferHLG;
        return probe;
    });
    StreamInfo info = loadStreamInfo(server_->base(), "tv", 2.0, true);
    setTitleProber(nullptr);
    EXPECT_EQ(probed, std::filesystem::absolute(folder_->file("clip.mp4")).string());
    EXPECT_TRUE(info.tv);
    EXPECT_EQ(info.width, 960);
    EXPECT_EQ(info.outWidth, 960);
    EXPECT_EQ(info.sourceBits, 10);
    EXPECT_EQ(info.sourceColor.transfer, color::kTransferHLG);
    // With ffprobe installed, the built-in probe lets the title load.
    EXPECT_EQ(loadStreamInfo(server_->base(), "tv", 2.0, true).width, 720);
}

} // namespace
} // namespace corvel::test
