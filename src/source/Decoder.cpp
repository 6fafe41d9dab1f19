#include "source/Decoder.h"

#include "common/EnhanceError.h"
#include "common/Fmt.h"
#include "common/Log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace corvel {

namespace {

constexpr uint64_t kWindowBytes = 4194304; // one range request per 4 MiB of media data
constexpr double kPacketTimeBase = 90000;  // packet times are in 1/90000 s

// libavcodec gave up with `status`: the run cannot go on with this part.
EnhanceError decoderStopped(int status) {
    return EnhanceError("The Mac's decoder stopped (" + std::to_string(status) + ").");
}

// Turns a picture by the track matrix of `turns` quarter turns (1 or 3)
// into `out`, whose width is `in`'s height and whose height is its width.
// Turn 1, (0, 1, -1, 0), sends a sample at (p, q) to (h - 1 - q, p); turn 3,
// (0, -1, 1, 0), sends it to (q, w - 1 - p). Chroma pairs move as units on
// the half-size grid.
void turnPicture(const Picture& in, Picture& out, int turns) {
    const int w = in.width, h = in.height;
    for (int y = 0; y < w; ++y) {
        uint16_t* row = out.row(0, y);
        for (int x = 0; x < h; ++x) row[x] = turns == 1 ? in.row(0, h - 1 - x)[y] : in.row(0, x)[w - 1 - y];
    }
    const int cw = w / 2, ch = h / 2;
    for (int y = 0; y < cw; ++y) {
        uint16_t* row = out.row(1, y);
        for (int x = 0; x < ch; ++x) {
            const uint16_t* pair = turns == 1 ? in.row(1, ch - 1 - x) + 2 * y : in.row(1, x) + 2 * (cw - 1 - y);
            row[2 * x] = pair[0];
            row[2 * x + 1] = pair[1];
        }
    }
}

} // namespace

void Decoder::CodecDeleter::operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
void Decoder::FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void Decoder::PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }

Decoder::Decoder(std::vector<TitlePart> parts, std::vector<double> offsets, uint32_t pixelFormat)
    : parts_(std::move(parts)), offsets_(std::move(offsets)), pixelFormat_(pixelFormat) {}

Decoder::~Decoder() = default;

std::shared_ptr<Mp4Track> Decoder::track(int part) {
    auto found = tracks_.find(part);
    if (found != tracks_.end()) return found->second;
    const TitlePart& titlePart = parts_.at(static_cast<size_t>(part));
    auto opened = std::make_shared<Mp4Track>(titlePart.url, titlePart.fileName);
    tracks_[part] = opened;
    return opened;
}

void Decoder::seek(double to) {
    skipBefore_ = -1e300;
    if (parts_.empty()) return;
    // The last part whose start is at or before `to` (part 0 before the start).
    size_t chosen = parts_.size() - 1;
    for (size_t i = 0; i + 1 < parts_.size(); ++i) {
        if (i + 1 < offsets_.size() && offsets_[i + 1] > to) {
            chosen = i;
            break;
        }
    }
    double start = chosen < offsets_.size() ? offsets_[chosen] : 0;
    open(static_cast<int>(chosen), std::max(0.0, to - start));
}

void Decoder::open(int part, double from) {
    auto opened = track(part);
    part_ = part;
    track_ = opened;

    // Start at the last key picture at or before `from`.
    next_ = 0;
    for (size_t i = 0; i < opened->samples.size(); ++i)
        if (opened->samples[i].sync && opened->samples[i].pts <= from + 1e-6) next_ = i;
    drained_ = false;
    {
        std::lock_guard guard(pendingLock_);
        pending_.clear();
    }
    if (cachePart_ != part) {
        cache_.clear();
        cachePart_ = -1;
    }

    if (session_ && sessionFormat_ && opened->format && *sessionFormat_ == *opened->format) {
        // Same format: keep the session, dropping what it holds of the old position.
        avcodec_flush_buffers(session_.get());
        return;
    }
    session_.reset();
    sessionFormat_.reset();
    const VideoFormat& format = *opened->format;
    auto refuse = [](int status) {
        throw EnhanceError("The Mac could not open a decoder for this part (" + std::to_string(status) + ").");
    };
    if (pixelFormat_ != kPixelFormatX420) refuse(-1);
    const AVCodec* codec = avcodec_find_decoder(format.codecType == "hvc1" ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!codec) refuse(AVERROR_DECODER_NOT_FOUND);
    std::unique_ptr<AVCodecContext, CodecDeleter> context(avcodec_alloc_context3(codec));
    if (!context) refuse(AVERROR(ENOMEM));
    context->extradata = static_cast<uint8_t*>(av_mallocz(format.config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context->extradata) refuse(AVERROR(ENOMEM));
    std::memcpy(context->extradata, format.config.data(), format.config.size());
    context->extradata_size = static_cast<int>(format.config.size());
    context->width = format.width;
    context->height = format.height;
    context->pkt_timebase = AVRational{1, static_cast<int>(kPacketTimeBase)};
    context->thread_count = threads_;
    context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    int status = avcodec_open2(context.get(), codec, nullptr);
    if (status < 0) refuse(status);
    if (!frame_) frame_.reset(av_frame_alloc());
    if (!packet_) packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) refuse(AVERROR(ENOMEM));
    session_ = std::move(context);
    sessionFormat_ = format;
    ++sessionsCreated_;
}

std::span<const uint8_t> Decoder::bytes(const Sample& sample, const Mp4Track& track) {
    uint64_t end = sample.offset + sample.size;
    bool inWindow = cachePart_ == part_ && sample.offset >= cacheOffset_ && cacheOffset_ + cache_.size() >= end;
    if (!inWindow) {
        // The old window goes before the new one comes: never two at once.
        Data().swap(cache_);
        cachePart_ = -1;
        auto [window, total] = httpRange(track.url, sample.offset, std::max(sample.offset + kWindowBytes, end));
        (void)total;
        cache_ = std::move(window);
        cacheOffset_ = sample.offset;
        cachePart_ = part_;
        if (sample.offset + cache_.size() < end) throw EnhanceError("The part ended inside a picture.");
    }
    return {cache_.data() + (sample.offset - cacheOffset_), sample.size};
}

void Decoder::failed(double localTime, int status) {
    int count = ++decodeErrors_;
    if (count < 6)
        logf("decoder: a picture at " + fmt(3, localTime) + " s did not decode (" + std::to_string(status) + ")");
}

void Decoder::deliver(const AVFrame& frame, double partStart) {
    int64_t stamp = frame.pts != AV_NOPTS_VALUE ? frame.pts : frame.best_effort_timestamp;
    double local = stamp != AV_NOPTS_VALUE ? static_cast<double>(stamp) / kPacketTimeBase : 0;
    if (frame.width < 2 || frame.height < 2) {
        failed(local, AVERROR_INVALIDDATA);
        return;
    }
    // A picture the caller would skip after a seek costs its decoding only.
    if (partStart + local < skipBefore_) return;
    // Held as libavcodec gave it (a reference to its own buffer, for 8-bit
    // titles half the size of a converted picture) while it waits for the
    // pictures before it: converted only when read, so the reordering
    // window holds no converted copies.
    std::unique_ptr<AVFrame, FrameDeleter> held(av_frame_alloc());
    if (!held) throw decoderStopped(AVERROR(ENOMEM));
    if (int status = av_frame_ref(held.get(), &frame); status < 0) throw decoderStopped(status);
    PendingFrame waiting{std::move(held), partStart + local, track_};
    std::lock_guard guard(pendingLock_);
    auto at = std::upper_bound(pending_.begin(), pending_.end(), waiting.pts,
                               [](double pts, const PendingFrame& f) { return pts < f.pts; });
    pending_.insert(at, std::move(waiting));
}

DecodedFrame Decoder::convert(const PendingFrame& waiting) {
    const AVFrame& frame = *waiting.frame;
    const Mp4Track& track = *waiting.track;
    ++converted_;
    // The title's size when one is set; otherwise the picture's own, made
    // even (the picture layout has even sizes; an odd last row or column is
    // dropped).
    const int width = pictureWidth_ > 0 ? pictureWidth_ : frame.width & ~1;
    const int height = pictureHeight_ > 0 ? pictureHeight_ : frame.height & ~1;
    if (!pool_ || pool_->width() != width || pool_->height() != height)
        pool_ = std::make_unique<PicturePool>(width, height);
    PictureRef picture = pool_->take();
    if (turnsUpright(track)) {
        // Converted at the coded orientation, then turned upright.
        if (!turnPool_ || turnPool_->width() != height || turnPool_->height() != width)
            turnPool_ = std::make_unique<PicturePool>(height, width, 1);
        PictureRef coded = turnPool_->take();
        converter_.convert(frame, track.fullRange, *coded);
        turnPicture(*coded, *picture, track.shape.quarterTurns);
    } else {
        converter_.convert(frame, track.fullRange, *picture);
    }
    const SourceColor& color = track.color;
    picture->color = {};
    picture->color.primaries = color.primaries.value_or("");
    picture->color.transfer = color.transfer.value_or("");
    picture->color.matrix = color.matrix.value_or("");
    return DecodedFrame{std::move(picture), waiting.pts};
}

void Decoder::collect(double partStart) {
    for (;;) {
        int status = avcodec_receive_frame(session_.get(), frame_.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
        if (status < 0) {
            failed(0, status);
            return;
        }
        // A picture libavcodec could only conceal counts as not decoded, as a
        // hardware decoder's error status would.
        if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT)) {
            int64_t stamp = frame_->pts != AV_NOPTS_VALUE ? frame_->pts : 0;
            failed(static_cast<double>(stamp) / kPacketTimeBase, AVERROR_INVALIDDATA);
        } else {
            deliver(*frame_, partStart);
        }
        av_frame_unref(frame_.get());
    }
}

void Decoder::decode(const Sample& sample, const Mp4Track& track) {
    if (sample.size == 0) {
        // An empty packet would tell libavcodec that the stream ended.
        failed(sample.pts, AVERROR_INVALIDDATA);
        return;
    }
    std::span<const uint8_t> data = bytes(sample, track);
    if (!session_) throw EnhanceError("sample buffer: -1");
    double partStart = static_cast<size_t>(part_) < offsets_.size() ? offsets_[static_cast<size_t>(part_)] : 0;
    av_packet_unref(packet_.get());
    int status = av_new_packet(packet_.get(), static_cast<int>(data.size()));
    if (status < 0) throw EnhanceError("block buffer: " + std::to_string(status));
    std::memcpy(packet_->data, data.data(), data.size());
    packet_->pts = std::llround(sample.pts * kPacketTimeBase);
    packet_->dts = AV_NOPTS_VALUE;
    if (sample.sync) packet_->flags |= AV_PKT_FLAG_KEY;
    for (;;) {
        status = avcodec_send_packet(session_.get(), packet_.get());
        if (status != AVERROR(EAGAIN)) break;
        collect(partStart); // the session is full: take out what it finished
    }
    if (status == AVERROR_INVALIDDATA) {
        failed(sample.pts, status); // one picture lost; decoding goes on
    } else if (status < 0) {
        throw decoderStopped(status);
    }
    collect(partStart);
}

void Decoder::drain() {
    if (!session_) return;
    double partStart = static_cast<size_t>(part_) < offsets_.size() ? offsets_[static_cast<size_t>(part_)] : 0;
    avcodec_send_packet(session_.get(), nullptr);
    collect(partStart);
    // Ready for the next part's first key picture.
    avcodec_flush_buffers(session_.get());
}

bool Decoder::ready() {
    for (;;) {
        if (!track_) return false;
        bool exhausted = next_ >= track_->samples.size();
        {
            std::lock_guard guard(pendingLock_);
            if (pending_.size() > static_cast<size_t>(track_->reorder) || (exhausted && drained_ && !pending_.empty()))
                return true;
        }
        if (!exhausted) {
            decode(track_->samples[next_], *track_);
            ++next_;
        } else if (!drained_) {
            drain();
            drained_ = true;
        } else if (static_cast<size_t>(part_) + 1 < parts_.size()) {
            open(part_ + 1, 0);
        } else {
            track_.reset();
            return false;
        }
    }
}

std::optional<double> Decoder::upcoming() {
    if (!ready()) return std::nullopt;
    std::lock_guard guard(pendingLock_);
    return pending_.front().pts;
}

std::optional<DecodedFrame> Decoder::read() {
    if (!ready()) return std::nullopt;
    PendingFrame first;
    {
        std::lock_guard guard(pendingLock_);
        first = std::move(pending_.front());
        pending_.erase(pending_.begin());
    }
    return convert(first);
}

SourceColor Decoder::sourceColor() {
    if (parts_.empty()) return {};
    try {
        return track(0)->color;
    } catch (const EnhanceError&) {
        return {};
    }
}

void Decoder::setPictureSize(int width, int height) {
    pictureWidth_ = width > 0 && height > 0 ? width & ~1 : 0;
    pictureHeight_ = width > 0 && height > 0 ? height & ~1 : 0;
}

bool Decoder::turnsUpright(const Mp4Track& track) const {
    if (pictureWidth_ <= 0 || track.shape.quarterTurns % 2 == 0 || !track.format) return false;
    const bool codedWide = track.format->width > track.format->height;
    const bool titleWide = pictureWidth_ > pictureHeight_;
    return codedWide != titleWide && track.format->width != track.format->height &&
           pictureWidth_ != pictureHeight_;
}

PictureShape Decoder::sourceShape() {
    if (parts_.empty()) return {};
    try {
        auto first = track(0);
        PictureShape shape = first->shape;
        if (turnsUpright(*first)) shape.quarterTurns = 0; // the pictures are turned here
        return shape;
    } catch (const EnhanceError&) {
        return {};
    }
}

int Decoder::sourceBits() {
    if (parts_.empty()) return 8;
    try {
        return track(0)->bits;
    } catch (const EnhanceError&) {
        return 8;
    }
}

} // namespace corvel
