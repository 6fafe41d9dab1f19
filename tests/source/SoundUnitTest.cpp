// The sound fragment parser over boxes written here from the format's tables
// (ISO/IEC 14496-12: moov/mvex/trex, trak/mdia/mdhd, stsd, moof/traf/tfhd,
// tfdt, trun, mdat), and ffmpeg's sound arguments.
#include "source/Sound.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace corvel {
namespace {

void be32(Bytes& b, uint32_t v) {
    for (int s : {24, 16, 8, 0}) b.push_back(static_cast<uint8_t>(v >> s));
}
Bytes box(const char* type, const Bytes& body) {
    Bytes b;
    be32(b, static_cast<uint32_t>(body.size() + 8));
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}
Bytes words(std::initializer_list<uint32_t> values) {
    Bytes b;
    for (uint32_t v : values) be32(b, v);
    return b;
}
Bytes body(const Bytes& whole) { return Bytes(whole.begin() + 8, whole.end()); }

// A moov with trex defaults, a 44100 time scale (version 0 mdhd) and one
// sample entry "mp4a" of 16 bytes.
Bytes moov(uint32_t trexDuration, uint32_t trexSize) {
    Bytes entry = box("mp4a", words({1, 2}));
    Bytes stsd = box("stsd", cat({words({0, 1}), entry}));
    Bytes mdhd = box("mdhd", words({0, 0, 0, 44100, 0, 0}));
    Bytes trak = box("trak", cat({box("mdia", cat({mdhd, box("minf", box("stbl", stsd))}))}));
    Bytes mvex = box("mvex", box("trex", words({0, 1, 1, trexDuration, trexSize, 0})));
    return box("moov", cat({trak, mvex}));
}

TEST(SoundFragments, MoovGivesEntryTimescaleAndDefaults) {
    SoundFragments f;
    f.take("moov", body(moov(1024, 7)), [](SoundFragments::Samples&&) {});
    ASSERT_TRUE(f.entry);
    EXPECT_EQ(*f.entry, box("mp4a", words({1, 2})));
    EXPECT_EQ(f.timescale, 44100u);
    EXPECT_EQ(f.defaultDuration, 1024u);
    EXPECT_EQ(f.defaultSize, 7u);
}

TEST(SoundFragments, SamplesFromTrunWithFallbacks) {
    SoundFragments f;
    f.take("moov", body(moov(1024, 3)), [](SoundFragments::Samples&&) {});
    // tfhd with a default size (flag 0x10) of 2; tfdt version 1 at 5000;
    // one trun with per-sample durations only, another with nothing.
    Bytes tfhd = box("tfhd", words({0x10, 1, 2}));
    Bytes tfdt = box("tfdt", cat({words({0x01000000}), words({0, 5000})}));
    Bytes trun1 = box("trun", words({0x101, 2, 0 /*offset*/, 100, 200}));
    Bytes trun2 = box("trun", words({0, 1}));
    Bytes moof = box("moof", cat({box("mfhd", words({0, 1})), box("traf", cat({tfhd, tfdt, trun1, trun2}))}));
    f.take("moof", body(moof), [](SoundFragments::Samples&&) {});
    ASSERT_EQ(f.pending.size(), 3u);
    SoundFragments::Samples got;
    f.take("mdat", Bytes{1, 2, 3, 4, 5, 6, 7}, [&](SoundFragments::Samples&& s) { got = std::move(s); });
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], std::make_tuple(int64_t{5000}, 100u, Bytes{1, 2}));
    EXPECT_EQ(got[1], std::make_tuple(int64_t{5100}, 200u, Bytes{3, 4}));
    EXPECT_EQ(got[2], std::make_tuple(int64_t{5300}, 1024u, Bytes{5, 6})); // trex duration, tfhd size
    EXPECT_TRUE(f.pending.empty());

    // Without a tfhd size the trex default holds; a short mdat gives only
    // the samples that fit and drops the rest.
    Bytes tfhd2 = box("tfhd", words({0, 1}));
    Bytes tfdt2 = box("tfdt", words({0, 9000}));
    Bytes trun3 = box("trun", words({0, 3}));
    f.take("moof", body(box("moof", box("traf", cat({tfhd2, tfdt2, trun3})))), [](SoundFragments::Samples&&) {});
    f.take("mdat", Bytes(7, 9), [&](SoundFragments::Samples&& s) { got = std::move(s); });
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::get<0>(got[1]), 9000 + 1024);
    EXPECT_EQ(std::get<2>(got[1]).size(), 3u);
    EXPECT_TRUE(f.pending.empty());
}

TEST(SoundFragments, IncompleteOrHugeHeadersAddNothing) {
    SoundFragments f;
    Bytes tfhd = box("tfhd", words({0, 1}));
    Bytes tfdt = box("tfdt", words({0, 0}));
    f.take("moof", body(box("moof", box("traf", tfhd))), [](SoundFragments::Samples&&) {}); // no tfdt
    EXPECT_TRUE(f.pending.empty());
    f.take("moof", body(box("moof", box("traf", cat({tfhd, tfdt, box("trun", words({0, 0xFFFFFFFF}))})))),
           [](SoundFragments::Samples&&) {});
    EXPECT_TRUE(f.pending.empty()); // four billion samples without bytes are refused
    f.take("moof", body(box("moof", box("traf", cat({tfhd, tfdt, box("trun", words({0x300, 5, 10}))})))),
           [](SoundFragments::Samples&&) {});
    EXPECT_TRUE(f.pending.empty()); // per-sample fields cut short
    f.take("free", Bytes{1, 2, 3}, [](SoundFragments::Samples&&) { FAIL(); });
}

TEST(ReadBoxes, StopsAtMalformedHeaders) {
    auto feed = [](const Bytes& stream) {
        std::vector<std::string> types;
        size_t at = 0;
        readBoxes(
            [&](uint8_t* into, size_t count) {
                const size_t n = std::min(count, stream.size() - at);
                std::copy_n(stream.begin() + static_cast<ptrdiff_t>(at), n, into);
                at += n;
                return n;
            },
            [&](const std::string& type, Bytes&& b) {
                types.push_back(type + ":" + std::to_string(b.size()));
                return true;
            });
        return types;
    };
    Bytes large = cat({words({1}), Bytes{'b', 'i', 'g', ' '}, words({0, 19}), Bytes{1, 2, 3}});
    EXPECT_EQ(feed(cat({box("ftyp", Bytes(4)), large, box("moof", {})})),
              (std::vector<std::string>{"ftyp:4", "big :3", "moof:0"}));
    EXPECT_EQ(feed(cat({box("ftyp", {}), words({4}), Bytes{'b', 'a', 'd', '!'}})), std::vector<std::string>{"ftyp:0"});
    EXPECT_EQ(feed(cat({words({0}), Bytes{'z', 'e', 'r', 'o'}})), std::vector<std::string>{});
    EXPECT_EQ(feed(cat({words({1}), Bytes{'s', 'm', 'l', 'l'}, words({0, 15})})), std::vector<std::string>{});
    EXPECT_EQ(feed(cat({words({0x80000008}), Bytes{'h', 'u', 'g', 'e'}})), std::vector<std::string>{});
    EXPECT_EQ(feed(cat({words({100}), Bytes{'c', 'u', 't', ' '}, Bytes(10)})), std::vector<std::string>{});
    EXPECT_EQ(feed(cat({words({8}), Bytes{0xFF, 'a', 'b', 'c'}})), std::vector<std::string>{"????:0"});
}

TEST(SoundArguments, ByTreatmentAndStart) {
    SoundPlan copy{1, "aac", 2, 48000, false, false};
    const std::vector<std::string> expected{
        "-hide_banner", "-nostdin", "-loglevel", "error", "-copyts", "-start_at_zero", "-i", "in.ts", "-map", "0:a:1",
        "-vn", "-sn", "-dn", "-map_chapters", "-1", "-map_metadata", "-1", "-c:a", "copy", "-bsf:a", "aac_adtstoasc",
        "-avoid_negative_ts",
        "disabled", "-f", "mp4", "-movflags", "delay_moov+default_base_moof+frag_discont", "-frag_duration", "500000",
        "pipe:1"};
    EXPECT_EQ(soundArguments(copy, "in.ts", 0, std::nullopt), expected);
    auto later = soundArguments(copy, "in.ts", 12.5, 1.0);
    EXPECT_EQ(std::vector<std::string>(later.begin() + 4, later.begin() + 8),
              (std::vector<std::string>{"-ss", "12.500000", "-t", "1.000"}));
    SoundPlan ac3{0, "ac3", 6, 48000, false, false}; // only AAC gets the ADTS filter
    auto copied = soundArguments(ac3, "x", 0, std::nullopt);
    EXPECT_EQ(std::find(copied.begin(), copied.end(), "-bsf:a"), copied.end());
    SoundPlan wide{0, "dts", 6, 48000, false, false};
    auto eac3 = soundArguments(wide, "x", 0, std::nullopt);
    auto c = std::find(eac3.begin(), eac3.end(), "-c:a");
    EXPECT_EQ(std::vector<std::string>(c, c + 8),
              (std::vector<std::string>{"-c:a", "eac3", "-b:a", "640k", "-ac", "6", "-ar", "48000"}));
    wide.small = true;
    auto aac = soundArguments(wide, "x", 0, std::nullopt);
    c = std::find(aac.begin(), aac.end(), "-c:a");
    EXPECT_EQ(std::vector<std::string>(c, c + 8),
              (std::vector<std::string>{"-c:a", "aac", "-b:a", "192k", "-ac", "2", "-ar", "48000"}));
}

} // namespace
} // namespace corvel
