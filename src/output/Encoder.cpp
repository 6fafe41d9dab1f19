#include "output/Encoder.h"

#include "common/EnhanceError.h"
#include "common/Env.h"
#include "common/Fmt.h"
#include "common/Log.h"
#include "output/HvcC.h"
#include "output/InitSegment.h"

#include <pthread.h>
#include <x265.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace corvel {

namespace {

// At most this many pictures wait for the encoder thread besides the one
// it is working on; `encode` blocks beyond it so that a fast producer cannot
// pile up frames in memory (CORVEL_ENHANCE_ENCODER_QUEUE changes it, for
// measuring). A waiting picture is the caller's own (a pool picture kept
// alive by its reference), so each one more is one more output-size picture
// held (2.8 MB at 720p, 11 MB at 1440p). None: `encode` returns once x265
// has read the picture, so the caller's next picture reuses that memory.
// x265 reads the caller's picture where it is, so the caller waits through
// x265's call (it does not make its next picture meanwhile, as ffmpeg does
// not either): an output-size copy less than a whole planar copy
// (docs/BENCHMARKS.md).
constexpr size_t kMaxQueued = 0;

struct ParamDeleter {
    const x265_api* api;
    void operator()(x265_param* p) const { api->param_free(p); }
};
struct EncoderDeleter {
    const x265_api* api;
    void operator()(x265_encoder* e) const { api->encoder_close(e); }
};
using ParamPtr = std::unique_ptr<x265_param, ParamDeleter>;
using X265Ptr = std::unique_ptr<x265_encoder, EncoderDeleter>;

bool isPreset(const std::string& name) {
    for (int i = 0; x265_preset_names[i] != nullptr; ++i)
        if (name == x265_preset_names[i]) return true;
    return false;
}

[[noreturn]] void refuse(const std::string& key, int status) {
    throw EnhanceError("VideoToolbox property " + key + ": " + std::to_string(status));
}

// A picture waiting for the encoder thread: the caller's own, held by
// reference until the thread has converted it for x265 (pictures are not
// written after they were handed on: pools give them out again only when
// the last holder lets go).
struct Job {
    PictureRef picture;
    int64_t pts = 0;
    bool key = false;
    Encoder::Done done;
};

// A 16-bit word to its 10-bit code, to the nearest: stages that compute in
// floating point keep the nearest word, so the low six bits may be set.
inline uint16_t code(uint16_t word) {
    const unsigned c = (static_cast<unsigned>(word) + 32u) >> 6;
    return static_cast<uint16_t>(c > 1023u ? 1023u : c);
}

// Planar 4:2:0 samples as x265 takes them: 10-bit codes in the low bits of
// 16-bit words, the three planes one after the other at full, half, half width.
void toPlanar(const Picture& in, std::vector<uint16_t>& out) {
    const size_t w = static_cast<size_t>(in.width);
    const size_t h = static_cast<size_t>(in.height);
    out.resize(w * h + 2 * (w / 2) * (h / 2));
    uint16_t* y = out.data();
    uint16_t* cb = y + w * h;
    uint16_t* cr = cb + (w / 2) * (h / 2);
    for (size_t row = 0; row < h; ++row) {
        const uint16_t* src = in.row(0, static_cast<int>(row));
        uint16_t* dst = y + row * w;
        for (size_t x = 0; x < w; ++x) dst[x] = code(src[x]);
    }
    for (size_t row = 0; row < h / 2; ++row) {
        const uint16_t* src = in.row(1, static_cast<int>(row));
        uint16_t* u = cb + row * (w / 2);
        uint16_t* v = cr + row * (w / 2);
        for (size_t x = 0; x < w / 2; ++x) {
            u[x] = code(src[2 * x]);
            v[x] = code(src[2 * x + 1]);
        }
    }
}

// The samples as x265 reads them at 16 bits (it shifts every plane down by
// six), in the picture's own memory: the luma rounded to whole codes where
// it stands, so that x265's shift gives code() exactly, and each chroma row
// of Cb, Cr pairs rearranged into its Cb samples followed by its Cr samples
// (the row's own words: x265 reads two half-width planes at the picture's
// stride), rounded alike. Rows of whole codes (every decoded picture) are
// only read. `row` is scratch for one row.
void toSixteenBits(Picture& in, std::vector<uint16_t>& row) {
    const size_t w = static_cast<size_t>(in.width);
    const size_t h = static_cast<size_t>(in.height);
    for (size_t r = 0; r < h; ++r) {
        uint16_t* y = in.row(0, static_cast<int>(r));
        uint16_t loose = 0;
        for (size_t x = 0; x < w; ++x) loose |= static_cast<uint16_t>(y[x] & 63u);
        if (loose == 0) continue;
        for (size_t x = 0; x < w; ++x) y[x] = static_cast<uint16_t>(code(y[x]) << 6);
    }
    row.resize(w);
    for (size_t r = 0; r < h / 2; ++r) {
        uint16_t* pairs = in.row(1, static_cast<int>(r));
        std::copy_n(pairs, w, row.data());
        for (size_t x = 0; x < w / 2; ++x) {
            pairs[x] = static_cast<uint16_t>(code(row[2 * x]) << 6);
            pairs[w / 2 + x] = static_cast<uint16_t>(code(row[2 * x + 1]) << 6);
        }
    }
}

// Puts the chroma pairs back after x265 has read them (toSixteenBits undone
// but for the rounding): the picture is again what its holders expect.
void backToPairs(Picture& in, std::vector<uint16_t>& row) {
    const size_t w = static_cast<size_t>(in.width);
    const size_t h = static_cast<size_t>(in.height);
    row.resize(w);
    for (size_t r = 0; r < h / 2; ++r) {
        uint16_t* pairs = in.row(1, static_cast<int>(r));
        std::copy_n(pairs, w, row.data());
        for (size_t x = 0; x < w / 2; ++x) {
            pairs[2 * x] = row[x];
            pairs[2 * x + 1] = row[w / 2 + x];
        }
    }
}

} // namespace

struct Encoder::Impl {
    Encoder& owner;
    const x265_api* api = nullptr;
    ParamPtr param;
    X265Ptr x265;
    std::string masteringDisplay; // x265 keeps a pointer to this text
    std::string pools;            // and to this one
    EncoderFormat headerFormat;   // built from x265's parameter sets

    std::mutex lock; // guards everything below
    std::condition_variable changed;
    std::deque<Job> queue;                    // written by encode, read by the thread
    std::deque<Done> waiting;                 // submitted to x265, not yet come back
    int64_t submitted = 0;                    // pictures accepted by encode
    int64_t delivered = 0;                    // done calls made
    int64_t released = 0; // pictures let go: read by the thread or dropped, in submission order
    int64_t tick = 0;
    bool busy = false;      // the thread is inside x265
    bool flushWanted = false;
    bool flushed = false;   // x265 was drained; it takes no more pictures
    bool stopping = false;
    bool discarded = false; // discard: x265 keeps what it held, unencoded
    std::optional<EncoderFormat> format; // set once by the thread
    size_t maxQueued = kMaxQueued;
    bool wholeCopy = false; // CORVEL_ENHANCE_ENCODER_COPY: every plane copied
    std::thread thread;
    // With wholeCopy the thread's one planar copy, reused for every
    // picture: x265 copies the samples into its own frame inside
    // encoder_encode, so it is free again when the call returns. Otherwise
    // one chroma row of scratch. Touched by the thread only.
    std::vector<uint16_t> planar;

    explicit Impl(Encoder& e) : owner(e), param(nullptr, {nullptr}), x265(nullptr, {nullptr}) {}

    void run();
    void deliver(x265_nal* nals, uint32_t count, const x265_picture& out);
    void fail(Done done, int status);
    void callDone(Done& done, std::optional<EncodedPicture> picture);
};

void Encoder::Impl::callDone(Done& done, std::optional<EncodedPicture> picture) {
    try {
        if (done) done(std::move(picture));
    } catch (const std::exception& e) {
        logf(std::string("encoder: a completion failed: ") + e.what());
    }
    std::lock_guard<std::mutex> guard(lock);
    ++delivered;
    changed.notify_all();
}

void Encoder::Impl::fail(Done done, int status) {
    logf("encoder: a picture failed (" + std::to_string(status) + ")");
    callDone(done, std::nullopt);
}

void Encoder::Impl::deliver(x265_nal* nals, uint32_t count, const x265_picture& out) {
    EncodedPicture picture;
    size_t total = 0;
    for (uint32_t i = 0; i < count; ++i) total += nals[i].sizeBytes;
    picture.data.reserve(total);
    // With bAnnexB off every payload already starts with its 4-byte length.
    for (uint32_t i = 0; i < count; ++i)
        picture.data.insert(picture.data.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
    picture.key = IS_X265_TYPE_I(out.sliceType);

    Done done;
    {
        std::lock_guard<std::mutex> guard(lock);
        // Pictures come back in submission order, at most one per submission.
        if (waiting.empty()) {
            logf("encoder: x265 returned a picture that was not submitted");
            return;
        }
        done = std::move(waiting.front());
        waiting.pop_front();
        if (!picture.data.empty() && !format) format = headerFormat;
    }
    if (picture.data.empty()) {
        fail(std::move(done), 0);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(owner.statsLock);
        owner.bytes += static_cast<int64_t>(picture.data.size());
        owner.pictures += 1;
    }
    callDone(done, std::move(picture));
}

void Encoder::Impl::run() {
    x265_picture in;
    x265_picture out;
    for (;;) {
        Job job;
        bool flushNow = false;
        {
            std::unique_lock<std::mutex> guard(lock);
            // A discarded encoder takes up nothing more: its queue and held
            // pictures belong to `discard` now.
            changed.wait(guard, [&] {
                return stopping || (!discarded && (!queue.empty() || (flushWanted && !flushed)));
            });
            if (discarded) return;
            if (!queue.empty()) {
                job = std::move(queue.front());
                queue.pop_front();
                waiting.push_back(std::move(job.done));
                changed.notify_all(); // room in the queue
            } else if (flushWanted && !flushed) {
                flushNow = true;
            } else {
                return; // stopping with nothing left
            }
            busy = true;
        }

        if (flushNow) {
            // Drains pictures x265 still holds; afterwards it takes no more.
            for (;;) {
                x265_nal* nals = nullptr;
                uint32_t count = 0;
                api->picture_init(param.get(), &out);
                int got = api->encoder_encode(x265.get(), &nals, &count, nullptr, &out);
                if (got <= 0) break;
                deliver(nals, count, out);
                // A discard while draining: the rest is wanted by nobody.
                std::lock_guard<std::mutex> guard(lock);
                if (discarded) break;
            }
            std::deque<Done> lost;
            bool cut = false;
            {
                std::lock_guard<std::mutex> guard(lock);
                lost.swap(waiting);
                cut = discarded;
            }
            // Cut short by a discard: not encoded on purpose, not a failure.
            for (auto& done : lost) {
                if (cut) callDone(done, std::nullopt);
                else fail(std::move(done), 0);
            }
            std::lock_guard<std::mutex> guard(lock);
            flushed = true;
            busy = false;
            changed.notify_all();
            continue;
        }

        const int w = owner.config_.width;
        const int h = owner.config_.height;
        api->picture_init(param.get(), &in);
        in.colorSpace = X265_CSP_I420;
        in.pts = job.pts;
        in.sliceType = job.key ? X265_TYPE_IDR : X265_TYPE_AUTO;
        // Let go of the caller's picture: it goes back to its holder (its
        // pool), and an `encode` may wait for this.
        auto release = [&] {
            job.picture.reset();
            std::lock_guard<std::mutex> guard(lock);
            ++released;
            changed.notify_all();
        };
        if (wholeCopy) {
            // Converted here rather than at `encode`: one planar copy for
            // the encoder instead of one per waiting picture.
            in.bitDepth = 10;
            toPlanar(*job.picture, planar);
            release();
            uint16_t* base = planar.data();
            in.planes[0] = base;
            in.planes[1] = base + static_cast<size_t>(w) * h;
            in.planes[2] = base + static_cast<size_t>(w) * h + static_cast<size_t>(w / 2) * (h / 2);
            in.stride[0] = w * 2;
            in.stride[1] = w; // (w / 2) samples of 2 bytes
            in.stride[2] = w;
        } else {
            // x265 reads the caller's picture itself, rearranged for it
            // and put back once x265's call returns; the caller waits.
            in.bitDepth = 16;
            toSixteenBits(*job.picture, planar);
            const int stride = static_cast<int>(job.picture->stride * 2); // bytes
            in.planes[0] = job.picture->plane(0);
            in.planes[1] = job.picture->plane(1);
            in.planes[2] = job.picture->plane(1) + w / 2;
            in.stride[0] = stride;
            in.stride[1] = stride;
            in.stride[2] = stride;
        }

        x265_nal* nals = nullptr;
        uint32_t count = 0;
        api->picture_init(param.get(), &out);
        int got = api->encoder_encode(x265.get(), &nals, &count, &in, &out);
        if (job.picture) { // x265 copied the samples inside the call
            backToPairs(*job.picture, planar);
            release();
        }
        if (got < 0) {
            Done done;
            {
                std::lock_guard<std::mutex> guard(lock);
                done = std::move(waiting.back());
                waiting.pop_back();
            }
            fail(std::move(done), got);
        } else if (got > 0) {
            deliver(nals, count, out);
        }
        std::lock_guard<std::mutex> guard(lock);
        busy = false;
        changed.notify_all();
    }
}

int Encoder::threadsFromEnv() {
    return envIntIn("CORVEL_ENHANCE_X265_THREADS", 1, 256, "encoder", "x265 takes every core").value_or(0);
}

bool Encoder::wholeCopyFromEnv() { return rawEnv("CORVEL_ENHANCE_ENCODER_COPY") == "1"; }

size_t Encoder::queueFromEnv() {
    const auto n = envIntIn("CORVEL_ENHANCE_ENCODER_QUEUE", 0, 16, "encoder", std::to_string(kMaxQueued));
    return n ? static_cast<size_t>(*n) : kMaxQueued;
}

std::string Encoder::presetFromEnv() {
    auto value = rawEnv("CORVEL_ENHANCE_X265_PRESET");
    if (value && !value->empty()) {
        if (isPreset(*value)) return *value;
        logf("encoder: unknown x265 preset " + *value + ", using " + kDefaultX265Preset);
    }
    return kDefaultX265Preset;
}

Encoder::Encoder(const EncoderConfig& config, bool announce)
    : config_(config), preset_(presetFromEnv()), impl_(std::make_unique<Impl>(*this)) {
    Impl& m = *impl_;
    m.maxQueued = queueFromEnv();
    // A queue lets the caller go on while its picture waits; it may then
    // read it (a repeat, an interpolation) while the thread would rearrange
    // it: queued pictures are copied.
    m.wholeCopy = wholeCopyFromEnv() || m.maxQueued > 0;
    const std::string size = std::to_string(config.width) + "x" + std::to_string(config.height);
    if (config.width <= 0 || config.height <= 0 || (config.width & 1) || (config.height & 1) ||
        config.fpsNum == 0 || config.fpsDen == 0)
        throw EnhanceError("VideoToolbox HEVC encoder " + size + ": -1");
    m.api = x265_api_get(10);
    if (m.api == nullptr) throw EnhanceError("VideoToolbox HEVC encoder " + size + ": -1");
    m.param = ParamPtr(m.api->param_alloc(), ParamDeleter{m.api});
    m.x265 = X265Ptr(nullptr, EncoderDeleter{m.api});
    if (!m.param) throw EnhanceError("VideoToolbox HEVC encoder " + size + ": -1");
    x265_param* p = m.param.get();

    // zerolatency: no B-frames, no lookahead, one frame thread; each picture
    // comes back from the call that submitted it. Segment-tuned: the
    // preset's lookahead and frame threads, pictures held back until a flush.
    if (m.api->param_default_preset(p, preset_.c_str(), config.segmentTuned ? nullptr : "zerolatency") < 0)
        refuse("ProfileLevel", -1);
    p->logLevel = X265_LOG_ERROR;
    p->internalCsp = X265_CSP_I420;
    p->sourceWidth = config.width;
    p->sourceHeight = config.height;
    p->fpsNum = config.fpsNum;
    p->fpsDenom = config.fpsDen;
    p->bframes = 0;
    if (!config.segmentTuned) p->lookaheadDepth = 0;
    p->bOpenGOP = 0;
    p->keyframeMax = 100000;
    p->keyframeMin = 1;
    p->scenecutThreshold = 0; // key frames only where the caller asks
    p->bAnnexB = 0;           // 4-byte big-endian lengths
    p->bRepeatHeaders = 0;    // parameter sets live in the hvcC record
    p->bEmitInfoSEI = 0;
    p->bEnableAccessUnitDelimiters = 0;
    // Sample adaptive offset always on. x265 3.5 keeps about 0.2 MB of its
    // loop-filter buffers (720p) for every encoder that encodes with SAO off
    // and is then closed, and the fast presets turn it off; with an encoder
    // per segment that is a steady leak over a film (0.2 MB a second of
    // 720p). On, nothing is kept; it costs some CPU (about a tenth at
    // ultrafast here) and gives a little quality back (0.3-0.4 dB on noisy
    // 720p at the same size).
    p->bEnableSAO = 1;
    // x265's worker threads for this encoder (its pool): all cores unless
    // CORVEL_ENHANCE_X265_THREADS says how many. Encoders working on
    // consecutive segments at once each keep a full pool by default: a
    // lone segment (after a play or a seek) then has every core, and the
    // system shares them out when several work (docs/BENCHMARKS.md).
    const int threads = threadsFromEnv();
    if (threads > 0) {
        m.pools = std::to_string(threads);
        p->numaPools = m.pools.c_str();
    }

    if (config.quality > 0) {
        p->rc.rateControlMode = X265_RC_CRF;
        p->rc.rfConstant = crfForQuality(config.quality);
    } else {
        if (config.bitrate < 1000) refuse("AverageBitRate", -1);
        p->rc.rateControlMode = X265_RC_ABR;
        p->rc.bitrate = config.bitrate / 1000; // kbit/s
        if (config.peakBitrate >= 1) {
            // The peak is a one-second window: a buffer of one second at the peak rate.
            int peak = std::max(1, config.peakBitrate / 1000);
            p->rc.vbvMaxBitrate = peak;
            p->rc.vbvBufferSize = peak;
        }
    }

    // Colour in the VUI, with the same code points as the colr box.
    NclxCodes codes = nclx(config.color);
    p->vui.bEnableVideoSignalTypePresentFlag = 1;
    p->vui.videoFormat = 5; // no video format given
    p->vui.bEnableVideoFullRangeFlag = 0;
    p->vui.bEnableColorDescriptionPresentFlag = 1;
    p->vui.colorPrimaries = codes.primaries;
    p->vui.transferCharacteristics = codes.transfer;
    p->vui.matrixCoeffs = codes.matrix;
    // Non-square samples: the explicit ratio (aspect_ratio_idc 255), so a
    // player shows the picture at the source's shape.
    if (config.sarWidth != config.sarHeight && config.sarWidth > 0 && config.sarHeight > 0 &&
        config.sarWidth <= 65535 && config.sarHeight <= 65535) {
        p->vui.aspectRatioIdc = X265_EXTENDED_SAR;
        p->vui.sarWidth = static_cast<int>(config.sarWidth);
        p->vui.sarHeight = static_cast<int>(config.sarHeight);
    }

    if (config.hdr10) {
        const HDR10Metadata& hdr = *config.hdr10;
        auto md = hdr.masteringDisplay();
        auto u16 = [&](size_t at) { return std::to_string((md[at] << 8) | md[at + 1]); };
        auto u32 = [&](size_t at) {
            return std::to_string((static_cast<uint32_t>(md[at]) << 24) |
                                  (static_cast<uint32_t>(md[at + 1]) << 16) |
                                  (static_cast<uint32_t>(md[at + 2]) << 8) | md[at + 3]);
        };
        m.masteringDisplay = "G(" + u16(0) + "," + u16(2) + ")B(" + u16(4) + "," + u16(6) + ")R(" +
                             u16(8) + "," + u16(10) + ")WP(" + u16(12) + "," + u16(14) + ")L(" +
                             u32(16) + "," + u32(20) + ")";
        p->masteringDisplayColorVolume = m.masteringDisplay.c_str();
        auto cll = hdr.contentLightLevel();
        p->maxCLL = static_cast<uint16_t>((cll[0] << 8) | cll[1]);
        p->maxFALL = static_cast<uint16_t>((cll[2] << 8) | cll[3]);
        p->bEmitHDR10SEI = 1;
        m.headerFormat.masteringDisplay = md;
        m.headerFormat.contentLightLevel = cll;
    }

    if (m.api->param_apply_profile(p, "main10") < 0) refuse("ProfileLevel", -1);

    m.x265 = X265Ptr(m.api->encoder_open(p), EncoderDeleter{m.api});
    if (!m.x265) throw EnhanceError("VideoToolbox HEVC encoder " + size + ": -1");

    x265_nal* nals = nullptr;
    uint32_t count = 0;
    if (m.api->encoder_headers(m.x265.get(), &nals, &count) < 0)
        throw EnhanceError("The encoder gave no hvcC.");
    std::vector<uint8_t> units[3];
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t type = nals[i].type;
        if (type < 32 || type > 34 || nals[i].sizeBytes < 4) continue;
        units[type - 32].assign(nals[i].payload + 4, nals[i].payload + nals[i].sizeBytes);
    }
    m.headerFormat.hvcC = makeHvcC(units[0], units[1], units[2]);

    if (announce)
        logf("encoder: x265 preset " + preset_ + ", " + size + ", " +
         (config.quality > 0 ? "crf " + fmt(1, crfForQuality(config.quality))
                             : std::to_string(config.bitrate / 1000) + " kbit/s"));

    m.thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "encoder");
        impl_->run();
    });
}

Encoder::~Encoder() {
    if (!impl_ || !impl_->thread.joinable()) return;
    try {
        completeFrames();
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->stopping = true;
        impl_->changed.notify_all();
    }
    impl_->thread.join();
}

const EncoderFormat& Encoder::headerFormat() const { return impl_->headerFormat; }

EncoderFormat Encoder::prime(uint32_t pixelFormat) {
    if (auto known = format()) return *known;
    if (pixelFormat != kPixelFormatX420 && pixelFormat != kPixelFormatRGhA) throw EnhanceError("No buffer to prime the encoder.");
    if (config_.segmentTuned) return impl_->headerFormat;
    PictureRef black;
    try {
        black = makePicture(config_.width, config_.height);
    } catch (const std::exception&) {
        throw EnhanceError("No buffer to prime the encoder.");
    }
    fillPicture(*black, 0, 0, 0); // zero bytes, as the platform buffer would be
    encode(black, true, [](std::optional<EncodedPicture>) {});
    completeFrames();
    if (auto known = format()) return *known;
    throw EnhanceError("The encoder gave no format description.");
}

void Encoder::encode(PictureRef picture, bool key, Done done) {
    Impl& m = *impl_;
    if (!picture || picture->width != config_.width || picture->height != config_.height) {
        logf("encoder: a " + (picture ? std::to_string(picture->width) + "x" + std::to_string(picture->height) : std::string("missing")) +
             " picture does not fit the " + std::to_string(config_.width) + "x" +
             std::to_string(config_.height) + " encoder");
        throw EnhanceError("VideoToolbox encode: -1");
    }
    std::unique_lock<std::mutex> guard(m.lock);
    if (m.flushed || m.flushWanted || m.discarded) throw EnhanceError("The encoder is closed.");
    ++m.tick;
    ++m.submitted;
    const int64_t mine = m.submitted;
    m.queue.push_back(Job{std::move(picture), m.tick, key, std::move(done)});
    m.changed.notify_all();
    // Back to the caller once no more than maxQueued wait, or with none
    // allowed, once the thread has read this picture (and let it go). A
    // discard or an abandon empties the queue.
    m.changed.wait(guard, [&] {
        if (m.discarded) return true;
        return m.maxQueued == 0 ? m.released >= mine : m.queue.size() <= m.maxQueued;
    });
}

void Encoder::completeFrames() {
    Impl& m = *impl_;
    std::unique_lock<std::mutex> guard(m.lock);
    m.changed.wait(guard, [&] {
        if (m.delivered >= m.submitted) return true;
        // x265 holds pictures back only when it must see later ones; with
        // this configuration it never does, but if it did, only a flush
        // would release them.
        if (m.queue.empty() && !m.busy && !m.waiting.empty() && !m.flushWanted) {
            m.flushWanted = true;
            m.changed.notify_all();
        }
        return false;
    });
}

size_t Encoder::abandonQueued() {
    Impl& m = *impl_;
    std::deque<Job> dropped;
    {
        std::unique_lock<std::mutex> guard(m.lock);
        dropped.swap(m.queue);
        m.released += static_cast<int64_t>(dropped.size());
        m.changed.notify_all(); // room in the queue
        // The picture inside x265 comes back first: `done` calls stay in
        // submission order.
        m.changed.wait(guard, [&] { return !m.busy; });
    }
    for (auto& job : dropped) m.callDone(job.done, std::nullopt);
    return dropped.size();
}

void Encoder::close() {
    Impl& m = *impl_;
    std::unique_lock<std::mutex> guard(m.lock);
    m.flushWanted = true;
    m.changed.notify_all();
    m.changed.wait(guard, [&] { return (m.flushed || m.discarded) && m.delivered >= m.submitted; });
}

void Encoder::finish() {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> guard(m.lock);
    m.flushWanted = true;
    m.changed.notify_all();
}

std::unique_ptr<Encoder> Encoder::continuing(const EncoderConfig& config, const std::vector<uint8_t>& record) {
    auto encoder = std::make_unique<Encoder>(config, false);
    auto own = hvcC(encoder->headerFormat());
    if (!own || *own != record) throw EnhanceError("The encoder's parameter sets changed.");
    return encoder;
}

bool Encoder::closed() const {
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->flushed || impl_->flushWanted || impl_->discarded;
}

void Encoder::discard() {
    Impl& m = *impl_;
    std::deque<Done> held;
    std::deque<Job> dropped;
    {
        std::unique_lock<std::mutex> guard(m.lock);
        m.discarded = true; // nothing more is taken
        m.changed.wait(guard, [&] { return !m.busy; });
        // x265's held pictures were submitted before the queued ones.
        held.swap(m.waiting);
        dropped.swap(m.queue);
        m.released += static_cast<int64_t>(dropped.size());
        m.changed.notify_all();
    }
    for (auto& done : held) m.callDone(done, std::nullopt);
    for (auto& job : dropped) m.callDone(job.done, std::nullopt);
}

std::optional<EncoderFormat> Encoder::format() const {
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->format;
}

int64_t Encoder::tick() const {
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->tick;
}

Encoder::Stats Encoder::takeStats() {
    std::lock_guard<std::mutex> guard(statsLock);
    Stats stats{bytes, pictures};
    bytes = 0;
    pictures = 0;
    return stats;
}

} // namespace corvel
