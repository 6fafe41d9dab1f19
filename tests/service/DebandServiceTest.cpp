// Debanding through the service: an 8-bit title lifted to HDR (or asked with
// chdr=1) passes the debanding stage first; status and log name its way.
#include "processing/ShaderDirectory.h"
#include "service/ServiceFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using namespace corvel;
using namespace corvel::test;

namespace {

class DebandService : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        // A horizontal ramp one 8-bit code every 4 pixels: banded steps.
        addClip("ramp.mp4", "-f lavfi -i color=c=black:s=320x180:r=10:d=1,"
                            "geq=lum='40+X/4':cb=128:cr=128 -c:v libx264 -preset veryfast -crf 4 "
                            "-g 10 -pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 "
                            "-colorspace bt709 {out}");
        addSidecar("ramp", "ramp.mp4", 320, 180, 10, 1);
    }

    // Plays the title through ffmpeg's HLS client; returns ffmpeg's errors.
    std::string play(const std::string& query) {
        return capture("ffmpeg -nostdin -v error -y -i '" + url("/v1/enhanced/ramp/index.m3u8" + query) +
                       "' -c copy '" + work_.file("out.mp4") + "' 2>&1");
    }
};

} // namespace

TEST_F(DebandService, LiftedEightBitTitleIsDebandedWithTheFixedFilter) {
    startService();
    EXPECT_EQ(play("?hdr=1"), "");
    const std::string frames = capture("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                       "stream=nb_read_frames,color_transfer -of default=nw=1 '" +
                                       work_.file("out.mp4") + "'");
    EXPECT_NE(frames.find("nb_read_frames=10"), std::string::npos) << frames;
    EXPECT_NE(frames.find("color_transfer=smpte2084"), std::string::npos) << frames;
    const std::string log = this->log();
    EXPECT_NE(log.find("service: debanding 320x180 ready (the fixed filter)"), std::string::npos) << log;
    EXPECT_NE(log.find("deband: truehdr-debander.json / .bin missing or unreadable in (no shader "
                       "directory); the fixed filter instead"),
              std::string::npos);
    auto s = status();
    EXPECT_EQ(s["deband"], "the fixed filter");
    EXPECT_EQ(s["last_error"], nullptr);
}

TEST_F(DebandService, OnlyEightBitSourcesLiftedOrAskedWithChdrAreDebanded) {
    startService();
    // Neither lifted nor asked: no stage.
    EXPECT_EQ(get("/v1/enhanced/ramp/seg/0.m4s").status, 200);
    EXPECT_EQ(status()["deband"], nullptr);
    EXPECT_EQ(log().find("service: debanding"), std::string::npos);
    // chdr=1 on the playlist asks for it without the HDR lift.
    ASSERT_EQ(get("/v1/enhanced/ramp/index.m3u8?q=3&chdr=1").status, 200);
    EXPECT_EQ(get("/v1/enhanced/ramp/seg/0.m4s?q=3").status, 200);
    EXPECT_EQ(status()["deband"], "the fixed filter");
    EXPECT_EQ(status()["hdr_used"], false);

    // A 10-bit source is never debanded, lifted or not.
    addClip("ramp10.mp4", "-f lavfi -i color=c=black:s=320x180:r=10:d=1,format=yuv420p10le,"
                          "geq=lum='160+X':cb=512:cr=512 -c:v libx265 -preset ultrafast -x265-params "
                          "log-level=none -pix_fmt yuv420p10le -tag:v hvc1 {out}");
    addSidecar("ramp10", "ramp10.mp4", 320, 180, 10, 1);
    ASSERT_EQ(get("/v1/enhanced/ramp10/index.m3u8?hdr=1&chdr=1").status, 200);
    EXPECT_EQ(get("/v1/enhanced/ramp10/seg/0.m4s?hdr=1").status, 200);
    auto s = status();
    EXPECT_EQ(s["item"], "ramp10");
    EXPECT_EQ(s["deband"], nullptr);
}

TEST_F(DebandService, NetworkMapWhenTheWeightsAreThere) {
    // The shipped weights, found in the shader directory's "deband" folder.
    const auto shaders = shaderDirectory();
    ASSERT_TRUE(shaders);
    ASSERT_TRUE(std::filesystem::exists(*shaders + "/deband/truehdr-debander.bin"));
    debandNetwork_ = true;
    // Two pictures: the map takes seconds a picture on the CPU device.
    addClip("ramp2.mp4", "-f lavfi -i color=c=black:s=320x180:r=10:d=0.2,"
                         "geq=lum='40+X/4':cb=128:cr=128 -c:v libx264 -preset veryfast -crf 4 "
                         "-g 10 -pix_fmt yuv420p {out}");
    addSidecar("ramp2", "ramp2.mp4", 320, 180, 10, 0.2);
    startService();
    ASSERT_EQ(get("/v1/enhanced/ramp2/index.m3u8?hdr=1").status, 200);
    // A segment request waits 15 s at most, then asks to be repeated (503).
    int answer = 0;
    for (int tries = 0; tries < 8 && answer != 200; ++tries) answer = get("/v1/enhanced/ramp2/seg/0.m4s?hdr=1").status;
    EXPECT_EQ(answer, 200);
    const std::string log = this->log();
    EXPECT_NE(log.find("service: debanding 320x180 ready (TrueHDR's network's map, in Metal)"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("deband: TrueHDR's debanding network loaded (97160 weights; "), std::string::npos);
    EXPECT_NE(log.find("), map 960x544"), std::string::npos);
    auto s = status();
    EXPECT_EQ(s["deband"], "TrueHDR's network's map, in Metal");
    EXPECT_EQ(s["last_error"], nullptr);
}
