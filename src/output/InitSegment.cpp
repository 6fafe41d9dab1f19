#include "output/InitSegment.h"

#include "output/BoxWriter.h"

#include <algorithm>
#include <cmath>

namespace corvel {

NclxCodes nclx(const SourceColor& color) {
    NclxCodes codes;
    if (color.primaries) {
        const std::string& p = *color.primaries;
        if (p == color::kPrimaries2020) codes.primaries = 9;
        else if (p == color::kPrimariesP3D65) codes.primaries = 12;
        else if (p == color::kPrimariesSMPTEC) codes.primaries = 6;
        else if (p == color::kPrimariesEBU3213) codes.primaries = 5;
    }
    if (color.transfer) {
        const std::string& t = *color.transfer;
        if (t == color::kTransferPQ) codes.transfer = 16;
        else if (t == color::kTransferHLG) codes.transfer = 18;
    }
    if (color.matrix) {
        const std::string& m = *color.matrix;
        if (m == color::kMatrix2020) codes.matrix = 9;
        else if (m == color::kMatrix601) codes.matrix = 6;
    }
    return codes;
}

namespace {

constexpr uint64_t kMax32 = 0xFFFFFFFFu;

struct Durations {
    uint32_t ms = 0;    // movie and track headers, movie time scale 1000
    uint32_t video = 0; // video media, timescale units
    uint32_t sound = 0; // sound media, 1/48000 s
};

// Multiplications saturate: a product beyond 64 bits is far beyond the cap.
uint64_t mulSat(uint64_t a, uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

Durations durations(const VideoTrack& track, uint64_t frames) {
    Durations d;
    uint64_t scale = std::max<uint32_t>(track.timescale, 1);
    uint64_t ms = mulSat(mulSat(frames, track.frameDuration), 1000) / scale;
    d.ms = static_cast<uint32_t>(std::min(ms, kMax32));
    d.video = static_cast<uint32_t>(std::min(mulSat(frames, track.frameDuration), kMax32));
    d.sound = static_cast<uint32_t>(uint64_t{d.ms} * 48); // low 32 bits
    return d;
}

void emptyTables(BoxWriter& w) {
    for (const char* type : {"stts", "stsc"}) {
        size_t box = w.beginFull(type, 0, 0);
        w.u32(0); // entry count
        w.end(box);
    }
    size_t stsz = w.beginFull("stsz", 0, 0);
    w.u32(0); // sample size
    w.u32(0); // sample count
    w.end(stsz);
    size_t stco = w.beginFull("stco", 0, 0);
    w.u32(0);
    w.end(stco);
}

void dataInformation(BoxWriter& w) {
    size_t dinf = w.begin("dinf");
    size_t dref = w.beginFull("dref", 0, 0);
    w.u32(1); // entry count
    size_t url = w.beginFull("url ", 0, 1); // media in the same file
    w.end(url);
    w.end(dref);
    w.end(dinf);
}

// The shown width in 16.16 fixed point: the coded width times the sample
// aspect ratio. Square samples give (width mod 65536) x 65536, as always;
// other shapes are rounded and capped at the field's 32 bits.
uint32_t shownWidth(const VideoTrack& track) {
    const PictureShape& shape = track.shape;
    if (shape.squareSamples() || shape.sarHeight == 0) return (static_cast<uint32_t>(track.width) & 0xFFFF) << 16;
    const double shown = static_cast<double>(track.width) * shape.sarWidth / shape.sarHeight * 65536.0;
    return static_cast<uint32_t>(std::min(std::llround(shown), static_cast<long long>(kMax32)));
}

// The track matrix that turns the picture as the source's did. Each entry is
// 16.16 fixed point except the last column's (u, v, w: 2.30); (x, y) moves
// the turned picture back to the origin, so it uses the shown size.
void turnMatrix(BoxWriter& w, const VideoTrack& track) {
    const uint32_t one = 0x00010000, minusOne = 0xFFFF0000;
    const uint32_t width = shownWidth(track), height = (static_cast<uint32_t>(track.height) & 0xFFFF) << 16;
    uint32_t a = one, b = 0, c = 0, d = one, x = 0, y = 0;
    switch (track.shape.quarterTurns) {
    case 1: a = 0, b = one, c = minusOne, d = 0, x = height; break;
    case 2: a = minusOne, d = minusOne, x = width, y = height; break;
    case 3: a = 0, b = minusOne, c = one, d = 0, y = width; break;
    default: break;
    }
    for (uint32_t value : {a, b, 0u, c, d, 0u, x, y, 0x40000000u}) w.u32(value);
}

void trackHeader(BoxWriter& w, bool sound, const VideoTrack& track, uint32_t durationMs) {
    size_t tkhd = w.beginFull("tkhd", 0, 0x000003); // enabled, in movie
    w.u32(0);                                        // creation time
    w.u32(0);                                        // modification time
    w.u32(sound ? 2 : 1);                            // track ID
    w.u32(0);                                        // reserved
    w.u32(durationMs);
    w.zeros(8);               // reserved
    w.u16(0);                 // layer
    w.u16(sound ? 1 : 0);     // alternate group
    w.u16(sound ? 0x0100 : 0); // volume
    w.u16(0);                 // reserved
    if (sound) w.matrix();
    else turnMatrix(w, track);
    // 16.16 fixed point; only the low 16 bits of the size fit.
    w.u32(sound ? 0 : shownWidth(track));
    w.u32(sound ? 0 : (static_cast<uint32_t>(track.height) & 0xFFFF) << 16);
    w.end(tkhd);
}

void mediaHeader(BoxWriter& w, uint32_t timescale, uint32_t duration) {
    size_t mdhd = w.beginFull("mdhd", 0, 0);
    w.u32(0); // creation time
    w.u32(0); // modification time
    w.u32(timescale);
    w.u32(duration);
    w.u16(0x55C4); // "und"
    w.u16(0);      // pre-defined
    w.end(mdhd);
}

void handler(BoxWriter& w, bool sound) {
    size_t hdlr = w.beginFull("hdlr", 0, 0);
    w.u32(0); // pre-defined
    w.ascii(sound ? "soun" : "vide");
    w.zeros(12);
    w.ascii(sound ? "SoundHandler" : "VideoHandler");
    w.u8(0);
    w.end(hdlr);
}

void videoSampleEntry(BoxWriter& w, const VideoTrack& track) {
    size_t hvc1 = w.begin("hvc1");
    w.zeros(6);  // reserved
    w.u16(1);    // data reference index
    w.zeros(16); // pre-defined and reserved
    w.u16(static_cast<uint32_t>(track.width) & 0xFFFF);
    w.u16(static_cast<uint32_t>(track.height) & 0xFFFF);
    w.u32(0x00480000); // 72 dpi
    w.u32(0x00480000);
    w.u32(0);     // reserved
    w.u16(1);     // frame count
    w.zeros(32);  // compressor name (empty)
    w.u16(0x0018); // depth
    w.u16(0xFFFF); // pre-defined -1

    size_t hvcc = w.begin("hvcC");
    w.append(track.hvcC);
    w.end(hvcc);

    NclxCodes codes = nclx(track.color);
    size_t colr = w.begin("colr");
    w.ascii("nclx");
    w.u16(codes.primaries);
    w.u16(codes.transfer);
    w.u16(codes.matrix);
    w.u8(0); // video range
    w.end(colr);

    if (!track.shape.squareSamples()) {
        size_t pasp = w.begin("pasp");
        w.u32(track.shape.sarWidth);  // horizontal spacing
        w.u32(track.shape.sarHeight); // vertical spacing
        w.end(pasp);
    }

    if (track.masteringDisplay) {
        size_t mdcv = w.begin("mdcv");
        w.append(*track.masteringDisplay);
        w.end(mdcv);
    }
    if (track.contentLightLevel) {
        size_t clli = w.begin("clli");
        w.append(*track.contentLightLevel);
        w.end(clli);
    }
    w.end(hvc1);
}

void track(BoxWriter& w, bool sound, const VideoTrack& video, const Durations& d) {
    size_t trak = w.begin("trak");
    trackHeader(w, sound, video, d.ms);
    size_t mdia = w.begin("mdia");
    if (sound) mediaHeader(w, 48000, d.sound);
    else mediaHeader(w, video.timescale, d.video);
    handler(w, sound);
    size_t minf = w.begin("minf");
    if (sound) {
        size_t smhd = w.beginFull("smhd", 0, 0);
        w.u16(0); // balance
        w.u16(0); // reserved
        w.end(smhd);
    } else {
        size_t vmhd = w.beginFull("vmhd", 0, 1);
        w.u16(0); // graphics mode
        w.zeros(6); // opcolour
        w.end(vmhd);
    }
    dataInformation(w);
    size_t stbl = w.begin("stbl");
    size_t stsd = w.beginFull("stsd", 0, 0);
    w.u32(1); // entry count
    if (sound) w.append(*video.soundEntry);
    else videoSampleEntry(w, video);
    w.end(stsd);
    emptyTables(w);
    w.end(stbl);
    w.end(minf);
    w.end(mdia);
    w.end(trak);
}

} // namespace

std::vector<uint8_t> makeInitSegment(const VideoTrack& video, uint64_t durationFrames) {
    const Durations d = durations(video, durationFrames);
    const bool hasSound = video.soundEntry.has_value();
    BoxWriter w;

    size_t ftyp = w.begin("ftyp");
    w.ascii("iso6");
    w.u32(0); // minor version
    w.ascii("iso6isomhlsfmp41");
    w.end(ftyp);

    size_t moov = w.begin("moov");
    size_t mvhd = w.beginFull("mvhd", 0, 0);
    w.u32(0);    // creation time
    w.u32(0);    // modification time
    w.u32(1000); // time scale
    w.u32(d.ms);
    w.u32(0x00010000); // rate 1.0
    w.u16(0x0100);     // volume 1.0
    w.zeros(10);
    w.matrix();
    w.zeros(24); // pre-defined
    w.u32(hasSound ? 3 : 2); // next track ID
    w.end(mvhd);

    track(w, false, video, d);
    if (hasSound) track(w, true, video, d);

    size_t mvex = w.begin("mvex");
    for (uint32_t id = 1; id <= (hasSound ? 2u : 1u); ++id) {
        size_t trex = w.beginFull("trex", 0, 0);
        w.u32(id);
        w.u32(1); // default sample description index
        w.u32(0); // default sample duration
        w.u32(0); // default sample size
        w.u32(0); // default sample flags
        w.end(trex);
    }
    w.end(mvex);
    w.end(moov);
    return std::move(w.bytes);
}

} // namespace corvel
