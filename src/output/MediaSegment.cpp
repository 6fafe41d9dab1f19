#include "output/MediaSegment.h"

#include "output/BoxWriter.h"

#include <algorithm>

namespace corvel {

namespace {

constexpr uint32_t kNonSyncFlags = 0x01010000; // depends on others, non-sync
constexpr uint32_t kSyncFlags = 0x02000000;    // depends on no other, sync

// Calls `keep(first, last)` for each unit of one length-prefixed access
// unit (its length field included), except VPS, SPS, PPS and access unit
// delimiters (types 32 to 35). The walk ends at the first length that is 0
// or runs past the end.
template <class Keep>
void keptUnits(const std::vector<uint8_t>& data, Keep&& keep) {
    size_t at = 0;
    while (data.size() - at >= 4) {
        size_t length = (size_t{data[at]} << 24) | (size_t{data[at + 1]} << 16) |
                        (size_t{data[at + 2]} << 8) | size_t{data[at + 3]};
        if (length == 0 || length > data.size() - at - 4) break;
        uint8_t header = data[at + 4];
        if ((header & 0x78) != 0x40)
            keep(data.begin() + static_cast<std::ptrdiff_t>(at),
                 data.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
        at += 4 + length;
    }
}

// The bytes one access unit's sample holds.
uint32_t sampleSize(const std::vector<uint8_t>& data) {
    size_t size = 0;
    keptUnits(data, [&](auto first, auto last) { size += static_cast<size_t>(last - first); });
    return static_cast<uint32_t>(size);
}

} // namespace

std::vector<uint8_t> makeMediaSegment(uint32_t sequence, const VideoTrack& video, int64_t firstFrame,
                                      const std::vector<EncodedPicture>& pictures,
                                      const std::vector<SoundSample>& sound) {
    // The samples' sizes first: the samples then go straight behind the
    // boxes, with no payload copy beside the segment.
    std::vector<uint32_t> sizes;
    sizes.reserve(pictures.size());
    size_t payloadBytes = 0;
    for (const auto& picture : pictures) {
        sizes.push_back(sampleSize(picture.data));
        payloadBytes += sizes.back();
    }

    BoxWriter w;
    w.bytes.reserve(256 + 4 * sizes.size() + 8 * sound.size());
    size_t moof = w.begin("moof");
    size_t mfhd = w.beginFull("mfhd", 0, 0);
    w.u32(sequence);
    w.end(mfhd);

    size_t traf = w.begin("traf");
    size_t tfhd = w.beginFull("tfhd", 0, 0x020028);
    w.u32(1); // track ID
    w.u32(video.frameDuration);
    w.u32(kNonSyncFlags);
    w.end(tfhd);
    size_t tfdt = w.beginFull("tfdt", 1, 0);
    w.u64(static_cast<uint64_t>(std::max<int64_t>(firstFrame, 0)) * video.frameDuration);
    w.end(tfdt);
    size_t trun = w.beginFull("trun", 0, 0x000205);
    w.u32(static_cast<uint32_t>(sizes.size()));
    size_t videoOffsetAt = w.size();
    w.u32(0); // data offset, patched below
    w.u32(pictures.empty() || pictures.front().key ? kSyncFlags : kNonSyncFlags);
    for (uint32_t size : sizes) w.u32(size);
    w.end(trun);
    w.end(traf);

    size_t soundOffsetAt = 0;
    size_t soundBytes = 0;
    if (!sound.empty()) {
        size_t straf = w.begin("traf");
        size_t stfhd = w.beginFull("tfhd", 0, 0x020020);
        w.u32(2); // track ID
        w.u32(kSyncFlags);
        w.end(stfhd);
        size_t stfdt = w.beginFull("tfdt", 1, 0);
        w.u64(static_cast<uint64_t>(std::max<int64_t>(sound.front().tick, 0)));
        w.end(stfdt);
        size_t strun = w.beginFull("trun", 0, 0x000301);
        w.u32(static_cast<uint32_t>(sound.size()));
        soundOffsetAt = w.size();
        w.u32(0); // data offset, patched below
        for (const auto& sample : sound) {
            w.u32(sample.duration);
            w.u32(static_cast<uint32_t>(sample.data.size()));
            soundBytes += sample.data.size();
        }
        w.end(strun);
        w.end(straf);
    }
    w.end(moof);

    // Offsets count from the first byte of the moof, which is byte 0.
    const uint32_t moofSize = static_cast<uint32_t>(w.size() - moof);
    w.put32(videoOffsetAt, moofSize + 8);
    if (!sound.empty()) w.put32(soundOffsetAt, moofSize + 8 + static_cast<uint32_t>(payloadBytes));

    w.u32(static_cast<uint32_t>(8 + payloadBytes + soundBytes));
    w.ascii("mdat");
    w.bytes.reserve(w.size() + payloadBytes + soundBytes);
    for (const auto& picture : pictures)
        keptUnits(picture.data, [&](auto first, auto last) { w.bytes.insert(w.bytes.end(), first, last); });
    for (const auto& sample : sound) w.append(sample.data);
    return std::move(w.bytes);
}

} // namespace corvel
