// The sound of real TV clips through ffmpeg: the sample entry, the reader's
// ticks across parts, its 60-second bound and take's ranges.
#include "SourceFixtures.h"

#include "common/EnhanceError.h"
#include "source/Sound.h"
#include "source/TitleProbe.h"

#include <gtest/gtest.h>

namespace corvel::test {
namespace {

StreamInfo title(const std::vector<std::string>& files, double seconds) {
    StreamInfo info;
    double offset = 0;
    for (const auto& file : files) {
        TitlePart part;
        part.localPath = file;
        part.durationSec = seconds;
        info.parts.push_back(part);
        info.partOffsets.push_back(offset);
        offset += seconds;
    }
    info.tv = true;
    return info;
}

std::string fourcc(const Bytes& entry) { return entry.size() >= 8 ? std::string(entry.begin() + 4, entry.begin() + 8) : ""; }

TEST(SoundEntry, CopiedAndTranscodedStreams) {
    auto ac3 = *probeTitle(clips::tvTs(), 0).sound;
    EXPECT_EQ(fourcc(soundSampleEntry(ac3, clips::tvTs())), "ac-3");
    auto aac = *probeTitle(clips::tvTs(), 1).sound; // 44.1 kHz: to AAC stereo at 48 kHz
    Bytes entry = soundSampleEntry(aac, clips::tvTs());
    EXPECT_EQ(fourcc(entry), "mp4a");
    ASSERT_GE(entry.size(), 36u);
    EXPECT_EQ((entry[24] << 8) | entry[25], 2);         // channel count of the AudioSampleEntry
    EXPECT_EQ((entry[32] << 8) | entry[33], 48000);     // sample rate, 16.16
    auto pcm = *probeTitle(clips::tvMkv(), 0).sound; // 7.1 PCM: to E-AC-3 5.1
    EXPECT_EQ(fourcc(soundSampleEntry(pcm, clips::tvMkv())), "ec-3");
    SoundPlan missing{4, "aac", 2, 48000, false, false};
    try {
        soundSampleEntry(missing, clips::tvTs());
        FAIL() << "no such stream";
    } catch (const EnhanceError& error) {
        EXPECT_EQ(error.description().rfind("ffmpeg gave no sound description: ", 0), 0u) << error.description();
    }
}

TEST(SoundReading, TwoPartsOnOneClockAndRangesTaken) {
    auto plan = *probeTitle(clips::tvTs(), 0).sound;
    SoundReader reader(title({clips::tvTs(), clips::tvTs()}, 4.0), plan, 0);
    std::vector<SoundSample> all;
    int64_t from = 0;
    for (int s = 0; s < 8; ++s) {
        const int64_t to = s == 7 ? std::numeric_limits<int64_t>::max() : from + 48000;
        auto got = reader.take(from, to, 10000);
        for (const auto& sample : got) {
            EXPECT_GE(sample.tick, from);
            EXPECT_LT(sample.tick, to);
        }
        all.insert(all.end(), got.begin(), got.end());
        from += 48000;
    }
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().tick, 0);
    // AC-3 frames of 1536 ticks, contiguous within a part; the second part
    // starts at 4 s on the title's clock, not at 0.
    size_t second = 0;
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].duration, 1536u);
        if (all[i].tick < all[i - 1].tick + all[i - 1].duration) ADD_FAILURE() << "overlap at " << i;
        if (all[i].tick >= 4 * 48000 && !second) second = i;
    }
    ASSERT_GT(second, 0u);
    EXPECT_EQ(all[second].tick, 4 * 48000);
    EXPECT_NEAR(static_cast<double>(all.back().tick + all.back().duration), 8 * 48000, 3072);
    EXPECT_TRUE(reader.finished());
}

TEST(SoundReading, StartsLateAndStaysWithinItsBound) {
    // 80 s of AAC stereo at 48 kHz, copied.
    const std::string clip = cachedClip("long_sound.ts", "-f lavfi -i sine=f=300:r=48000:d=80 -c:a aac -b:a 32k "
                                                         "-f mpegts {out}");
    auto plan = *probeTitle(clip, 0).sound;
    ASSERT_TRUE(plan.copies());
    {
        SoundReader reader(title({clip}, 80.0), plan, 0);
        // Nothing is taken: the reader stops about 60 s ahead.
        EXPECT_TRUE(eventually([&] { return reader.reachedTick() >= SoundReader::kAheadTicks; },
                               std::chrono::seconds(20)));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_LT(reader.reachedTick(), SoundReader::kAheadTicks + 48000); // within one fragment of the bound
        EXPECT_FALSE(reader.finished());
        // Taking lets it read on to the end.
        reader.take(0, 30 * 48000, 0);
        EXPECT_TRUE(eventually([&] { return reader.finished(); }, std::chrono::seconds(20)));
    }
    // From 70 s the first sample is at about 70 s (ticks kept on the title clock).
    SoundReader late(title({clip}, 80.0), plan, 70.0);
    auto got = late.take(70 * 48000, 71 * 48000, 10000);
    ASSERT_FALSE(got.empty());
    EXPECT_NEAR(static_cast<double>(got.front().tick) / 48000, 70.0, 0.05);
}

} // namespace
} // namespace corvel::test
