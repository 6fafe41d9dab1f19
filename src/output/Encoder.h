#pragma once

#include "output/EncoderConfig.h"
#include "processing/Picture.h"
#include "processing/PixelFormat.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace corvel {

// The x265 preset used when CORVEL_ENHANCE_X265_PRESET does not name one,
// chosen by measurement (docs/BENCHMARKS.md).
inline constexpr const char* kDefaultX265Preset = "ultrafast";

// HEVC Main10 encoding with libx265 (its 10-bit API): no B-frames, no frame
// reordering, key frames (IDR pictures) only when the caller asks for them,
// constant quality (CRF) or an average bit rate with a VBV peak, colour in
// the VUI and, for HDR10, the mastering display and content light level
// SEI. Zero-latency (no lookahead, each picture back from its own call) or
// segment-tuned (`EncoderConfig::segmentTuned`: the preset's lookahead and
// frame threads; pictures come back a few submissions later, the last ones
// at a drain). A segment-tuned encoder may take several segments in a row,
// each starting with a key picture: the stream is cut there.
//
// Pictures are queued by `encode` and encoded on the encoder's own thread
// ("encoder"), which calls each picture's `done` exactly once, in submission
// order: with the encoded picture, or with nothing when x265 failed on it.
// `encode` and `prime` are called from one thread at a time; `done` may run
// while the next picture is being submitted.
class Encoder {
public:
    using Done = std::function<void(std::optional<EncodedPicture>)>;

    // Opens the x265 encoder. Throws EnhanceError
    // "VideoToolbox HEVC encoder WxH: status" when x265 refuses the size, or
    // "VideoToolbox property NAME: status" when it refuses a setting.
    // `announce`: log the preset line (an encoder per segment logs it once).
    explicit Encoder(const EncoderConfig& config, bool announce = true);
    // Waits for every submitted picture, then closes x265.
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    const EncoderConfig& config() const { return config_; }
    // The x265 preset in use.
    const std::string& preset() const { return preset_; }

    // The format of the output. Returns it at once when a picture has already
    // come back, or, for a segment-tuned encoder (which would hold the
    // picture back), the format of its parameter sets; otherwise encodes one
    // all-zero key picture (it counts like any other) and waits for it. kPixelFormatX420 and kPixelFormatRGhA are
    // taken; any other format fails with "No buffer to prime the encoder.".
    EncoderFormat prime(uint32_t pixelFormat);

    // Queues one picture; `key` makes it an IDR picture. The encoder keeps
    // the reference until x265 has read the samples, so the picture must
    // not be written after this call: a pool gives it out again only when
    // the encoder let go. x265 reads the picture in place: the encoder
    // rounds its words to whole 10-bit codes (code x 64; the codes stay what
    // they were, which is all x265 keeps of them) and rearranges each chroma
    // row for x265's call, putting the pairs back before it lets go.
    // Returns once at most `queueFromEnv()` pictures wait (0, the default:
    // once x265 has read this one). Throws EnhanceError "VideoToolbox encode: -1"
    // for a picture of another size or none (the encoder stays usable) and
    // "The encoder is closed." once the encoder has been flushed.
    void encode(PictureRef picture, bool key, Done done);

    // Returns when every picture submitted so far has been passed to its
    // `done` (the platform's CompleteFrames with an invalid time). Not to be
    // called from inside a `done`, which would wait for itself.
    void completeFrames();

    // Drops the pictures still waiting for x265 (a run that was replaced
    // wants none of them): their `done` is called with nothing, after the
    // picture x265 is working on came back, so the calls stay in submission
    // order. Returns how many were dropped. The encoder stays usable. For
    // an encoder that holds pictures back (segment-tuned), whose held
    // pictures would come back after the dropped ones, use `discard`.
    size_t abandonQueued();

    // Ends the encoder without draining x265: queued pictures are dropped
    // and the pictures x265 holds are never encoded; every
    // one of them gets its `done` with nothing, in submission order. The
    // encoder takes no more ("The encoder is closed."). For a stopped run
    // of segment-tuned encoders, whose drain would encode pictures nobody
    // wants.
    void discard();

    // Drains x265: every picture submitted so far comes back, and the
    // encoder takes no more ("The encoder is closed."). A closed encoder is
    // never used again; whoever holds it makes a new one.
    void close();
    // `close` without the wait: the drain runs on the encoder's thread while
    // the caller goes on (with the next segment's encoder). `close` or
    // `completeFrames` later waits for it; `discard` cuts it short.
    void finish();
    // Whether the encoder was drained (by `close`, or by `completeFrames`
    // when x265 held pictures back) or discarded.
    bool closed() const;
    // Whether this encoder can take the pictures of `config`: made for it
    // and not closed.
    bool reusableFor(const EncoderConfig& config) const { return config_ == config && !closed(); }

    // The format x265's parameter sets give, known from the start: two
    // encoders whose pictures share one stream must give equal ones.
    const EncoderFormat& headerFormat() const;
    // The format of the first picture that came back; none before that.
    std::optional<EncoderFormat> format() const;
    // Pictures submitted so far.
    int64_t tick() const;

    // Encoded bytes and pictures since the last report, guarded by
    // statsLock; the reader takes both and sets them to 0.
    std::mutex statsLock;
    int64_t bytes = 0;
    int64_t pictures = 0;

    struct Stats {
        int64_t bytes = 0;
        int64_t pictures = 0;
        Stats& operator+=(const Stats& other) {
            bytes += other.bytes;
            pictures += other.pictures;
            return *this;
        }
    };
    // Takes bytes and pictures under statsLock and resets them.
    Stats takeStats();

    // CORVEL_ENHANCE_X265_PRESET when it names an x265 preset, else
    // kDefaultX265Preset.
    static std::string presetFromEnv();
    // CORVEL_ENHANCE_X265_THREADS when it is 1 to 256: the worker threads
    // of each encoder's pool; else 0 (x265 takes every core).
    static int threadsFromEnv();
    // CORVEL_ENHANCE_ENCODER_QUEUE when it is 0 to 16: the pictures that
    // may wait for the encoder's thread besides the one it works on; else 0.
    static size_t queueFromEnv();
    // CORVEL_ENHANCE_ENCODER_COPY=1: the thread copies the whole picture
    // into a planar copy for x265 and lets the caller's picture go before
    // x265's call (the caller then makes its next picture while x265
    // works), for measuring; else false. A queue (queueFromEnv() > 0)
    // copies too.
    static bool wholeCopyFromEnv();

    // An encoder whose pictures continue the stream described by `record`
    // (the hvcC of the track's first encoder): opened like `Encoder(config,
    // false)`, then its parameter sets are compared byte for byte with the
    // record's. Throws EnhanceError "The encoder's parameter sets changed."
    // when they differ: pictures of two streams never share a track.
    static std::unique_ptr<Encoder> continuing(const EncoderConfig& config,
                                               const std::vector<uint8_t>& record);

private:
    struct Impl;
    EncoderConfig config_;
    std::string preset_;
    std::unique_ptr<Impl> impl_;
};

} // namespace corvel
