#include "source/Mp4Track.h"

#include "common/EnhanceError.h"
#include "source/ColorMapping.h"
#include "source/Mp4Boxes.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <algorithm>
#include <numeric>

namespace corvel {

namespace {

constexpr uint64_t kHeadBytes = 524288;       // one request serves the container check and a front moov
constexpr uint64_t kMaxMovieBytes = 256u << 20; // a larger movie box is not a movie box we read
constexpr uint64_t kMaxSamples = 1u << 26;     // over 10 days at 60 pictures per second
constexpr int kMaxTopLevelBoxes = 4096;

// Fields and boxes are read through these: a field past its box throws
// TruncatedBox, which the track turns into its "damaged" error.
struct Range {
    size_t start, end;
};

std::optional<Range> find(const Data& data, const std::vector<std::string>& path, size_t from, size_t to) {
    auto found = child(data, path, from, to);
    if (!found) return std::nullopt;
    return Range{found->first, found->second};
}

// Reads a field that must lie inside its box's body.
uint32_t field32(const Data& data, const Range& box, size_t offset) {
    if (offset > box.end - box.start || box.end - box.start - offset < 4) throw TruncatedBox();
    return be32(data, box.start + offset);
}

uint64_t field64(const Data& data, const Range& box, size_t offset) {
    if (offset > box.end - box.start || box.end - box.start - offset < 8) throw TruncatedBox();
    return be64(data, box.start + offset);
}

uint32_t field16(const Data& data, const Range& box, size_t offset) {
    if (offset > box.end - box.start || box.end - box.start - offset < 2) throw TruncatedBox();
    return be16(data, box.start + offset);
}

uint8_t version(const Data& data, const Range& box) {
    if (box.end <= box.start) throw TruncatedBox();
    return byteAt(data, box.start);
}

// A table of `count` entries of `entryBytes` from `offset` must fit its box.
void needTable(const Range& box, size_t offset, uint64_t count, size_t entryBytes) {
    uint64_t bytes = box.end - box.start;
    if (offset > bytes || count > (bytes - offset) / entryBytes) throw TruncatedBox();
}

// The time scale of an mvhd or mdhd box (version 1 has 64-bit times before it).
uint32_t timeScaleOf(const Data& data, const Range& box) {
    return field32(data, box, version(data, box) == 1 ? 20 : 12);
}

// The turn of a track header's matrix, in clockwise quarter turns. Only
// the four rotations are recognised; a mirror, a shear or a scale keeps the
// picture as it is coded (0).
int quarterTurnsOf(const Data& data, const Range& tkhd) {
    // The matrix follows the times, the track ID, the duration (64-bit in
    // version 1), 8 reserved bytes, layer, group, volume and 2 reserved.
    const size_t at = version(data, tkhd) == 1 ? 52 : 40;
    auto value = [&](size_t index) { return static_cast<int32_t>(field32(data, tkhd, at + 4 * index)); };
    const int32_t a = value(0), b = value(1), c = value(3), d = value(4);
    if (b == 0 && c == 0 && a > 0 && d > 0) return 0;
    if (a == 0 && d == 0 && b > 0 && c < 0) return 1;
    if (b == 0 && c == 0 && a < 0 && d < 0) return 2;
    if (a == 0 && d == 0 && b < 0 && c > 0) return 3;
    return 0;
}

} // namespace

void Mp4Track::damaged() const {
    throw EnhanceError("This part (" + fileName_ + ") has a damaged movie header.");
}

Mp4Track::Mp4Track(std::string url_, std::string fileName, const Data& movie, uint64_t fileLength)
    : url(std::move(url_)), fileName_(std::move(fileName)) {
    parse(movie, fileLength);
}

Mp4Track::Mp4Track(std::string url_, std::string fileName) : url(std::move(url_)), fileName_(std::move(fileName)) {
    auto [head, total] = httpRange(url, 0, kHeadBytes);
    if (head.size() >= 4 && head[0] == 0x1A && head[1] == 0x45 && head[2] == 0xDF && head[3] == 0xA3)
        throw EnhanceError("This part (" + fileName_ + ") is Matroska, which the Mac's enhancer cannot read.");

    // Hop from one top-level box header to the next; only the headers past
    // the head are fetched (16 bytes each), never the media data between.
    uint64_t position = 0;
    // Real files have a handful of top-level boxes; a file of millions of
    // tiny ones must not turn into millions of requests.
    for (int hops = 0; hops < kMaxTopLevelBoxes && position + 8 <= total; ++hops) {
        Data header;
        if (position + 16 <= head.size())
            header = sub(head, static_cast<size_t>(position), static_cast<size_t>(position + 16));
        else
            header = httpRange(url, position, std::min(position + 16, total)).first;
        if (header.size() < 8) break;
        uint64_t size = be32(header, 0);
        if (size == 0) {
            size = total - position;
        } else if (size == 1) {
            if (header.size() < 16) break;
            size = be64(header, 8);
        }
        if (size < 8) break;
        if (fourcc(header, 4) == "moov") {
            if (size > kMaxMovieBytes) break;
            Data movie;
            if (position + size <= head.size())
                movie = sub(head, static_cast<size_t>(position), static_cast<size_t>(position + size));
            else
                movie = httpRange(url, position, position + size).first;
            parse(movie, total);
            return;
        }
        if (size > total - position) break;
        position += size;
    }
    throw EnhanceError("This part (" + fileName_ + ") has no movie header the Mac can read.");
}

void Mp4Track::parse(const Data& data, uint64_t fileLength) {
    try {
        auto moov = find(data, {"moov"}, 0, data.size());
        if (!moov) throw EnhanceError("This part (" + fileName_ + ") has no movie header.");

        uint32_t movieScale = 1000;
        if (auto mvhd = find(data, {"mvhd"}, moov->start, moov->end)) movieScale = timeScaleOf(data, *mvhd);

        std::optional<Range> trak, stbl, mdhd;
        for (const Box& box : boxes(data, moov->start, moov->end)) {
            if (box.type != "trak") continue;
            auto mdia = find(data, {"mdia"}, box.body, box.end);
            if (!mdia) continue;
            auto hdlr = find(data, {"hdlr"}, mdia->start, mdia->end);
            if (!hdlr || hdlr->end - hdlr->start < 12 || fourcc(data, hdlr->start + 8) != "vide") continue;
            mdhd = find(data, {"mdhd"}, mdia->start, mdia->end);
            stbl = find(data, {"minf", "stbl"}, mdia->start, mdia->end);
            if (!mdhd || !stbl) continue;
            trak = Range{box.body, box.end};
            break;
        }
        if (!trak) throw EnhanceError("This part (" + fileName_ + ") has no video track.");
        if (auto tkhd = find(data, {"tkhd"}, trak->start, trak->end)) shape.quarterTurns = quarterTurnsOf(data, *tkhd);

        uint32_t mediaScale = timeScaleOf(data, *mdhd);
        if (mediaScale == 0) damaged();

        // Edit list: empty edits delay the track; the first real edit says
        // where in media time presentation starts.
        int64_t mediaStart = 0;
        double delay = 0;
        if (auto elst = find(data, {"edts", "elst"}, trak->start, trak->end)) {
            bool wide = version(data, *elst) == 1;
            uint32_t count = field32(data, *elst, 4);
            size_t entryBytes = wide ? 20 : 12;
            needTable(*elst, 8, count, entryBytes);
            for (uint32_t i = 0; i < count; ++i) {
                size_t at = 8 + i * entryBytes;
                uint64_t duration = wide ? field64(data, *elst, at) : field32(data, *elst, at);
                int64_t mediaTime = wide ? static_cast<int64_t>(field64(data, *elst, at + 8))
                                         : static_cast<int32_t>(field32(data, *elst, at + 4));
                if (mediaTime == -1) {
                    if (movieScale == 0) damaged();
                    delay += static_cast<double>(duration) / movieScale;
                    continue;
                }
                mediaStart = mediaTime;
                break;
            }
        }
        parseSampleTable(data, stbl->start, stbl->end, mediaScale, mediaStart, delay, fileLength);
    } catch (const TruncatedBox&) {
        damaged();
    }
}

void Mp4Track::parseSampleTable(const Data& data, size_t stblStart, size_t stblEnd, uint32_t timeScale,
                                int64_t mediaStart, double delay, uint64_t fileLength) {
    // Sample description: only the first entry counts.
    auto stsd = find(data, {"stsd"}, stblStart, stblEnd);
    std::vector<Box> entries;
    if (stsd && stsd->end - stsd->start >= 8) entries = boxes(data, stsd->start + 8, stsd->end);
    if (entries.empty()) throw EnhanceError("This part (" + fileName_ + ") has no sample description.");
    const Box& entry = entries.front();
    bool hevc = false;
    if (entry.type == "avc1" || entry.type == "avc3") {
        hevc = false;
    } else if (entry.type == "hvc1" || entry.type == "hev1") {
        hevc = true;
    } else {
        throw EnhanceError("This part's picture is " + entry.type +
                           ", which the Mac's enhancer does not decode (H.264 and HEVC only).");
    }
    Range body{entry.body, entry.end};
    VideoFormat videoFormat;
    videoFormat.codecType = hevc ? "hvc1" : "avc1";
    videoFormat.configType = hevc ? "hvcC" : "avcC";
    videoFormat.width = static_cast<int>(field16(data, body, 24));
    videoFormat.height = static_cast<int>(field16(data, body, 26));
    bool haveConfig = false;
    if (body.end - body.start >= 78) {
        for (const Box& box : boxes(data, body.start + 78, body.end)) {
            if (box.type == videoFormat.configType && !haveConfig) {
                videoFormat.config = sub(data, box.body, box.end);
                haveConfig = true;
            } else if (box.type == "colr" && box.end - box.body >= 4 && fourcc(data, box.body) == "nclx") {
                Range colr{box.body, box.end};
                color = colorFromNclx(field16(data, colr, 4), field16(data, colr, 6), field16(data, colr, 8));
                // The flag is the top bit of the byte after the three codes.
                fullRange = colr.end - colr.start > 10 && (byteAt(data, colr.start + 10) & 0x80) != 0;
            } else if (box.type == "pasp") {
                Range pasp{box.body, box.end};
                const uint32_t h = field32(data, pasp, 0), v = field32(data, pasp, 4);
                // 0 means unknown; the VUI fields hold 16 bits, so a finer
                // ratio is brought to the nearest one that fits.
                int num = 1, den = 1;
                if (h > 0 && v > 0) av_reduce(&num, &den, h, v, 65535);
                shape.sarWidth = static_cast<uint32_t>(std::max(num, 1));
                shape.sarHeight = static_cast<uint32_t>(std::max(den, 1));
            }
        }
    }
    if (!haveConfig) throw EnhanceError("This part's picture has no " + videoFormat.configType + ".");
    bits = pictureBits(videoFormat.config, hevc);
    videoFormat.color = color;
    // Our own format description cannot be refused by a platform; a picture
    // without a size is what a platform would refuse.
    if (videoFormat.width == 0 || videoFormat.height == 0) throw EnhanceError("This part's picture format was refused (-1).");
    format = videoFormat;

    auto stsz = find(data, {"stsz"}, stblStart, stblEnd);
    auto stsc = find(data, {"stsc"}, stblStart, stblEnd);
    auto stts = find(data, {"stts"}, stblStart, stblEnd);
    if (!stsz || !stsc || !stts)
        throw EnhanceError("This part (" + fileName_ +
                           ") has no sample tables (a fragmented MP4 is not read by the Mac's enhancer).");

    uint32_t fixedSize = field32(data, *stsz, 4);
    uint64_t count = field32(data, *stsz, 8);
    if (count == 0)
        throw EnhanceError("This part (" + fileName_ + ") has no samples in its movie header (fragmented MP4).");
    // More samples than the file has bytes cannot be; the bound also keeps a
    // corrupt count from asking for gigabytes.
    if (count > kMaxSamples || count > fileLength) damaged();
    if (fixedSize == 0) needTable(*stsz, 12, count, 4);

    // Chunk offsets.
    std::vector<uint64_t> chunks;
    if (auto stco = find(data, {"stco"}, stblStart, stblEnd)) {
        uint32_t n = field32(data, *stco, 4);
        needTable(*stco, 8, n, 4);
        chunks.resize(n);
        for (uint32_t i = 0; i < n; ++i) chunks[i] = field32(data, *stco, 8 + size_t{i} * 4);
    } else if (auto co64 = find(data, {"co64"}, stblStart, stblEnd)) {
        uint32_t n = field32(data, *co64, 4);
        needTable(*co64, 8, n, 8);
        chunks.resize(n);
        for (uint32_t i = 0; i < n; ++i) chunks[i] = field64(data, *co64, 8 + size_t{i} * 8);
    }

    // Samples per chunk: entry i covers chunks from its first chunk to one
    // before the next entry's (1-based), clipped to the chunk list.
    std::vector<uint32_t> perChunk(chunks.size(), 0);
    {
        uint32_t n = field32(data, *stsc, 4);
        needTable(*stsc, 8, n, 12);
        for (uint32_t i = 0; i < n; ++i) {
            uint64_t first = field32(data, *stsc, 8 + size_t{i} * 12);
            uint32_t samplesPer = field32(data, *stsc, 8 + size_t{i} * 12 + 4);
            uint64_t last = i + 1 < n ? uint64_t{field32(data, *stsc, 8 + size_t{i + 1} * 12)} : chunks.size() + 1;
            // First chunks only grow; a table that goes back is corrupt (and
            // would make this walk quadratic).
            if (last < first) damaged();
            first = std::max<uint64_t>(first, 1);
            last = std::min<uint64_t>(last, chunks.size() + 1);
            for (uint64_t c = first; c < last; ++c) perChunk[c - 1] = samplesPer;
        }
    }

    // Decode times and composition offsets are walked with cursors alongside
    // the samples, so a table never has to be expanded into memory.
    uint32_t sttsCount = field32(data, *stts, 4);
    needTable(*stts, 8, sttsCount, 8);
    uint32_t sttsEntry = 0, sttsLeft = sttsCount > 0 ? field32(data, *stts, 8) : 0;
    uint64_t decodeTime = 0;

    auto ctts = find(data, {"ctts"}, stblStart, stblEnd);
    bool signedOffsets = ctts && version(data, *ctts) == 1;
    uint32_t cttsCount = ctts ? field32(data, *ctts, 4) : 0;
    if (ctts) needTable(*ctts, 8, cttsCount, 8);
    uint32_t cttsEntry = 0, cttsLeft = cttsCount > 0 ? field32(data, *ctts, 8) : 0;

    std::vector<bool> sync;
    if (auto stss = find(data, {"stss"}, stblStart, stblEnd)) {
        sync.assign(count, false);
        uint32_t n = field32(data, *stss, 4);
        needTable(*stss, 8, n, 4);
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t number = field32(data, *stss, 8 + size_t{i} * 4);
            if (number >= 1 && number <= count) sync[number - 1] = true;
        }
    }

    samples.clear();
    samples.reserve(static_cast<size_t>(std::min<uint64_t>(count, 1u << 20)));
    for (size_t c = 0; c < chunks.size() && samples.size() < count; ++c) {
        uint64_t position = chunks[c];
        for (uint32_t k = 0; k < perChunk[c] && samples.size() < count; ++k) {
            size_t index = samples.size();
            Sample sample;
            sample.offset = position;
            sample.size = fixedSize != 0 ? fixedSize : field32(data, *stsz, 12 + index * 4);

            // Decode time of this sample: the running time, which then grows
            // by the current entry's delta; past the table it stays put.
            while (sttsLeft == 0 && sttsEntry + 1 < sttsCount) sttsLeft = field32(data, *stts, 8 + size_t{++sttsEntry} * 8);
            uint64_t dts = decodeTime;
            if (sttsLeft > 0) {
                decodeTime += field32(data, *stts, 8 + size_t{sttsEntry} * 8 + 4);
                --sttsLeft;
            }

            int64_t offset = 0;
            while (cttsLeft == 0 && cttsEntry + 1 < cttsCount) cttsLeft = field32(data, *ctts, 8 + size_t{++cttsEntry} * 8);
            if (cttsLeft > 0) {
                uint32_t raw = field32(data, *ctts, 8 + size_t{cttsEntry} * 8 + 4);
                offset = signedOffsets ? static_cast<int64_t>(static_cast<int32_t>(raw)) : static_cast<int64_t>(raw);
                --cttsLeft;
            }

            sample.pts = delay + (static_cast<double>(dts) + static_cast<double>(offset) -
                                  static_cast<double>(mediaStart)) /
                                     timeScale;
            sample.sync = sync.empty() || sync[index];
            samples.push_back(sample);
            position += sample.size;
        }
    }

    // Reorder depth: the furthest a sample's decode index runs ahead of its
    // place in presentation order.
    std::vector<size_t> order(samples.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return samples[a].pts < samples[b].pts; });
    size_t largest = 0;
    int depth = 0;
    for (size_t j = 0; j < order.size(); ++j) {
        largest = std::max(largest, order[j]);
        depth = std::max(depth, static_cast<int>(std::min<size_t>(largest - j, 1 << 30)));
    }
    reorder = depth;
}

} // namespace corvel
