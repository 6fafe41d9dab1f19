// The MP4 box walk, byte readers, bit depths, colour mappings and the sample
// tables, against movie boxes written byte by byte in the test.
#include "Mp4Builder.h"

#include "common/EnhanceError.h"
#include "source/ColorMapping.h"
#include "source/Mp4Boxes.h"
#include "source/Mp4Track.h"

#include <gtest/gtest.h>

namespace corvel::test {
namespace {

std::string failure(const Data& moov, uint64_t fileLength = 1u << 30) {
    try {
        Mp4Track track("http://x/a.mp4", "a.mp4", moov, fileLength);
    } catch (const EnhanceError& e) {
        return e.description();
    }
    return "no error";
}

Mp4Track parsed(const TrackPlan& plan, uint32_t movieScale = 1000) {
    return Mp4Track("http://x/a.mp4", "a.mp4", movie({plan}, movieScale), 1u << 30);
}

std::vector<double> times(const Mp4Track& track) {
    std::vector<double> out;
    for (const auto& s : track.samples) out.push_back(s.pts);
    return out;
}

TEST(Mp4Boxes, WalkStopsAtEveryMalformedHeader) {
    Data data = box("free", Data(4, 0));
    append(data, box("skip", {}));
    auto list = boxes(data, 0);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].type, "free");
    EXPECT_EQ(list[0].body, 8u);
    EXPECT_EQ(list[0].end, 12u);
    EXPECT_EQ(list[1].body, 20u);

    Data toEnd = box("free", {});
    Data last = {0, 0, 0, 0, 'm', 'd', 'a', 't', 1, 2, 3};
    append(toEnd, last); // size 0: runs to the end of the range
    list = boxes(toEnd, 0);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].end, toEnd.size());

    Data wide = {0, 0, 0, 1, 'w', 'i', 'd', 'e'};
    put64(wide, 12); // 64-bit size below 16 ends the walk
    EXPECT_TRUE(boxes(wide, 0).empty());
    Data wideOk = {0, 0, 0, 1, 'w', 'i', 'd', 'e'};
    put64(wideOk, 18);
    wideOk.resize(18, 7);
    list = boxes(wideOk, 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].body, 16u);

    Data tooLong = box("free", Data(8, 0));
    tooLong.resize(tooLong.size() - 1); // the box runs past the end: not listed
    EXPECT_TRUE(boxes(tooLong, 0).empty());
    Data tiny = {0, 0, 0, 4, 'f', 'r', 'e', 'e'};
    EXPECT_TRUE(boxes(tiny, 0).empty());
    EXPECT_EQ(boxes(data, 0, 12).size(), 1u);
}

TEST(Mp4Boxes, ChildFollowsFirstBoxOfEachType) {
    Data inner = box("bbbb", {1});
    append(inner, box("bbbb", {2, 2}));
    Data data = box("aaaa", inner);
    auto found = child(data, {"aaaa", "bbbb"}, 0);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->second - found->first, 1u);
    EXPECT_EQ(data[found->first], 1);
    EXPECT_FALSE(child(data, {"aaaa", "cccc"}, 0));
    auto all = child(data, {}, 3, 7);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->first, 3u);
    EXPECT_EQ(all->second, 7u);
}

TEST(Mp4Boxes, ReadersStayInsideTheBuffer) {
    Data data = {0x12, 0x34, 'a', 'v', 'c', 0x01};
    EXPECT_EQ(be16(data, 0), 0x1234u);
    EXPECT_EQ(fourcc(data, 2), "????");
    EXPECT_EQ(sub(data, 2, 5), (Data{'a', 'v', 'c'}));
    EXPECT_THROW(be16(data, 5), TruncatedBox);
    EXPECT_THROW(be32(data, 3), TruncatedBox);
    EXPECT_THROW(be64(data, 0), TruncatedBox);
    EXPECT_THROW(sub(data, 4, 9), TruncatedBox);
    EXPECT_THROW(be16(data, SIZE_MAX), TruncatedBox);
}

TEST(Mp4Boxes, PictureBitsFromConfigurationRecords) {
    Data hvcc(23, 0);
    hvcc[17] = 0xfa; // bitDepthLumaMinus8 = 2 in the low three bits
    EXPECT_EQ(pictureBits(hvcc, true), 10);
    EXPECT_EQ(pictureBits(Data(17, 0xff), true), 8);

    // profile, compat, level, 0xff, SPS count 1, SPS of 2 bytes, PPS count 1, PPS of 1 byte.
    Data high = {1, 100, 0, 40, 0xff, 0xe1, 0, 2, 0x67, 0x64, 1, 0, 1, 0x68};
    EXPECT_EQ(pictureBits(high, false), 8); // profile 100 cut short after the picture sets
    Data high10 = high;
    high10[1] = 110;
    EXPECT_EQ(pictureBits(high10, false), 10);
    Data withExtension = high10;
    append(withExtension, {0xfd, 0xfa, 0xf8, 0}); // chroma 1, luma depth minus 8 = 2
    EXPECT_EQ(pictureBits(withExtension, false), 10);
    withExtension[1] = 100;
    withExtension[high.size() + 1] = 0xf8; // luma depth minus 8 = 0
    EXPECT_EQ(pictureBits(withExtension, false), 8);
    Data baseline = high;
    baseline[1] = 66;
    EXPECT_EQ(pictureBits(baseline, false), 8);
    EXPECT_EQ(pictureBits({1, 110, 0}, false), 8);
    Data lying = {1, 122, 0, 40, 0xff, 0xe1, 0xff, 0xff}; // SPS length past the end
    EXPECT_EQ(pictureBits(lying, false), 10);
}

TEST(ColorMappings, NclxCodesAndFFmpegNames) {
    SourceColor hdr = colorFromNclx(9, 16, 9);
    EXPECT_EQ(hdr.primaries, color::kPrimaries2020);
    EXPECT_EQ(hdr.transfer, color::kTransferPQ);
    EXPECT_EQ(hdr.matrix, color::kMatrix2020);
    SourceColor unknownCodes = colorFromNclx(2, 2, 2);
    EXPECT_FALSE(unknownCodes.primaries || unknownCodes.transfer || unknownCodes.matrix);
    SourceColor sd = colorFromNclx(6, 6, 6);
    EXPECT_EQ(sd.primaries, color::kPrimariesSMPTEC);
    EXPECT_EQ(sd.transfer, color::kTransfer709);
    EXPECT_EQ(sd.matrix, color::kMatrix601);
    EXPECT_EQ(colorFromNclx(12, 18, 5).primaries, color::kPrimariesP3D65);
    EXPECT_EQ(colorFromNclx(12, 18, 5).transfer, color::kTransferHLG);

    SourceColor none = colorFromNames(std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(none, (SourceColor{color::kPrimaries709, color::kTransfer709, color::kMatrix709}));
    EXPECT_EQ(colorFromNames("bt2020", "smpte2084", "bt2020nc"),
              (SourceColor{color::kPrimaries2020, color::kTransferPQ, color::kMatrix2020}));
    EXPECT_EQ(colorFromNames("bt470bg", "arib-std-b67", "smpte170m"),
              (SourceColor{color::kPrimariesEBU3213, color::kTransferHLG, color::kMatrix601}));
    EXPECT_EQ(colorFromNames("smpte240m", "bt709", "bt470bg").primaries, color::kPrimariesSMPTEC);
}

TEST(Mp4Track, EditListShiftsEveryPresentationTime) {
    TrackPlan plan;
    plan.edits = {{1001, -1}, {96000, 2002}}; // movie scale 24000
    Mp4Track track = parsed(plan, 24000);
    ASSERT_EQ(track.samples.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(track.samples[i].pts, 1001.0 / 24000 + (static_cast<double>(i) * 1001.0 - 2002) / 24000, 1e-12);

    plan.wideEdits = true;
    EXPECT_EQ(times(parsed(plan, 24000)), times(track));
    plan.edits = {{500, -1}}; // only empty edits: delay without a media start
    EXPECT_NEAR(parsed(plan, 1000).samples[0].pts, 0.5, 1e-12);
}

TEST(Mp4Track, CompositionOffsetsBySignVersion) {
    TrackPlan plan;
    plan.cttsVersion = 0;
    plan.ctts = {{4, 0xFFFFFC18}}; // the bits of -1000
    EXPECT_NEAR(parsed(plan).samples[0].pts, 4294966296.0 / 24000, 1e-9);
    plan.cttsVersion = 1;
    EXPECT_NEAR(parsed(plan).samples[0].pts, -1000.0 / 24000, 1e-12);
    plan.ctts = {{1, 5}, {1, 6}}; // fewer entries than samples: the rest get 0
    auto t = times(parsed(plan));
    EXPECT_NEAR(t[1], (1001.0 + 6) / 24000, 1e-12);
    EXPECT_NEAR(t[3], 3003.0 / 24000, 1e-12);
}

TEST(Mp4Track, SampleTablesGiveOffsetsSizesAndKeys) {
    TrackPlan plan;
    plan.sizes = {100, 20, 10, 10, 7};
    plan.sampleCount = 5;
    plan.stts = {{2, 1001}, {1, 2002}}; // the table describes 3 of 5 samples
    plan.chunks = {1000, 5000, 9000};
    plan.stsc = {{1, 2, 1}, {3, 1, 1}}; // chunks 1-2: 2 samples each, chunk 3: 1
    plan.stss = {1, 4, 99};
    Mp4Track track = parsed(plan);
    ASSERT_EQ(track.samples.size(), 5u);
    std::vector<uint64_t> offsets, expectOffsets = {1000, 1100, 5000, 5010, 9000};
    std::vector<bool> sync, expectSync = {true, false, false, true, false};
    for (const auto& s : track.samples) {
        offsets.push_back(s.offset);
        sync.push_back(s.sync);
    }
    EXPECT_EQ(offsets, expectOffsets);
    EXPECT_EQ(sync, expectSync);
    EXPECT_EQ(track.samples[4].size, 7u);
    auto t = times(track);
    EXPECT_NEAR(t[2], 2002.0 / 24000, 1e-12);
    EXPECT_NEAR(t[3], 4004.0 / 24000, 1e-12); // past the table: the running time reached
    EXPECT_NEAR(t[4], 4004.0 / 24000, 1e-12);

    plan.withStss = false;
    plan.fixedSize = 33;
    plan.wideChunks = true;
    plan.chunks = {1ull << 33, 2ull << 33, 3ull << 33};
    track = parsed(plan);
    for (const auto& s : track.samples) {
        EXPECT_TRUE(s.sync);
        EXPECT_EQ(s.size, 33u);
    }
    EXPECT_EQ(track.samples[1].offset, (1ull << 33) + 33);
}

TEST(Mp4Track, ReorderDepthFromPresentationOrder) {
    TrackPlan plan;
    EXPECT_EQ(parsed(plan).reorder, 0);
    plan.cttsVersion = 0; // decode I P B B, presented I B B P
    plan.stts = {{4, 1}};
    plan.ctts = {{1, 1}, {1, 3}, {1, 0}, {1, 0}};
    EXPECT_EQ(parsed(plan).reorder, 1);
    plan.sizes = {1, 1, 1, 1, 1};
    plan.sampleCount = 5;
    plan.stsc = {{1, 5, 1}};
    plan.stts = {{5, 1}}; // decode I P B b b, presented I b B b P
    plan.ctts = {{1, 0}, {1, 3}, {1, 0}, {1, -2u}, {1, -1u}};
    plan.cttsVersion = 1;
    EXPECT_EQ(parsed(plan).reorder, 2);
}

TEST(Mp4Track, FormatColourAndDepthFromTheSampleEntry) {
    TrackPlan plan;
    plan.entryType = "hev1";
    plan.configType = "hvcC";
    plan.config = Data(23, 0);
    plan.config[17] = 2;
    plan.nclx = {9, 16, 9};
    TrackPlan audio = plan;
    audio.handler = "soun";
    Mp4Track track("http://x/a.mp4", "a.mp4", movie({audio, plan}), 1u << 30);
    ASSERT_TRUE(track.format);
    EXPECT_EQ(track.format->codecType, "hvc1");
    EXPECT_EQ(track.format->width, 320);
    EXPECT_EQ(track.format->height, 180);
    EXPECT_EQ(track.format->config, plan.config);
    EXPECT_EQ(track.bits, 10);
    EXPECT_EQ(track.color.transfer, color::kTransferPQ);
    EXPECT_EQ(track.format->color, track.color);
}

TEST(Mp4Track, RangeShapeAndTurnFromTheSampleEntryAndTrackHeader) {
    TrackPlan plan;
    plan.nclx = {1, 1, 1};
    EXPECT_FALSE(parsed(plan).fullRange);
    EXPECT_EQ(parsed(plan).shape, PictureShape{});
    plan.fullRange = true;
    plan.paspH = 64; // 64:54 is 32:27
    plan.paspV = 54;
    plan.matrix = {0, -0x10000, 0x10000, 0};
    Mp4Track track = parsed(plan);
    EXPECT_TRUE(track.fullRange);
    EXPECT_EQ(track.shape, (PictureShape{32, 27, 3}));

    // Each quarter turn, in both track header versions; a mirror stays as coded.
    struct Case {
        std::vector<int32_t> matrix;
        int turns;
    };
    for (uint8_t version : {uint8_t{0}, uint8_t{1}}) {
        for (const Case& c : {Case{{0x10000, 0, 0, 0x10000}, 0}, Case{{0, 0x10000, -0x10000, 0}, 1},
                              Case{{-0x10000, 0, 0, -0x10000}, 2}, Case{{0, -0x10000, 0x10000, 0}, 3},
                              Case{{-0x10000, 0, 0, 0x10000}, 0}}) {
            plan.matrix = c.matrix;
            plan.tkhdVersion = version;
            EXPECT_EQ(parsed(plan).shape.quarterTurns, c.turns) << int(version) << " " << c.matrix[0];
        }
    }
    // A zero spacing says nothing; spacings beyond 16 bits are reduced to fit.
    plan.paspH = 0;
    plan.paspV = 7;
    EXPECT_TRUE(parsed(plan).shape.squareSamples());
    plan.paspH = 4000000;
    plan.paspV = 3000000;
    EXPECT_EQ(parsed(plan).shape, (PictureShape{4, 3, 0}));
    // A pasp box cut short is a damaged movie header, not a read past it.
    TrackPlan cut;
    cut.paspH = 1;
    cut.paspV = 1;
    Data moov = movie({cut});
    // Cut the 16-byte pasp to 12 bytes: its size field and the enclosing boxes' stay as written.
    std::string text(moov.begin(), moov.end());
    size_t at = text.find("pasp");
    ASSERT_NE(at, std::string::npos);
    moov[at - 1] = 12;
    EXPECT_EQ(failure(moov), "This part (a.mp4) has a damaged movie header.");
}

TEST(Mp4Track, EveryRefusalHasItsSentence) {
    EXPECT_EQ(failure(box("free", {})), "This part (a.mp4) has no movie header.");
    TrackPlan audio;
    audio.handler = "soun";
    EXPECT_EQ(failure(movie({audio})), "This part (a.mp4) has no video track.");
    TrackPlan plan;
    plan.entryType = "mp4v";
    EXPECT_EQ(failure(movie({plan})),
              "This part's picture is mp4v, which the Mac's enhancer does not decode (H.264 and HEVC only).");
    plan = {};
    plan.withConfig = false;
    EXPECT_EQ(failure(movie({plan})), "This part's picture has no avcC.");
    plan = {};
    plan.withTables = false;
    EXPECT_EQ(failure(movie({plan})),
              "This part (a.mp4) has no sample tables (a fragmented MP4 is not read by the Mac's enhancer).");
    plan = {};
    plan.sampleCount = 0;
    plan.sizes = {};
    EXPECT_EQ(failure(movie({plan})), "This part (a.mp4) has no samples in its movie header (fragmented MP4).");
    plan = {};
    plan.width = 0;
    EXPECT_EQ(failure(movie({plan})), "This part's picture format was refused (-1).");

    const std::string damaged = "This part (a.mp4) has a damaged movie header.";
    plan = {};
    plan.mediaScale = 0;
    EXPECT_EQ(failure(movie({plan})), damaged);
    plan = {};
    plan.sampleCount = 1000; // more sizes than the table holds
    EXPECT_EQ(failure(movie({plan})), damaged);
    plan = {};
    plan.fixedSize = 1;
    plan.sampleCount = 4000000000u; // more samples than the file has bytes
    EXPECT_EQ(failure(movie({plan}), 1000000), damaged);
    plan = {};
    plan.stsc = {{3, 1, 1}, {1, 1, 1}}; // first chunks going back
    EXPECT_EQ(failure(movie({plan})), damaged);
}

TEST(Mp4Track, CutMovieBoxesFailCleanly) {
    TrackPlan plan;
    plan.cttsVersion = 1;
    plan.ctts = {{4, 2}};
    plan.edits = {{10, -1}, {100, 0}};
    Data whole = movie({plan});
    // Every prefix, with the moov size left claiming the whole box and with
    // the size patched to the prefix (fields then run past their boxes).
    for (size_t length = 0; length < whole.size(); ++length) {
        Data cut(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length));
        EXPECT_NE(failure(cut), "no error") << length;
        if (length >= 8) {
            cut[0] = static_cast<uint8_t>(length >> 24);
            cut[1] = static_cast<uint8_t>(length >> 16);
            cut[2] = static_cast<uint8_t>(length >> 8);
            cut[3] = static_cast<uint8_t>(length);
            failure(cut); // must not crash or read out of bounds (ASan builds)
        }
    }
    EXPECT_EQ(failure(whole), "no error");
}

} // namespace
} // namespace corvel::test
