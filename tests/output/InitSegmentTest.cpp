#include "output/InitSegment.h"

#include "Bytes.h"

#include <gtest/gtest.h>

namespace corvel {
namespace {

using test::Bytes;
using test::find;
using test::hexOf;

VideoTrack sdrTrack() {
    VideoTrack t;
    t.width = 1280;
    t.height = 720;
    t.timescale = 24;
    t.frameDuration = 1;
    t.hvcC = {0x01, 0x22, 0x33};
    t.color = {color::kPrimaries709, color::kTransfer709, color::kMatrix709};
    return t;
}

#define EXPECT_BYTES(expected, actual) EXPECT_EQ(hexOf((expected).data), hexOf(actual))

TEST(InitSegment, VideoOnlyTitleHasTheTablesBoxes) {
    auto seg = makeInitSegment(sdrTrack(), 240);

    EXPECT_EQ(test::tree(seg, 0, seg.size()),
              "ftyp moov(mvhd trak(tkhd mdia(mdhd hdlr minf(vmhd dinf(dref(url )) "
              "stbl(stsd(hvc1(hvcC colr)) stts stsc stsz stco)))) mvex(trex))");

    EXPECT_BYTES(Bytes().hex("00000020").text("ftyp").text("iso6").hex("00000000").text("iso6isomhlsfmp41"),
                 find(seg, {"ftyp"}).bytes);

    // 240 frames at 24/1: 10000 ms.
    EXPECT_BYTES(Bytes()
                     .hex("0000006C").text("mvhd").hex("00 000000 00000000 00000000 000003E8 00002710")
                     .hex("00010000 0100").zeros(10).unity().zeros(24).hex("00000002"),
                 find(seg, {"moov", "mvhd"}).bytes);

    EXPECT_BYTES(Bytes()
                     .hex("0000005C").text("tkhd").hex("00 000003 00000000 00000000 00000001 00000000 00002710")
                     .zeros(8).hex("0000 0000 0000 0000").unity().hex("05000000 02D00000"),
                 find(seg, {"moov", "trak", "tkhd"}).bytes);

    EXPECT_BYTES(Bytes().hex("00000020").text("mdhd").hex("00000000 00000000 00000000 00000018 000000F0 55C4 0000"),
                 find(seg, {"moov", "trak", "mdia", "mdhd"}).bytes);

    EXPECT_BYTES(Bytes().hex("0000002D").text("hdlr").hex("00000000 00000000").text("vide").zeros(12)
                     .text("VideoHandler").hex("00"),
                 find(seg, {"moov", "trak", "mdia", "hdlr"}).bytes);

    EXPECT_BYTES(Bytes().hex("00000014").text("vmhd").hex("00000001 0000 0000 0000 0000"),
                 find(seg, {"moov", "trak", "mdia", "minf", "vmhd"}).bytes);

    EXPECT_BYTES(Bytes().hex("00000024").text("dinf").hex("0000001C").text("dref").hex("00000000 00000001")
                     .hex("0000000C").text("url ").hex("00000001"),
                 find(seg, {"moov", "trak", "mdia", "minf", "dinf"}).bytes);

    const std::vector<std::string> stbl = {"moov", "trak", "mdia", "minf", "stbl"};
    auto at = [&](const char* type) {
        auto path = stbl;
        path.push_back(type);
        return find(seg, path).bytes;
    };
    EXPECT_BYTES(Bytes().hex("00000010").text("stts").hex("00000000 00000000"), at("stts"));
    EXPECT_BYTES(Bytes().hex("00000010").text("stsc").hex("00000000 00000000"), at("stsc"));
    EXPECT_BYTES(Bytes().hex("00000014").text("stsz").hex("00000000 00000000 00000000"), at("stsz"));
    EXPECT_BYTES(Bytes().hex("00000010").text("stco").hex("00000000 00000000"), at("stco"));

    // stsd: one entry, the hvc1 sample entry with hvcC and colr.
    Bytes hvc1;
    hvc1.hex("00000074").text("hvc1").zeros(6).hex("0001").zeros(16).hex("0500 02D0 00480000 00480000 00000000 0001")
        .zeros(32).hex("0018 FFFF")
        .hex("0000000B").text("hvcC").hex("012233")
        .hex("00000013").text("colr").text("nclx").hex("0001 0001 0001 00");
    EXPECT_BYTES(Bytes().hex("00000084").text("stsd").hex("00000000 00000001").hex(hexOf(hvc1.data)), at("stsd"));

    EXPECT_BYTES(Bytes().hex("00000020").text("trex").hex("00000000 00000001 00000001 00000000 00000000 00000000"),
                 find(seg, {"moov", "mvex", "trex"}).bytes);
}

TEST(InitSegment, SoundTrackFollowsTheVideoTrack) {
    VideoTrack t = sdrTrack();
    Bytes entry;
    entry.hex("00000010").text("mp4a").hex("0102030405060708");
    t.soundEntry = entry.data;
    auto seg = makeInitSegment(t, 240);

    EXPECT_EQ(test::tree(seg, 0, seg.size()),
              "ftyp moov(mvhd trak(tkhd mdia(mdhd hdlr minf(vmhd dinf(dref(url )) "
              "stbl(stsd(hvc1(hvcC colr)) stts stsc stsz stco)))) "
              "trak(tkhd mdia(mdhd hdlr minf(smhd dinf(dref(url )) stbl(stsd(mp4a) stts stsc stsz stco)))) "
              "mvex(trex trex))");
    EXPECT_EQ(test::be32(find(seg, {"moov", "mvhd"}).bytes, 104), 3u);

    EXPECT_BYTES(Bytes()
                     .hex("0000005C").text("tkhd").hex("00 000003 00000000 00000000 00000002 00000000 00002710")
                     .zeros(8).hex("0000 0001 0100 0000").unity().hex("00000000 00000000"),
                 find(seg, {"moov", "trak#1", "tkhd"}).bytes);
    // 10000 ms x 48 = 480000 ticks of 1/48000 s.
    EXPECT_BYTES(Bytes().hex("00000020").text("mdhd").hex("00000000 00000000 00000000 0000BB80 00075300 55C4 0000"),
                 find(seg, {"moov", "trak#1", "mdia", "mdhd"}).bytes);
    EXPECT_BYTES(Bytes().hex("0000002D").text("hdlr").hex("00000000 00000000").text("soun").zeros(12)
                     .text("SoundHandler").hex("00"),
                 find(seg, {"moov", "trak#1", "mdia", "hdlr"}).bytes);
    EXPECT_BYTES(Bytes().hex("00000010").text("smhd").hex("00000000 0000 0000"),
                 find(seg, {"moov", "trak#1", "mdia", "minf", "smhd"}).bytes);
    EXPECT_BYTES(Bytes().hex("00000020").text("stsd").hex("00000000 00000001").hex(hexOf(entry.data)),
                 find(seg, {"moov", "trak#1", "mdia", "minf", "stbl", "stsd"}).bytes);
    EXPECT_BYTES(Bytes().hex("00000020").text("trex").hex("00000000 00000002 00000001 00000000 00000000 00000000"),
                 find(seg, {"moov", "mvex", "trex#1"}).bytes);
}

TEST(InitSegment, HDR10TrackCarriesColourAndMetadataBoxes) {
    VideoTrack t = sdrTrack();
    t.color = {color::kPrimaries2020, color::kTransferPQ, color::kMatrix2020};
    std::vector<uint8_t> md(24);
    for (size_t i = 0; i < md.size(); ++i) md[i] = static_cast<uint8_t>(i + 1);
    t.masteringDisplay = md;
    t.contentLightLevel = std::vector<uint8_t>{0x03, 0xE8, 0x01, 0x90};
    auto seg = makeInitSegment(t, 240);

    const std::vector<std::string> entry = {"moov", "trak", "mdia", "minf", "stbl", "stsd", "hvc1"};
    EXPECT_EQ(test::tree(find(seg, entry).bytes, 86, find(seg, entry).bytes.size()), "hvcC colr mdcv clli");
    auto child = [&](const char* type) {
        auto path = entry;
        path.push_back(type);
        return find(seg, path).bytes;
    };
    EXPECT_BYTES(Bytes().hex("00000013").text("colr").text("nclx").hex("0009 0010 0009 00"), child("colr"));
    EXPECT_BYTES(Bytes().hex("00000020").text("mdcv").hex(hexOf(md)), child("mdcv"));
    EXPECT_BYTES(Bytes().hex("0000000C").text("clli").hex("03E8 0190"), child("clli"));
}

TEST(InitSegment, LargeTrackAndFractionalRate) {
    VideoTrack t = sdrTrack();
    t.width = 3840;
    t.height = 2160;
    t.timescale = 24000;
    t.frameDuration = 1001;
    auto seg = makeInitSegment(t, 239);

    auto tkhd = find(seg, {"moov", "trak", "tkhd"}).bytes;
    EXPECT_EQ(test::be32(tkhd, 84), 0x0F000000u);
    EXPECT_EQ(test::be32(tkhd, 88), 0x08700000u);
    auto hvc1 = find(seg, {"moov", "trak", "mdia", "minf", "stbl", "stsd", "hvc1"}).bytes;
    EXPECT_EQ(hexOf({hvc1.begin() + 32, hvc1.begin() + 36}), "0F 00 08 70 ");

    // 239 x 1001 x 1000 / 24000 = 9968.29 ms, truncated; 239239 media units.
    EXPECT_EQ(test::be32(find(seg, {"moov", "mvhd"}).bytes, 24), 9968u);
    EXPECT_EQ(test::be32(tkhd, 28), 9968u);
    EXPECT_EQ(test::be32(find(seg, {"moov", "trak", "mdia", "mdhd"}).bytes, 20), 24000u);
    EXPECT_EQ(test::be32(find(seg, {"moov", "trak", "mdia", "mdhd"}).bytes, 24), 239239u);

    // Durations past 32 bits are capped.
    t.soundEntry = Bytes().hex("00000008").text("mp4a").data;
    auto huge = makeInitSegment(t, uint64_t{1} << 40);
    EXPECT_EQ(test::be32(find(huge, {"moov", "mvhd"}).bytes, 24), 0xFFFFFFFFu);
    EXPECT_EQ(test::be32(find(huge, {"moov", "trak", "mdia", "mdhd"}).bytes, 24), 0xFFFFFFFFu);
    // The sound duration is the low 32 bits of the capped milliseconds x 48.
    EXPECT_EQ(test::be32(find(huge, {"moov", "trak#1", "mdia", "mdhd"}).bytes, 24),
              static_cast<uint32_t>(uint64_t{0xFFFFFFFF} * 48));
}

TEST(InitSegment, SampleShapeAndTurnReachTheSampleEntryAndTrackHeader) {
    // 720x480 with samples 32:27 wide: shown 853.33 wide. Turned a quarter
    // clockwise, the picture is moved right by its height.
    VideoTrack t = sdrTrack();
    t.width = 720;
    t.height = 480;
    t.shape = {32, 27, 1};
    auto seg = makeInitSegment(t, 240);
    EXPECT_EQ(test::tree(seg, 0, seg.size()),
              "ftyp moov(mvhd trak(tkhd mdia(mdhd hdlr minf(vmhd dinf(dref(url )) "
              "stbl(stsd(hvc1(hvcC colr pasp)) stts stsc stsz stco)))) mvex(trex))");
    EXPECT_BYTES(Bytes().hex("00000010").text("pasp").hex("00000020 0000001B"),
                 find(seg, {"moov", "trak", "mdia", "minf", "stbl", "stsd", "hvc1", "pasp"}).bytes);
    auto tkhd = find(seg, {"moov", "trak", "tkhd"}).bytes;
    // 720 x 32 / 27 = 853.333 in 16.16: 0x0355_5555.
    EXPECT_BYTES(Bytes()
                     .hex("00000000 00010000 00000000 FFFF0000 00000000 00000000 01E00000 00000000 40000000")
                     .hex("03555555 01E00000"),
                 std::vector<uint8_t>(tkhd.begin() + 48, tkhd.end()));
    // The hvc1 entry keeps the coded size.
    auto hvc1 = find(seg, {"moov", "trak", "mdia", "minf", "stbl", "stsd", "hvc1"}).bytes;
    EXPECT_EQ(test::be32(hvc1, 32), 0x02D001E0u);

    // A half turn moves the picture by both sides; three quarters by its width.
    t.shape = {1, 1, 2};
    tkhd = find(makeInitSegment(t, 240), {"moov", "trak", "tkhd"}).bytes;
    EXPECT_BYTES(Bytes().hex("FFFF0000 00000000 00000000 00000000 FFFF0000 00000000 02D00000 01E00000 40000000")
                     .hex("02D00000 01E00000"),
                 std::vector<uint8_t>(tkhd.begin() + 48, tkhd.end()));
    t.shape = {1, 1, 3};
    seg = makeInitSegment(t, 240);
    tkhd = find(seg, {"moov", "trak", "tkhd"}).bytes;
    EXPECT_BYTES(Bytes().hex("00000000 FFFF0000 00000000 00010000 00000000 00000000 00000000 02D00000 40000000")
                     .hex("02D00000 01E00000"),
                 std::vector<uint8_t>(tkhd.begin() + 48, tkhd.end()));
    // Square samples write no pasp box.
    EXPECT_EQ(test::tree(seg, 0, seg.size()).find("pasp"), std::string::npos);
}

TEST(InitSegment, ColourCodePoints) {
    struct Case {
        SourceColor color;
        uint16_t p, t, m;
    };
    const Case cases[] = {
        {{}, 1, 1, 1},
        {{color::kPrimariesP3D65, color::kTransferHLG, color::kMatrix601}, 12, 18, 6},
        {{color::kPrimariesSMPTEC, "ITU_R_2020", "SMPTE_240M_1995"}, 6, 1, 1},
        {{color::kPrimariesEBU3213, std::nullopt, color::kMatrix2020}, 5, 1, 9},
        {{"kCVImageBufferColorPrimaries_ITU_R_2020", "", ""}, 1, 1, 1},
    };
    for (const Case& c : cases) {
        NclxCodes codes = nclx(c.color);
        EXPECT_EQ(codes.primaries, c.p);
        EXPECT_EQ(codes.transfer, c.t);
        EXPECT_EQ(codes.matrix, c.m);
    }
}

} // namespace
} // namespace corvel
