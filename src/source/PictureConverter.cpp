#include "source/PictureConverter.h"

#include "common/EnhanceError.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace corvel {

namespace {

// Video-range black in 10-bit codes.
constexpr int kBlackLuma = 64;
constexpr int kNeutralChroma = 512;

// Widens one row of 8-bit or 10-bit codes to code x 64 words: 8-bit codes
// become 10-bit ones exactly (code x 4), so a shift of 8; 10-bit ones shift 6.
// The rows never overlap (`__restrict`), which lets the compiler vectorise
// these loops; they are most of the decoder's own time at 1080p.
template <typename In>
void widenRow(const In* __restrict in, uint16_t* __restrict out, int count, int shift) {
    for (int x = 0; x < count; ++x) out[x] = static_cast<uint16_t>(in[x] << shift);
}

template <typename In>
void interleaveRow(const In* __restrict u, const In* __restrict v, uint16_t* __restrict out, int pairs, int shift) {
    for (int x = 0; x < pairs; ++x) {
        out[2 * x] = static_cast<uint16_t>(u[x] << shift);
        out[2 * x + 1] = static_cast<uint16_t>(v[x] << shift);
    }
}

// Full-range codes to video-range words through a table per plane kind.
// `In` codes are below 2^bits; the tables hold code x 64 words.
template <typename In>
void mapRow(const In* __restrict in, uint16_t* __restrict out, int count, const uint16_t* __restrict table) {
    for (int x = 0; x < count; ++x) out[x] = table[in[x]];
}

template <typename In>
void mapInterleaveRow(const In* __restrict u, const In* __restrict v, uint16_t* __restrict out, int pairs,
                      const uint16_t* __restrict table) {
    for (int x = 0; x < pairs; ++x) {
        out[2 * x] = table[u[x]];
        out[2 * x + 1] = table[v[x]];
    }
}

// The tables of the full-to-video range mapping for `bits`-bit codes (8-bit
// ones take this path; other depths go through libswscale): luma
// 0 ... max goes to 64 ... 940, chroma max/2 + 1/2 +- max/2 to 512 +- 448 (the
// 10-bit video-range excursions 876 and 896), rounded to the nearest code.
struct RangeTables {
    std::vector<uint16_t> luma, chroma;
    explicit RangeTables(int bits) {
        const int count = 1 << bits;
        const double max = count - 1, mid = count / 2;
        luma.resize(size_t(count));
        chroma.resize(size_t(count));
        for (int v = 0; v < count; ++v) {
            long y = std::lround(kBlackLuma + v * 876.0 / max);
            long c = std::lround(kNeutralChroma + (v - mid) * 896.0 / max);
            luma[size_t(v)] = static_cast<uint16_t>(std::clamp(y, 0L, 1023L) << 6);
            chroma[size_t(v)] = static_cast<uint16_t>(std::clamp(c, 0L, 1023L) << 6);
        }
    }
};

const RangeTables& eightBitRange() {
    static const RangeTables tables(8);
    return tables;
}

// The plain loops: 8- or 10-bit 4:2:0 frames already at the picture's size
// (an odd last row or column is dropped). False when the frame needs libswscale.
bool convertDirect(const AVFrame& frame, bool fullRange, Picture& picture) {
    const int w = picture.width, h = picture.height;
    if ((frame.width & ~1) != w || (frame.height & ~1) != h) return false;
    auto row16 = [&](int plane, int y) {
        return reinterpret_cast<const uint16_t*>(frame.data[plane] + y * frame.linesize[plane]);
    };
    auto row8 = [&](int plane, int y) { return frame.data[plane] + y * frame.linesize[plane]; };
    switch (frame.format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        if (fullRange) {
            const RangeTables& t = eightBitRange();
            for (int y = 0; y < h; ++y) mapRow(row8(0, y), picture.row(0, y), w, t.luma.data());
            for (int y = 0; y < h / 2; ++y)
                mapInterleaveRow(row8(1, y), row8(2, y), picture.row(1, y), w / 2, t.chroma.data());
            return true;
        }
        for (int y = 0; y < h; ++y) widenRow(row8(0, y), picture.row(0, y), w, 8);
        for (int y = 0; y < h / 2; ++y) interleaveRow(row8(1, y), row8(2, y), picture.row(1, y), w / 2, 8);
        return true;
    case AV_PIX_FMT_YUV420P10LE:
        if (fullRange) return false;
        for (int y = 0; y < h; ++y) widenRow(row16(0, y), picture.row(0, y), w, 6);
        for (int y = 0; y < h / 2; ++y) interleaveRow(row16(1, y), row16(2, y), picture.row(1, y), w / 2, 6);
        return true;
    case AV_PIX_FMT_NV12:
        if (fullRange) return false;
        for (int y = 0; y < h; ++y) widenRow(row8(0, y), picture.row(0, y), w, 8);
        for (int y = 0; y < h / 2; ++y) widenRow(row8(1, y), picture.row(1, y), w, 8);
        return true;
    case AV_PIX_FMT_P010LE:
        if (fullRange) return false;
        for (int y = 0; y < h; ++y) std::memcpy(picture.row(0, y), row16(0, y), size_t(w) * 2);
        for (int y = 0; y < h / 2; ++y) std::memcpy(picture.row(1, y), row16(1, y), size_t(w) * 2);
        return true;
    default:
        return false;
    }
}

// The "J" formats are their plain twins read at full range.
int plainFormat(int format) {
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
    default: return format;
    }
}

bool isFullRangeFormat(int format) { return plainFormat(format) != format; }

} // namespace

void PictureConverter::SwsDeleter::operator()(SwsContext* context) const { sws_freeContext(context); }

PictureConverter::PictureConverter() = default;
PictureConverter::~PictureConverter() = default;

SwsContext* PictureConverter::context(const Setup& setup) {
    if (sws_ && setup == setup_) return sws_.get();
    sws_.reset();
    const auto format = static_cast<AVPixelFormat>(setup.format);
    if (!sws_isSupportedInput(format)) {
        const char* name = av_get_pix_fmt_name(format);
        throw EnhanceError(std::string("This part's pictures are ") + (name ? name : "of an unknown format") +
                           ", which the Mac's enhancer cannot convert to 10-bit 4:2:0.");
    }
    std::unique_ptr<SwsContext, SwsDeleter> made(sws_alloc_context());
    if (!made) throw EnhanceError("No picture converter for this part (out of memory).");
    // The ranges are set before initialisation: libswscale only picks its
    // range-converting path (and leaves its plain copies) when it knows the
    // two differ from the start.
    SwsContext* c = made.get();
    av_opt_set_int(c, "srcw", setup.width, 0);
    av_opt_set_int(c, "srch", setup.height, 0);
    av_opt_set_int(c, "src_format", setup.format, 0);
    av_opt_set_int(c, "dstw", setup.outWidth, 0);
    av_opt_set_int(c, "dsth", setup.outHeight, 0);
    av_opt_set_int(c, "dst_format", AV_PIX_FMT_P010LE, 0);
    av_opt_set_int(c, "src_range", setup.fullRange ? 1 : 0, 0);
    av_opt_set_int(c, "dst_range", 0, 0);
    av_opt_set_int(c, "sws_flags", SWS_BICUBIC | SWS_ACCURATE_RND, 0);
    int status = sws_init_context(c, nullptr, nullptr);
    if (status < 0) {
        const char* name = av_get_pix_fmt_name(format);
        throw EnhanceError(std::string("This part's pictures (") + (name ? name : "unknown format") + ", " +
                           std::to_string(setup.width) + "x" + std::to_string(setup.height) +
                           ") cannot be converted to 10-bit 4:2:0 (" + std::to_string(status) + ").");
    }
    sws_ = std::move(made);
    setup_ = setup;
    return sws_.get();
}

void PictureConverter::convert(const AVFrame& frame, bool fullRange, Picture& picture) {
    if (frame.color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(frame.format)) fullRange = true;
    else if (frame.color_range == AVCOL_RANGE_MPEG) fullRange = false;
    if (convertDirect(frame, fullRange, picture)) return;

    // The frame's shape inside the picture: the whole picture when the two
    // shapes agree within 1 % (a few rows of coding padding, say), else the
    // largest centred rectangle of the frame's shape, on even samples.
    const int tw = picture.width, th = picture.height;
    const double frameWide = double(frame.width) * th, targetWide = double(tw) * frame.height;
    int w = tw, h = th;
    if (std::fabs(frameWide - targetWide) > 0.01 * targetWide) {
        if (frameWide > targetWide)
            h = std::max(2, static_cast<int>(std::lround(double(tw) * frame.height / frame.width)) & ~1);
        else
            w = std::max(2, static_cast<int>(std::lround(double(th) * frame.width / frame.height)) & ~1);
        fillPicture(picture, kBlackLuma, kNeutralChroma, kNeutralChroma);
    }
    const int left = ((tw - w) / 2) & ~1, top = ((th - h) / 2) & ~1;

    SwsContext* c = context({plainFormat(frame.format), frame.width, frame.height, w, h, fullRange});
    const int stride = static_cast<int>(picture.stride * sizeof(uint16_t));
    uint8_t* out[4] = {reinterpret_cast<uint8_t*>(picture.row(0, top) + left),
                       reinterpret_cast<uint8_t*>(picture.row(1, top / 2) + left), nullptr, nullptr};
    const int outStride[4] = {stride, stride, 0, 0};
    int status = sws_scale(c, frame.data, frame.linesize, 0, frame.height, out, outStride);
    if (status <= 0)
        throw EnhanceError("The Mac could not convert a picture of this part (" + std::to_string(status) + ").");
    ++scaled_;
}

} // namespace corvel
