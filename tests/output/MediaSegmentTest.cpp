#include "output/MediaSegment.h"

#include "Bytes.h"

#include <gtest/gtest.h>

namespace corvel {
namespace {

using test::Bytes;
using test::find;
using test::hexOf;

#define EXPECT_BYTES(expected, actual) EXPECT_EQ(hexOf((expected).data), hexOf(actual))

// One length-prefixed NAL unit: the 2-byte header for `type` and `body`.
std::vector<uint8_t> unit(int type, std::vector<uint8_t> body) {
    std::vector<uint8_t> u(6 + body.size());
    u[3] = static_cast<uint8_t>(2 + body.size());
    u[4] = static_cast<uint8_t>(type << 1);
    u[5] = 1;
    std::copy(body.begin(), body.end(), u.begin() + 6);
    return u;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

VideoTrack track24() {
    VideoTrack t;
    t.timescale = 24;
    t.frameDuration = 1;
    return t;
}

TEST(MediaSegment, FortyEightPicturesAtFrame96) {
    // Picture i is one slice of i + 1 bytes; the first also carries the
    // parameter sets and a delimiter (dropped) and two SEI units (kept).
    std::vector<EncodedPicture> pictures;
    for (int i = 0; i < 48; ++i) {
        auto slice = unit(i == 0 ? 19 : 1, std::vector<uint8_t>(static_cast<size_t>(i + 1), static_cast<uint8_t>(i)));
        EncodedPicture p;
        p.key = i == 0;
        p.data = i == 0 ? cat({unit(35, {0x50}), unit(32, {1, 2}), unit(33, {3}), unit(34, {4}), unit(39, {5, 6}),
                               slice, unit(40, {7})})
                        : slice;
        pictures.push_back(p);
    }
    auto seg = makeMediaSegment(3, track24(), 96, pictures, {});

    EXPECT_EQ(test::tree(seg, 0, seg.size()), "moof(mfhd traf(tfhd tfdt trun)) mdat");

    // Sample sizes: picture 0 = SEI (4+4) + slice (4+3) + SEI (4+3) = 22;
    // picture i > 0 = 4 + 2 + i + 1.
    Bytes trun;
    trun.hex("000000D8").text("trun").hex("00000205 00000030 0000012C 02000000").hex("00000016");
    for (int i = 1; i < 48; ++i) trun.hex(hexOf({0, 0, 0, static_cast<uint8_t>(7 + i)}));
    Bytes moof;
    moof.hex("00000124").text("moof")
        .hex("00000010").text("mfhd").hex("00000000 00000003")
        .hex("0000010C").text("traf")
        .hex("00000018").text("tfhd").hex("00020028 00000001 00000001 01010000")
        .hex("00000014").text("tfdt").hex("01000000 00000000 00000060")
        .hex(hexOf(trun.data));
    EXPECT_BYTES(moof, find(seg, {"moof"}).bytes);

    // The moof size is the data offset minus the mdat header.
    EXPECT_EQ(test::be32(seg, 0) + 8, 0x12Cu);

    Bytes payload;
    payload.hex(hexOf(unit(39, {5, 6}))).hex(hexOf(unit(19, {0}))).hex(hexOf(unit(40, {7})));
    for (int i = 1; i < 48; ++i) payload.hex(hexOf(pictures[static_cast<size_t>(i)].data));
    auto mdat = find(seg, {"mdat"});
    EXPECT_EQ(mdat.offset, 0x124u);
    EXPECT_BYTES(Bytes().hex(hexOf({0, 0, static_cast<uint8_t>((8 + payload.data.size()) >> 8),
                                    static_cast<uint8_t>(8 + payload.data.size())}))
                     .text("mdat").hex(hexOf(payload.data)),
                 mdat.bytes);
    EXPECT_EQ(mdat.offset + mdat.bytes.size(), seg.size());
}

TEST(MediaSegment, ParameterSetOnlyPictureAndNonKeyStart) {
    EncodedPicture onlySets{cat({unit(35, {0x10}), unit(32, {1}), unit(33, {2}), unit(34, {3})}), false};
    EncodedPicture slice{unit(1, {9, 9}), false};
    VideoTrack t = track24();
    t.frameDuration = 1001;
    auto seg = makeMediaSegment(1, t, 5, {onlySets, slice}, {});

    EXPECT_BYTES(Bytes().hex("00000018").text("tfhd").hex("00020028 00000001 000003E9 01010000"),
                 find(seg, {"moof", "traf", "tfhd"}).bytes);
    // 5 x 1001 = 5005.
    EXPECT_BYTES(Bytes().hex("00000014").text("tfdt").hex("01000000 00000000 0000138D"),
                 find(seg, {"moof", "traf", "tfdt"}).bytes);
    auto trun = find(seg, {"moof", "traf", "trun"}).bytes;
    EXPECT_EQ(test::be32(trun, 12), 2u);          // sample count
    EXPECT_EQ(test::be32(trun, 20), 0x01010000u); // first picture not a sync sample
    EXPECT_EQ(test::be32(trun, 24), 0u);          // parameter sets only: empty sample
    EXPECT_EQ(test::be32(trun, 28), 8u);
    EXPECT_BYTES(Bytes().hex("00000010").text("mdat").hex(hexOf(slice.data)), find(seg, {"mdat"}).bytes);
}

TEST(MediaSegment, SoundFragmentFollowsVideo) {
    std::vector<EncodedPicture> pictures = {{unit(19, {1, 2, 3}), true}, {unit(1, {4}), false}};
    std::vector<SoundSample> sound = {{144000, 1024, {0xA1, 0xA2, 0xA3}}, {145024, 1024, {0xB1, 0xB2}}};
    auto seg = makeMediaSegment(7, track24(), 6000, pictures, sound);

    EXPECT_EQ(test::tree(seg, 0, seg.size()), "moof(mfhd traf(tfhd tfdt trun) traf(tfhd tfdt trun)) mdat");
    // moof = 8 + 16 + video traf (8 + 24 + 20 + 24 + 2 x 4 = 84) + sound traf (8 + 20 + 20 + 20 + 2 x 8 = 84).
    const uint32_t moofSize = 8 + 16 + 84 + 84;
    ASSERT_EQ(test::be32(seg, 0), moofSize);
    const uint32_t videoBytes = 9 + 7;
    Bytes straf;
    straf.hex("00000054").text("traf")
        .hex("00000014").text("tfhd").hex("00020020 00000002 02000000")
        .hex("00000014").text("tfdt").hex("01000000 00000000 00023280")
        .hex("00000024").text("trun").hex("00000301 00000002")
        .hex(hexOf({0, 0, 0, static_cast<uint8_t>(moofSize + 8 + videoBytes)}))
        .hex("00000400 00000003 00000400 00000002");
    EXPECT_BYTES(straf, find(seg, {"moof", "traf#1"}).bytes);
    auto vtrun = find(seg, {"moof", "traf", "trun"}).bytes;
    EXPECT_EQ(test::be32(vtrun, 16), moofSize + 8);
    EXPECT_EQ(test::be32(vtrun, 16) + videoBytes, moofSize + 8 + videoBytes);

    EXPECT_BYTES(Bytes().hex("0000001D").text("mdat").hex(hexOf(pictures[0].data)).hex(hexOf(pictures[1].data))
                     .hex("A1A2A3 B1B2"),
                 find(seg, {"mdat"}).bytes);

    // A negative first tick starts the sound fragment at 0.
    sound[0].tick = -300;
    auto early = makeMediaSegment(1, track24(), 0, pictures, sound);
    auto tfdt = find(early, {"moof", "traf#1", "tfdt"}).bytes;
    EXPECT_EQ(test::be32(tfdt, 12) | test::be32(tfdt, 16), 0u);
}

TEST(MediaSegment, MalformedUnitsEndTheWalk) {
    auto good = unit(1, {1, 2});
    // Runs past the end: kept units before it only.
    auto overrun = cat({good, {0, 0, 0, 50, 2, 1, 0}});
    // A zero length stops the walk even with units after it.
    auto zero = cat({good, {0, 0, 0, 0}, good});
    // Three stray bytes at the end are not a unit.
    auto tail = cat({good, {0, 0, 0}});
    auto seg = makeMediaSegment(1, track24(), 0,
                                {{overrun, true}, {zero, false}, {tail, false}, {{0x00, 0x00}, false}, {{}, false}},
                                {});
    auto trun = find(seg, {"moof", "traf", "trun"}).bytes;
    ASSERT_EQ(test::be32(trun, 12), 5u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(test::be32(trun, 24 + 4 * static_cast<size_t>(i)), 8u);
    EXPECT_EQ(test::be32(trun, 36), 0u);
    EXPECT_EQ(test::be32(trun, 40), 0u);
    EXPECT_EQ(find(seg, {"mdat"}).bytes.size(), 8u + 24u);

    // No pictures at all: an empty run whose first sample would be a sync sample.
    auto empty = makeMediaSegment(1, track24(), 0, {}, {});
    auto etrun = find(empty, {"moof", "traf", "trun"}).bytes;
    EXPECT_EQ(test::be32(etrun, 12), 0u);
    EXPECT_EQ(test::be32(etrun, 20), 0x02000000u);
    EXPECT_EQ(find(empty, {"mdat"}).bytes.size(), 8u);
}

} // namespace
} // namespace corvel
