#pragma once

// Writes MP4 movie boxes byte by byte from the format's tables, so the reader
// is checked against bytes it did not write itself.
#include "source/HTTPClient.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvel::test {

inline void put8(Data& d, uint32_t v) { d.push_back(static_cast<uint8_t>(v)); }
inline void put16(Data& d, uint32_t v) { put8(d, v >> 8); put8(d, v); }
inline void put32(Data& d, uint32_t v) { put16(d, v >> 16); put16(d, v & 0xffff); }
inline void put64(Data& d, uint64_t v) { put32(d, static_cast<uint32_t>(v >> 32)); put32(d, static_cast<uint32_t>(v)); }
inline void append(Data& d, const Data& more) { d.insert(d.end(), more.begin(), more.end()); }

inline Data box(const std::string& type, const Data& body) {
    Data d;
    put32(d, static_cast<uint32_t>(body.size() + 8));
    for (char c : type) d.push_back(static_cast<uint8_t>(c));
    append(d, body);
    return d;
}

// A full box: version, 24-bit flags, then the body.
inline Data fullBox(const std::string& type, uint8_t version, const Data& body) {
    Data d;
    put8(d, version);
    put8(d, 0);
    put16(d, 0);
    append(d, body);
    return box(type, d);
}

struct TrackPlan {
    std::string entryType = "avc1";
    std::string configType = "avcC";
    Data config = {1, 100, 0, 30, 0xff, 0xe0, 0}; // avcC: no parameter sets
    bool withConfig = true;
    std::vector<uint32_t> nclx;                   // primaries, transfer, matrix; empty: no colr
    uint16_t width = 320, height = 180;
    uint32_t movieScale = 1000, mediaScale = 24000;
    // Edit list entries (duration, media time); none: no edts box.
    std::vector<std::pair<uint64_t, int64_t>> edits;
    bool wideEdits = false;
    std::vector<std::pair<uint32_t, uint32_t>> stts = {{4, 1001}};
    int cttsVersion = -1; // -1: no ctts
    std::vector<std::pair<uint32_t, uint32_t>> ctts;
    std::vector<uint32_t> stss = {1};
    bool withStss = true;
    uint32_t fixedSize = 0;
    std::vector<uint32_t> sizes = {100, 20, 10, 10};
    uint32_t sampleCount = 4;
    std::vector<uint64_t> chunks = {1000};
    bool wideChunks = false;
    std::vector<std::array<uint32_t, 3>> stsc = {{1, 4, 1}};
    bool withTables = true;
    std::string handler = "vide";
    bool fullRange = false;  // the colr box's full-range bit
    uint32_t paspH = 0, paspV = 0; // pasp spacings; both 0: no pasp box
    // The track header's matrix (a, b, c, d in 16.16); empty: no tkhd box.
    std::vector<int32_t> matrix;
    uint8_t tkhdVersion = 0;
};

inline Data sampleEntry(const TrackPlan& t) {
    Data body(78, 0);
    body[24] = static_cast<uint8_t>(t.width >> 8);
    body[25] = static_cast<uint8_t>(t.width);
    body[26] = static_cast<uint8_t>(t.height >> 8);
    body[27] = static_cast<uint8_t>(t.height);
    if (t.withConfig) append(body, box(t.configType, t.config));
    if (!t.nclx.empty()) {
        Data colr = {'n', 'c', 'l', 'x'};
        for (uint32_t code : t.nclx) put16(colr, code);
        put8(colr, t.fullRange ? 0x80 : 0);
        append(body, box("colr", colr));
    }
    if (t.paspH || t.paspV) {
        Data pasp;
        put32(pasp, t.paspH);
        put32(pasp, t.paspV);
        append(body, box("pasp", pasp));
    }
    return box(t.entryType, body);
}

inline Data trak(const TrackPlan& t) {
    Data stbl;
    Data stsd;
    put32(stsd, 1);
    append(stsd, sampleEntry(t));
    append(stbl, fullBox("stsd", 0, stsd));
    if (t.withTables) {
        Data stts;
        put32(stts, static_cast<uint32_t>(t.stts.size()));
        for (auto [count, delta] : t.stts) { put32(stts, count); put32(stts, delta); }
        append(stbl, fullBox("stts", 0, stts));
        Data stsz;
        put32(stsz, t.fixedSize);
        put32(stsz, t.sampleCount);
        if (t.fixedSize == 0)
            for (uint32_t s : t.sizes) put32(stsz, s);
        append(stbl, fullBox("stsz", 0, stsz));
        Data stsc;
        put32(stsc, static_cast<uint32_t>(t.stsc.size()));
        for (auto e : t.stsc) { put32(stsc, e[0]); put32(stsc, e[1]); put32(stsc, e[2]); }
        append(stbl, fullBox("stsc", 0, stsc));
    }
    if (t.cttsVersion >= 0) {
        Data ctts;
        put32(ctts, static_cast<uint32_t>(t.ctts.size()));
        for (auto [count, offset] : t.ctts) { put32(ctts, count); put32(ctts, offset); }
        append(stbl, fullBox("ctts", static_cast<uint8_t>(t.cttsVersion), ctts));
    }
    if (t.withStss) {
        Data stss;
        put32(stss, static_cast<uint32_t>(t.stss.size()));
        for (uint32_t n : t.stss) put32(stss, n);
        append(stbl, fullBox("stss", 0, stss));
    }
    Data chunks;
    put32(chunks, static_cast<uint32_t>(t.chunks.size()));
    for (uint64_t c : t.chunks) {
        if (t.wideChunks) put64(chunks, c);
        else put32(chunks, static_cast<uint32_t>(c));
    }
    append(stbl, fullBox(t.wideChunks ? "co64" : "stco", 0, chunks));

    Data mdhd(8, 0);
    put32(mdhd, t.mediaScale);
    put32(mdhd, 0);
    Data hdlr(4, 0);
    for (char c : t.handler) hdlr.push_back(static_cast<uint8_t>(c));
    hdlr.resize(hdlr.size() + 13, 0);
    Data mdia;
    append(mdia, fullBox("mdhd", 0, mdhd));
    append(mdia, fullBox("hdlr", 0, hdlr));
    append(mdia, box("minf", box("stbl", stbl)));

    Data body;
    if (t.matrix.size() == 4) {
        // Times, track ID, reserved, duration (64-bit times in version 1),
        // 8 reserved, layer, group, volume, reserved, then the matrix.
        Data tkhd(t.tkhdVersion == 1 ? 48 : 36, 0);
        const auto [a, b, c, d] = std::array<int32_t, 4>{t.matrix[0], t.matrix[1], t.matrix[2], t.matrix[3]};
        for (int32_t v : {a, b, 0, c, d, 0, 0, 0, 0x40000000}) put32(tkhd, static_cast<uint32_t>(v));
        put32(tkhd, 320u << 16);
        put32(tkhd, 180u << 16);
        append(body, fullBox("tkhd", t.tkhdVersion, tkhd));
    }
    if (!t.edits.empty()) {
        Data elst;
        put32(elst, static_cast<uint32_t>(t.edits.size()));
        for (auto [duration, mediaTime] : t.edits) {
            if (t.wideEdits) { put64(elst, duration); put64(elst, static_cast<uint64_t>(mediaTime)); }
            else { put32(elst, static_cast<uint32_t>(duration)); put32(elst, static_cast<uint32_t>(mediaTime)); }
            put32(elst, 0x10000);
        }
        append(body, box("edts", fullBox("elst", t.wideEdits ? 1 : 0, elst)));
    }
    append(body, box("mdia", mdia));
    return box("trak", body);
}

// A movie box holding the given tracks, in order.
inline Data movie(const std::vector<TrackPlan>& tracks, uint32_t movieScale = 1000) {
    Data mvhd(8, 0);
    put32(mvhd, movieScale);
    mvhd.resize(96, 0);
    Data body = fullBox("mvhd", 0, mvhd);
    for (const auto& t : tracks) append(body, trak(t));
    return box("moov", body);
}

} // namespace corvel::test
