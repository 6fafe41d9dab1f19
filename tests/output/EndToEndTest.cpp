// Init and media segments from real encoded pictures, read back by the real
// ffprobe and ffmpeg.
#include "output/Encoder.h"
#include "output/InitSegment.h"
#include "output/MediaSegment.h"

#include "Clip.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <mutex>

namespace corvel {
namespace {

using nlohmann::json;

constexpr int kWidth = 320;
constexpr int kHeight = 180;
constexpr int kPerSegment = 24;

// Encodes `clip` in segments of kPerSegment pictures, each starting with a
// key picture, and writes init + segments into one file, as a player would
// read them one after the other.
void writeStream(const EncoderConfig& c, const std::vector<PictureRef>& clip, const std::string& path) {
    Encoder encoder(c);
    EncoderFormat format = encoder.prime(kPixelFormatX420);
    VideoTrack track;
    track.width = c.width;
    track.height = c.height;
    track.timescale = c.fpsNum;
    track.frameDuration = c.fpsDen;
    track.hvcC = *hvcC(format);
    track.color = c.color;
    auto boxes = hdr10Boxes(format);
    track.masteringDisplay = boxes.masteringDisplay;
    track.contentLightLevel = boxes.contentLightLevel;

    std::mutex lock;
    std::vector<EncodedPicture> pictures;
    for (size_t i = 0; i < clip.size(); ++i) {
        encoder.encode(clip[i], i % kPerSegment == 0, [&](std::optional<EncodedPicture> p) {
            std::lock_guard<std::mutex> guard(lock);
            if (p) pictures.push_back(std::move(*p));
        });
    }
    encoder.completeFrames();
    ASSERT_EQ(pictures.size(), clip.size());

    auto bytes = makeInitSegment(track, clip.size());
    for (size_t first = 0; first < pictures.size(); first += kPerSegment) {
        std::vector<EncodedPicture> part(pictures.begin() + static_cast<long>(first),
                                         pictures.begin() + static_cast<long>(std::min(first + kPerSegment, pictures.size())));
        auto seg = makeMediaSegment(static_cast<uint32_t>(first / kPerSegment + 1), track,
                                    static_cast<int64_t>(first), part, {});
        bytes.insert(bytes.end(), seg.begin(), seg.end());
    }
    test::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

json probe(const std::string& path) {
    // Packets and frames asked for together come back interleaved; one
    // call each keeps them apart.
    json info;
    for (const char* what : {"-show_streams -show_packets", "-show_frames"}) {
        int status = 0;
        std::string out = test::run(std::string("ffprobe -v error ") + what + " -of json '" + path + "'", &status);
        EXPECT_EQ(status, 0);
        info.update(json::parse(out));
    }
    return info;
}

void expectTiming(const json& info, size_t frames) {
    const auto& stream = info["streams"][0];
    EXPECT_EQ(stream["codec_name"], "hevc");
    EXPECT_EQ(stream["profile"], "Main 10");
    EXPECT_EQ(stream["pix_fmt"], "yuv420p10le");
    EXPECT_EQ(stream["width"], kWidth);
    EXPECT_EQ(stream["height"], kHeight);
    EXPECT_EQ(stream["time_base"], "1/24");
    const auto& packets = info["packets"];
    ASSERT_EQ(packets.size(), frames);
    for (size_t i = 0; i < frames; ++i) {
        EXPECT_EQ(packets[i]["pts"], static_cast<int>(i)) << i;
        EXPECT_EQ(packets[i]["duration"], 1) << i;
        bool key = packets[i]["flags"].get<std::string>().find('K') != std::string::npos;
        EXPECT_EQ(key, i % kPerSegment == 0) << i;
    }
    ASSERT_EQ(info["frames"].size(), frames);
    for (size_t i = 0; i < frames; ++i) EXPECT_EQ(info["frames"][i]["key_frame"], i % kPerSegment == 0 ? 1 : 0) << i;
}

TEST(EndToEnd, SdrStreamDecodesWithTagsTimingAndQuality) {
    test::TempDir dir;
    auto clip = test::makeClip(kWidth, kHeight, 3 * kPerSegment);
    EncoderConfig c;
    c.width = kWidth;
    c.height = kHeight;
    c.quality = EncoderConfig::defaultQuality();
    c.color = {color::kPrimaries709, color::kTransfer709, color::kMatrix709};
    std::string path = dir.file("sdr.mp4");
    writeStream(c, clip, path);

    json info = probe(path);
    expectTiming(info, clip.size());
    const auto& stream = info["streams"][0];
    EXPECT_EQ(stream["color_range"], "tv");
    EXPECT_EQ(stream["color_primaries"], "bt709");
    EXPECT_EQ(stream["color_transfer"], "bt709");
    EXPECT_EQ(stream["color_space"], "bt709");

    // Decoded pixels against the pictures that went in.
    int status = 0;
    std::string errors = test::run("ffmpeg -v error -y -i '" + path + "' -f rawvideo -pix_fmt yuv420p10le '" +
                                       dir.file("out.yuv") + "' 2>&1",
                                   &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(errors, "") << "the decoder complained";
    std::vector<uint16_t> input;
    for (const auto& p : clip) test::appendPlanar(*p, input);
    double psnr = test::psnr10(input, test::readPlanar(dir.file("out.yuv")));
    EXPECT_GE(psnr, 40.0);
    std::printf("PSNR at quality %.2f: %.2f dB\n", c.quality, psnr);
}

TEST(EndToEnd, Hdr10StreamCarriesColourAndMetadata) {
    test::TempDir dir;
    auto clip = test::makeClip(kWidth, kHeight, 2 * kPerSegment);
    EncoderConfig c;
    c.width = kWidth;
    c.height = kHeight;
    c.quality = 0.75;
    c.color = {color::kPrimaries2020, color::kTransferPQ, color::kMatrix2020};
    c.hdr10 = HDR10Metadata{1000, 400};
    std::string path = dir.file("hdr.mp4");
    writeStream(c, clip, path);

    json info = probe(path);
    expectTiming(info, clip.size());
    const auto& stream = info["streams"][0];
    EXPECT_EQ(stream["color_primaries"], "bt2020");
    EXPECT_EQ(stream["color_transfer"], "smpte2084");
    EXPECT_EQ(stream["color_space"], "bt2020nc");

    // Mastering display and content light level, as the decoder reports them
    // for the key pictures.
    bool mastering = false, light = false;
    for (const auto& side : info["frames"][0]["side_data_list"]) {
        if (side["side_data_type"] == "Mastering display metadata") {
            mastering = true;
            EXPECT_EQ(side["max_luminance"], "10000000/10000");
            EXPECT_EQ(side["min_luminance"], "50/10000");
            EXPECT_EQ(side["red_x"], "34000/50000");
            EXPECT_EQ(side["white_point_y"], "16450/50000");
        }
        if (side["side_data_type"] == "Content light level metadata") {
            light = true;
            EXPECT_EQ(side["max_content"], 1000);
            EXPECT_EQ(side["max_average"], 400);
        }
    }
    EXPECT_TRUE(mastering);
    EXPECT_TRUE(light);
}

} // namespace
} // namespace corvel
