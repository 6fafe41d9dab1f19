#pragma once

#include "source/Mp4Track.h"
#include "source/PictureConverter.h"
#include "source/PictureSource.h"
#include "source/StreamInfo.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace corvel {

// The picture source of titles stored as MP4 parts: walks the parts in
// order, fetches sample bytes in 4 MiB windows by HTTP range requests, and
// decodes them with libavcodec into pooled Pictures in presentation order.
class Decoder : public PictureSource {
public:
    // An idle decoder: no part open, no session. `offsets` are the parts'
    // starts on the title clock; `pixelFormat` must be kPixelFormatX420 (a
    // session for any other format cannot be opened).
    Decoder(std::vector<TitlePart> parts, std::vector<double> offsets, uint32_t pixelFormat);
    ~Decoder() override;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    void seek(double to) override;
    // Pictures before `time` are decoded (later ones refer to them) but
    // never converted to the output format nor returned.
    void skipBefore(double time) override { skipBefore_ = time; }
    std::optional<DecodedFrame> read() override;
    // The next picture waits as libavcodec's frame (the reordering window
    // holds it anyway): its time is known before it is converted.
    bool tellsUpcoming() const override { return true; }
    std::optional<double> upcoming() override;
    SourceColor sourceColor() override;
    int sourceBits() override;
    // The first part's sample aspect ratio (its pasp box) and turn (its track
    // matrix); square and upright when that part cannot be opened. The turn
    // is 0 when this decoder turns the pictures itself (see setPictureSize).
    PictureShape sourceShape() override;

    // The size every picture is brought to: the title's size. Pictures of
    // any format, range and size come out as 10-bit 4:2:0 video-range
    // pictures of this size (PictureConverter says how). Without it (or
    // with 0 x 0) each picture keeps its own size, made even. A part turned
    // by a quarter whose coded shape is the other way round from this size
    // (a media server that reports the shown size of a phone's upright
    // video) has its pictures turned upright here instead of carrying the turn.
    void setPictureSize(int width, int height);

    // Pictures converted to the output format over this decoder's life
    // (those left out by skipBefore are not).
    int64_t picturesConverted() const { return converted_; }
    // MP4 parts whose movie box this decoder read.
    int partsOpened() const { return static_cast<int>(tracks_.size()); }
    // Pictures that failed to decode over this decoder's life.
    int decodeErrors() const { return decodeErrors_.load(); }
    // Decoder sessions created so far (a new one only when the format changes).
    int sessionsCreated() const { return sessionsCreated_; }
    // Decoder threads per session (0: libavcodec's choice, one per core).
    void setThreads(int threads) { threads_ = threads; }

private:
    struct CodecDeleter {
        void operator()(AVCodecContext* context) const;
    };
    struct FrameDeleter {
        void operator()(AVFrame* frame) const;
    };
    struct PacketDeleter {
        void operator()(AVPacket* packet) const;
    };

    std::shared_ptr<Mp4Track> track(int part);
    void open(int part, double from);
    std::span<const uint8_t> bytes(const Sample& sample, const Mp4Track& track);
    void decode(const Sample& sample, const Mp4Track& track);
    // Moves every picture the session has finished into `pending`.
    void collect(double partStart);
    void drain();
    // Decodes until the next picture in presentation order is known (true)
    // or the title has ended (false).
    bool ready();
    // A picture libavcodec finished, as it gave it, waiting for its turn.
    struct PendingFrame {
        std::unique_ptr<AVFrame, FrameDeleter> frame;
        double pts = 0; // title seconds
        std::shared_ptr<Mp4Track> track; // the part it belongs to
    };
    void deliver(const AVFrame& frame, double partStart);
    // The 10-bit picture of a pending one, from the pool.
    DecodedFrame convert(const PendingFrame& waiting);
    void failed(double localTime, int status);
    // The part's pictures are turned upright here (see setPictureSize).
    bool turnsUpright(const Mp4Track& track) const;

    std::vector<TitlePart> parts_;
    std::vector<double> offsets_;
    uint32_t pixelFormat_;
    std::map<int, std::shared_ptr<Mp4Track>> tracks_;
    int part_ = -1;
    std::shared_ptr<Mp4Track> track_;
    std::unique_ptr<AVCodecContext, CodecDeleter> session_;
    std::optional<VideoFormat> sessionFormat_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    size_t next_ = 0;     // decode-order index of the next sample to decode
    bool drained_ = false; // the session has given out every picture of this part
    Data cache_;           // the byte window last fetched
    uint64_t cacheOffset_ = 0;
    int cachePart_ = -1;   // the part the window belongs to (-1: none)
    std::mutex pendingLock_;
    std::vector<PendingFrame> pending_; // guarded by pendingLock_; sorted by pts
    std::atomic<int> decodeErrors_{0};
    int sessionsCreated_ = 0;
    double skipBefore_ = -1e300; // title seconds; see skipBefore
    int64_t converted_ = 0;
    int threads_ = 0;
    std::unique_ptr<PicturePool> pool_;
    PictureConverter converter_;
    std::unique_ptr<PicturePool> turnPool_; // coded-orientation pictures before they are turned
    int pictureWidth_ = 0; // 0: each picture's own size
    int pictureHeight_ = 0;
};

} // namespace corvel
