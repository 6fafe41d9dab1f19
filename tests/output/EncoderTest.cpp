#include "output/Encoder.h"
#include "output/HvcC.h"

#include "Bytes.h"
#include "Clip.h"
#include "common/EnhanceError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <malloc.h>
#include <mutex>
#include <thread>
#include <vector>

namespace corvel {
namespace {

using test::Bytes;
using test::hexOf;

TEST(HDR10Metadata, BlobsFollowTheSeiLayouts) {
    HDR10Metadata hdr{1000, 400};
    // G (0.265, 0.69), B (0.15, 0.06), R (0.68, 0.32), white (0.3127, 0.329)
    // in 0.00002 units, then 1000 cd/m² and 0.005 cd/m² in 0.0001 units.
    EXPECT_EQ(hexOf(hdr.masteringDisplay()),
              hexOf(Bytes().hex("33C2 86C4 1D4C 0BB8 84D0 3E80 3D13 4042 00989680 00000032").data));
    EXPECT_EQ(hexOf(hdr.contentLightLevel()), "03 E8 01 90 ");
    // Out of range values are clamped to what the fields hold.
    HDR10Metadata big{500000, 70000};
    EXPECT_EQ(hexOf(big.contentLightLevel()), "FF FF FF FF ");
    EXPECT_EQ(test::be32(big.masteringDisplay(), 16), 4294960000u);
}

TEST(EncoderConfig, QualityFromEnvironmentText) {
    EXPECT_EQ(EncoderConfig::qualityFromText(std::nullopt), 0.75);
    EXPECT_EQ(EncoderConfig::qualityFromText(""), 0.75);
    EXPECT_EQ(EncoderConfig::qualityFromText("high"), 0.75);
    EXPECT_EQ(EncoderConfig::qualityFromText("0.5"), 0.5);
    EXPECT_EQ(EncoderConfig::qualityFromText("-2"), 0.0);
    EXPECT_EQ(EncoderConfig::qualityFromText("7"), 1.0);
    // Higher quality, lower CRF, within x265's range.
    EXPECT_LT(crfForQuality(0.9), crfForQuality(0.5));
    EXPECT_GE(crfForQuality(1.0), 0.0);
    EXPECT_LE(crfForQuality(0.0), 51.0);
}

EncoderConfig config(int w, int h) {
    EncoderConfig c;
    c.width = w;
    c.height = h;
    c.fpsNum = 24;
    c.fpsDen = 1;
    c.quality = 0.75;
    c.color = {color::kPrimaries709, color::kTransfer709, color::kMatrix709};
    return c;
}

TEST(Encoder, PrimeGivesMain10RecordOnce) {
    Encoder encoder(config(320, 180));
    EXPECT_FALSE(encoder.format().has_value());
    EncoderFormat format = encoder.prime(kPixelFormatX420);
    EXPECT_EQ(encoder.tick(), 1);
    EXPECT_EQ(encoder.prime(kPixelFormatX420), format);
    EXPECT_EQ(encoder.prime(kPixelFormatRGhA), format);
    EXPECT_EQ(Encoder(config(320, 180)).prime(kPixelFormatRGhA), format);
    EXPECT_EQ(encoder.tick(), 1) << "a second prime encodes nothing";
    EXPECT_EQ(encoder.takeStats().pictures, 1);
    EXPECT_FALSE(format.masteringDisplay.has_value());

    const auto& r = format.hvcC;
    ASSERT_GT(r.size(), 23u);
    EXPECT_EQ(r[0], 1);                  // configurationVersion
    EXPECT_EQ(r[1], 0x02);               // profile space 0, main tier, profile 2 (Main 10)
    EXPECT_EQ(r[2] & 0x20, 0x20);        // compatible with profile 2
    EXPECT_GT(r[12], 0);                 // a level
    EXPECT_EQ(r[16], 0xFD);              // 4:2:0
    EXPECT_EQ(r[17], 0xFA);              // luma 10 bits
    EXPECT_EQ(r[18], 0xFA);              // chroma 10 bits
    EXPECT_EQ(r[21] & 0x03, 3);          // 4-byte lengths
    EXPECT_EQ(r[22], 3);                 // VPS, SPS, PPS
    // The arrays: complete, types 32, 33, 34, one unit each.
    size_t at = 23;
    std::vector<uint8_t> sps;
    for (int type = 32; type <= 34; ++type) {
        ASSERT_LE(at + 5, r.size());
        EXPECT_EQ(r[at], 0x80 | type);
        EXPECT_EQ((r[at + 1] << 8) | r[at + 2], 1);
        size_t length = static_cast<size_t>((r[at + 3] << 8) | r[at + 4]);
        ASSERT_LE(at + 5 + length, r.size());
        EXPECT_EQ((r[at + 5] >> 1) & 0x3F, type);
        if (type == 33) sps.assign(r.begin() + static_cast<long>(at + 5), r.begin() + static_cast<long>(at + 5 + length));
        at += 5 + length;
    }
    EXPECT_EQ(at, r.size());
    SpsInfo info = parseSps(sps.data(), sps.size());
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.bitDepthLuma, 10u);
    EXPECT_EQ(info.levelIdc, r[12]);

    // A cut SPS is refused with an error.
    for (size_t cut : {size_t{2}, size_t{6}, sps.size() / 2})
        EXPECT_THROW(parseSps(sps.data(), cut), EnhanceError);
}

TEST(Encoder, KeyFramesOnlyWhereAskedAndDoneOncePerPicture) {
    auto clip = test::makeClip(320, 180, 12);
    Encoder encoder(config(320, 180));
    std::mutex lock;
    std::vector<std::optional<EncodedPicture>> out;
    std::atomic<int> wrongThread{0};
    const auto caller = std::this_thread::get_id();
    for (size_t i = 0; i < clip.size(); ++i) {
        encoder.encode(clip[i], i == 0 || i == 7, [&](std::optional<EncodedPicture> p) {
            if (std::this_thread::get_id() == caller) ++wrongThread;
            std::lock_guard<std::mutex> guard(lock);
            out.push_back(std::move(p));
        });
    }
    encoder.completeFrames();
    ASSERT_EQ(out.size(), clip.size());
    EXPECT_EQ(wrongThread.load(), 0);
    int64_t bytes = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_TRUE(out[i].has_value()) << i;
        EXPECT_EQ(out[i]->key, i == 0 || i == 7) << i;
        bytes += static_cast<int64_t>(out[i]->data.size());
        // Length-prefixed units that exactly fill the picture.
        size_t at = 0;
        while (at + 4 <= out[i]->data.size()) at += 4 + test::be32(out[i]->data, at);
        EXPECT_EQ(at, out[i]->data.size()) << i;
    }
    EXPECT_EQ(encoder.tick(), 12);
    auto stats = encoder.takeStats();
    EXPECT_EQ(stats.pictures, 12);
    EXPECT_EQ(stats.bytes, bytes);
    EXPECT_EQ(encoder.takeStats().pictures, 0);
    // The format is known from the first picture on, without a prime.
    ASSERT_TRUE(encoder.format().has_value());
    EXPECT_FALSE(encoder.format()->hvcC.empty());
}

TEST(Encoder, BadInputFailsWithErrors) {
    EncoderConfig bad = config(0, 180);
    try {
        Encoder encoder(bad);
        FAIL() << "a 0x180 encoder was made";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "VideoToolbox HEVC encoder 0x180: -1");
    }
    EncoderConfig noRate = config(320, 180);
    noRate.quality = 0;
    noRate.bitrate = 0;
    EXPECT_THROW(Encoder{noRate}, EnhanceError);

    Encoder encoder(config(320, 180));
    try {
        encoder.prime(fourCC("BGRA"));
        FAIL() << "primed for BGRA";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "No buffer to prime the encoder.");
    }
    auto wrong = makePicture(640, 360);
    int calls = 0;
    try {
        encoder.encode(wrong, true, [&](std::optional<EncodedPicture>) { ++calls; });
        FAIL() << "a 640x360 picture was taken";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "VideoToolbox encode: -1");
    }
    // Still usable afterwards.
    auto right = makePicture(320, 180);
    fillPicture(*right, 500, 512, 512);
    std::optional<EncodedPicture> got;
    encoder.encode(right, true, [&](std::optional<EncodedPicture> p) {
        ++calls;
        got = std::move(p);
    });
    encoder.completeFrames();
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(got->key);
    EXPECT_EQ(encoder.tick(), 1);
}

// The encoder keeps the caller's picture (no copy of its own at the call)
// until its thread has read it: a pool picture let go right after `encode`
// must not come back from the pool, to be written afresh, while the encoder
// still needs it. The stream equals that of pictures nobody reuses. By
// default `encode` returns only once the picture was read, so the caller's
// next picture reuses its memory: one pool picture in all. With a queue
// the pool holds the ones waiting, the one the thread reads and the one in
// the caller's hand.
TEST(Encoder, PicturesGoBackToTheirPoolOnlyWhenReadAndTheStreamIsUnchanged) {
    auto clip = test::makeClip(320, 180, 16);
    auto encodeAll = [&](auto&& pictureFor) {
        Encoder encoder(config(320, 180));
        std::mutex lock;
        std::vector<uint8_t> stream;
        for (size_t i = 0; i < clip.size(); ++i)
            encoder.encode(pictureFor(i), i == 0, [&](std::optional<EncodedPicture> p) {
                EXPECT_TRUE(p.has_value());
                if (!p) return;
                std::lock_guard<std::mutex> guard(lock);
                stream.insert(stream.end(), p->data.begin(), p->data.end());
            });
        encoder.completeFrames();
        return stream;
    };
    const std::vector<uint8_t> reference = encodeAll([&](size_t i) { return clip[i]; });
    ASSERT_FALSE(reference.empty());

    for (const char* queue : {"", "2"}) {
        SCOPED_TRACE(std::string("queue ") + (*queue ? queue : "default"));
        if (*queue) setenv("CORVEL_ENHANCE_ENCODER_QUEUE", queue, 1);
        const int waiting = static_cast<int>(Encoder::queueFromEnv());
        std::atomic<int> alive{0}, peak{0};
        struct Counted final : PictureStorage {
            std::unique_ptr<PictureStorage> inner;
            std::atomic<int>& alive;
            Counted(size_t bytes, std::atomic<int>& count) : inner(makeHostStorage(bytes)), alive(count) { ++alive; }
            ~Counted() override { --alive; }
            uint16_t* data() override { return inner->data(); }
            size_t bytes() const override { return inner->bytes(); }
        };
        // Nothing kept free: a picture let go is freed (ASan would see a late
        // read), one taken is new memory unless the pool still had it.
        PicturePool pool(320, 180, 0, [&](size_t bytes) -> std::unique_ptr<PictureStorage> {
            auto storage = std::make_unique<Counted>(bytes, alive);
            peak = std::max(peak.load(), alive.load());
            return storage;
        });
        const std::vector<uint8_t> pooled = encodeAll([&](size_t i) {
            PictureRef picture = pool.take();
            for (int plane = 0; plane < 2; ++plane)
                for (int y = 0; y < picture->planeHeight(plane); ++y)
                    std::copy_n(clip[i]->row(plane, y), picture->width, picture->row(plane, y));
            return picture; // the caller lets go at once
        });
        unsetenv("CORVEL_ENHANCE_ENCODER_QUEUE");
        EXPECT_TRUE(pooled == reference) << "the stream of recycled pool pictures differs";
        EXPECT_EQ(alive.load(), 0);
        EXPECT_LE(peak.load(), waiting == 0 ? 1 : waiting + 2);
        if (*queue) {
            EXPECT_EQ(waiting, 2);
        }
    }
}

// Pictures whose words are not whole codes (floating-point stages keep the
// nearest word): x265 reading the caller's picture in place gives the
// stream of the whole planar copy (rounded to the nearest code) byte for
// byte, zero-latency and segment-tuned, a picture repeated included. After
// `encode` the picture holds the same codes in its usual layout, rounded.
TEST(Encoder, PicturesReadInPlaceGiveTheStreamOfAWholeCopy) {
    const auto clip = test::makeClip(320, 180, 5);
    uint32_t state = 12345;
    auto loose = [&](const Picture& from) {
        PictureRef p = makePicture(320, 180);
        for (int plane = 0; plane < 2; ++plane)
            for (int y = 0; y < p->planeHeight(plane); ++y)
                for (int x = 0; x < 320; ++x) {
                    state = state * 1664525u + 1013904223u;
                    const unsigned word = from.row(plane, y)[x] + ((state >> 24) & 63u);
                    p->row(plane, y)[x] = static_cast<uint16_t>(std::min(word, 65535u));
                }
        // The edges of the rounding: up to 1023 from 65504 on, 0 below 32.
        const uint16_t edges[] = {65535, 65504, 65503, 65472, 32, 31, 0, 96, 95};
        for (size_t i = 0; i < std::size(edges); ++i) {
            p->row(0, 7)[i] = edges[i];
            p->row(1, 5)[i] = edges[i];
        }
        return p;
    };
    const size_t order[] = {0, 1, 2, 2, 3, 4}; // the third picture twice
    for (bool segmentTuned : {false, true}) {
        SCOPED_TRACE(segmentTuned ? "segment-tuned" : "zero latency");
        auto encodeAll = [&](bool wholeCopy, std::vector<PictureRef>* kept) {
            if (wholeCopy) setenv("CORVEL_ENHANCE_ENCODER_COPY", "1", 1);
            EncoderConfig c = config(320, 180);
            c.segmentTuned = segmentTuned;
            Encoder encoder(c);
            unsetenv("CORVEL_ENHANCE_ENCODER_COPY");
            state = 12345;
            std::vector<PictureRef> pictures;
            for (const auto& from : clip) pictures.push_back(loose(*from));
            std::mutex lock;
            std::vector<uint8_t> stream;
            for (size_t i : order)
                encoder.encode(pictures[i], i == 0, [&](std::optional<EncodedPicture> e) {
                    ASSERT_TRUE(e.has_value());
                    std::lock_guard<std::mutex> guard(lock);
                    stream.insert(stream.end(), e->data.begin(), e->data.end());
                });
            if (segmentTuned) encoder.close();
            encoder.completeFrames();
            if (kept) *kept = pictures;
            return stream;
        };
        const std::vector<uint8_t> whole = encodeAll(true, nullptr);
        ASSERT_FALSE(whole.empty());
        std::vector<PictureRef> read;
        EXPECT_TRUE(encodeAll(false, &read) == whole) << "the stream read in place differs";

        state = 12345;
        for (size_t i = 0; i < clip.size(); ++i) {
            const PictureRef before = loose(*clip[i]);
            for (int plane = 0; plane < 2; ++plane)
                for (int y = 0; y < before->planeHeight(plane); ++y)
                    for (int x = 0; x < 320; ++x) {
                        const unsigned code = std::min((before->row(plane, y)[x] + 32u) >> 6, 1023u);
                        ASSERT_EQ(read[i]->row(plane, y)[x], code << 6) << plane << ": " << x << ", " << y;
                    }
        }
    }
}

TEST(Encoder, ReleaseDeliversPicturesInFlight) {
    auto picture = makePicture(320, 180);
    fillPicture(*picture, 400, 500, 600);
    std::atomic<int> delivered{0};
    {
        Encoder encoder(config(320, 180));
        for (int i = 0; i < 8; ++i)
            encoder.encode(picture, i == 0, [&](std::optional<EncodedPicture> p) {
                if (p) ++delivered;
            });
    }
    EXPECT_EQ(delivered.load(), 8);
}

TEST(Encoder, ClosedEncoderDeliversWhatItHeldAndIsNotReused) {
    auto picture = makePicture(320, 180);
    fillPicture(*picture, 400, 500, 600);
    const EncoderConfig same = config(320, 180);
    Encoder encoder(same);
    EXPECT_TRUE(encoder.reusableFor(same));
    EncoderConfig other = same;
    other.width = 640;
    EXPECT_FALSE(encoder.reusableFor(other));
    std::atomic<int> delivered{0};
    for (int i = 0; i < 3; ++i)
        encoder.encode(picture, i == 0, [&](std::optional<EncodedPicture> p) {
            if (p) ++delivered;
        });
    encoder.close();
    EXPECT_EQ(delivered.load(), 3); // drained, nothing lost
    EXPECT_TRUE(encoder.closed());
    // Same configuration, but closed: whoever holds it must make a new one.
    EXPECT_FALSE(encoder.reusableFor(same));
    try {
        encoder.encode(picture, true, [](std::optional<EncodedPicture>) {});
        FAIL() << "a closed encoder took a picture";
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "The encoder is closed.");
    }
    Encoder fresh(same);
    EXPECT_TRUE(fresh.reusableFor(same));
}

TEST(Encoder, AbandonedPicturesAreNotEncodedAndDoneStaysInOrder) {
    auto picture = makePicture(320, 180);
    fillPicture(*picture, 400, 500, 600);
    // Pictures may wait (the default lets none): two here.
    setenv("CORVEL_ENHANCE_ENCODER_QUEUE", "2", 1);
    Encoder encoder(config(320, 180));
    unsetenv("CORVEL_ENHANCE_ENCODER_QUEUE");
    // The first picture's completion holds the encoder thread, so the next
    // ones (as many as may wait) are still queued when the run is abandoned.
    const int queued = 2;
    const int count = 1 + queued;
    std::atomic<bool> open{false};
    std::mutex orderLock;
    std::vector<std::pair<int, bool>> order; // (submission, encoded)
    for (int i = 0; i < count; ++i)
        encoder.encode(picture, i == 0, [&, i](std::optional<EncodedPicture> p) {
            while (i == 0 && !open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard<std::mutex> guard(orderLock);
            order.emplace_back(i, p.has_value());
        });
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        open = true;
    });
    const size_t dropped = encoder.abandonQueued();
    opener.join();
    encoder.completeFrames();
    EXPECT_EQ(dropped, static_cast<size_t>(queued));
    ASSERT_EQ(order.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(order[i].first, i);
        EXPECT_EQ(order[i].second, i == 0) << "picture " << i;
    }
    // Still usable: the next picture is encoded.
    std::atomic<bool> encoded{false};
    encoder.encode(picture, true, [&](std::optional<EncodedPicture> p) { encoded = p.has_value(); });
    encoder.completeFrames();
    EXPECT_TRUE(encoded.load());
    EXPECT_EQ(encoder.takeStats().pictures, 2);
}

TEST(Encoder, SegmentTunedEncodersHoldPicturesUntilClosedAndShareParameterSets) {
    auto picture = makePicture(320, 180);
    fillPicture(*picture, 400, 500, 600);
    EncoderConfig tuned = config(320, 180);
    tuned.segmentTuned = true;
    Encoder first(tuned);
    // The format comes from the parameter sets: nothing is encoded for it.
    const EncoderFormat format = first.prime(kPixelFormatX420);
    EXPECT_EQ(first.tick(), 0);
    EXPECT_EQ(format, first.headerFormat());
    ASSERT_TRUE(hvcC(format).has_value());
    std::mutex lock;
    std::vector<int> order;
    std::vector<bool> keys;
    for (int i = 0; i < 24; ++i)
        first.encode(picture, i == 0, [&, i](std::optional<EncodedPicture> p) {
            std::lock_guard<std::mutex> guard(lock);
            if (!p) return;
            order.push_back(i);
            keys.push_back(p->key);
        });
    first.close(); // the segment's end: every held picture comes back
    ASSERT_EQ(order.size(), 24u);
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_EQ(keys[i], i == 0) << i;
    }
    // The next segment's encoder gives the very same parameter sets, and
    // differs from the zero-latency encoder of the same picture settings.
    Encoder second(tuned, false);
    EXPECT_EQ(second.headerFormat(), first.headerFormat());
    EXPECT_FALSE(second.reusableFor(config(320, 180)));
}

// An encoder per segment means thousands of encoders over a film: opening,
// encoding with and closing one must give its memory back. (Heap figures
// mean nothing under AddressSanitizer's allocator, which keeps its own.)
TEST(Encoder, ClosedEncodersGiveTheirMemoryBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "heap figures are the sanitizer allocator's";
#endif
    auto picture = makePicture(1280, 720);
    fillPicture(*picture, 400, 500, 600);
    EncoderConfig tuned = config(1280, 720);
    tuned.segmentTuned = true;
    auto heapInUse = [] {
        malloc_trim(0);
        const struct mallinfo2 m = mallinfo2();
        return static_cast<long long>(m.uordblks + m.hblkhd);
    };
    auto oneSegment = [&] {
        Encoder encoder(tuned, false);
        std::atomic<int> got{0};
        for (int i = 0; i < 3; ++i)
            encoder.encode(picture, i == 0, [&](std::optional<EncodedPicture> p) {
                if (p) ++got;
            });
        encoder.close();
        EXPECT_EQ(got.load(), 3);
    };
    oneSegment(); // x265's lasting tables are made by the first encoder
    oneSegment();
    const long long before = heapInUse();
    for (int i = 0; i < 6; ++i) oneSegment();
    // Six encoders that each kept 0.2 MB would hold 1.2 MB more.
    EXPECT_LT(heapInUse() - before, 256 * 1024);
}

TEST(Encoder, DiscardedEncoderEncodesNothingItHeld) {
    auto picture = makePicture(320, 180);
    fillPicture(*picture, 400, 500, 600);
    EncoderConfig tuned = config(320, 180);
    tuned.segmentTuned = true;
    Encoder encoder(tuned);
    std::mutex lock;
    std::vector<std::pair<int, bool>> order; // (submission, encoded)
    for (int i = 0; i < 10; ++i)
        encoder.encode(picture, i == 0, [&, i](std::optional<EncodedPicture> p) {
            std::lock_guard<std::mutex> guard(lock);
            order.emplace_back(i, p.has_value());
        });
    encoder.discard();
    // Every picture got its completion, in order; those x265 still held
    // (its lookahead) were not encoded.
    ASSERT_EQ(order.size(), 10u);
    int encoded = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(order[i].first, i);
        encoded += order[i].second;
    }
    EXPECT_LT(encoded, 10);
    EXPECT_EQ(encoder.takeStats().pictures, encoded);
    EXPECT_TRUE(encoder.closed());
    EXPECT_THROW(encoder.encode(picture, true, [](std::optional<EncodedPicture>) {}), EnhanceError);
    encoder.completeFrames(); // returns: nothing is owed
}

TEST(Encoder, PresetFromEnvironment) {
    setenv("CORVEL_ENHANCE_X265_PRESET", "superfast", 1);
    EXPECT_EQ(Encoder(config(64, 64)).preset(), "superfast");
    setenv("CORVEL_ENHANCE_X265_PRESET", "warpspeed", 1);
    EXPECT_EQ(Encoder(config(64, 64)).preset(), kDefaultX265Preset);
    unsetenv("CORVEL_ENHANCE_X265_PRESET");
    EXPECT_EQ(Encoder(config(64, 64)).preset(), kDefaultX265Preset);
}

int64_t encodedBytes(const EncoderConfig& c, const std::vector<PictureRef>& clip) {
    Encoder encoder(c);
    std::atomic<int64_t> bytes{0};
    for (size_t i = 0; i < clip.size(); ++i)
        encoder.encode(clip[i], i % 48 == 0, [&](std::optional<EncodedPicture> p) {
            if (p) bytes += static_cast<int64_t>(p->data.size());
        });
    encoder.completeFrames();
    return bytes.load();
}

TEST(Encoder, BitRateModeHitsItsAverage) {
    // 10 seconds at 24 frames/s with moving noise, so the rate is reachable.
    auto clip = test::makeClip(320, 180, 240, "testsrc2", "noise=alls=30:allf=t");
    EncoderConfig c = config(320, 180);
    c.quality = 0;
    c.bitrate = 3'000'000;
    c.peakBitrate = 3'600'000;
    double rate = double(encodedBytes(c, clip)) * 8 / 10.0;
    std::printf("bit-rate mode: %.0f bit/s for 3000000\n", rate);
    EXPECT_NEAR(rate, 3'000'000, 3'000'000 * 0.15);
}

TEST(Encoder, HigherQualityGivesMoreBytes) {
    auto clip = test::makeClip(320, 180, 24);
    EncoderConfig low = config(320, 180);
    low.quality = 0.5;
    EncoderConfig high = low;
    high.quality = 0.9;
    EXPECT_GT(encodedBytes(high, clip), encodedBytes(low, clip) * 3 / 2);
}

// Segments of one track made by several encoders: each later encoder must
// give the first one's parameter sets, byte for byte.
TEST(Encoder, ContinuingEncodersMustGiveTheTracksParameterSets) {
    EncoderConfig tuned = config(320, 180);
    tuned.segmentTuned = true;
    Encoder first(tuned);
    const auto record = hvcC(first.headerFormat());
    ASSERT_TRUE(record.has_value());
    auto next = Encoder::continuing(tuned, *record);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(hvcC(next->headerFormat()), record);

    // Another size, or other colour code points: other parameter sets.
    EncoderConfig wider = tuned;
    wider.width = 352;
    EncoderConfig otherColour = tuned;
    otherColour.color = {color::kPrimaries2020, color::kTransferPQ, color::kMatrix2020};
    for (const EncoderConfig& other : {wider, otherColour}) {
        try {
            Encoder::continuing(other, *record);
            ADD_FAILURE() << "a " << other.width << "x" << other.height << " encoder was taken";
        } catch (const EnhanceError& e) {
            EXPECT_EQ(e.description(), "The encoder's parameter sets changed.");
        }
    }
}

// A segment's encoder drains on its own thread while the next segment is
// fed to another: `finish` returns at once, `close` waits, and a discard
// cuts a drain short with every completion still made once, in order.
TEST(Encoder, FinishDrainsInTheBackground) {
    auto picture = makePicture(320, 180);
    fillPicture(*picture, 400, 500, 600);
    EncoderConfig tuned = config(320, 180);
    tuned.segmentTuned = true;
    for (const bool cutShort : {false, true}) {
        SCOPED_TRACE(cutShort ? "discarded while draining" : "drained");
        Encoder encoder(tuned, false);
        std::mutex lock;
        std::vector<std::pair<int, bool>> order; // (submission, encoded)
        for (int i = 0; i < 24; ++i)
            encoder.encode(picture, i == 0, [&, i](std::optional<EncodedPicture> p) {
                std::lock_guard<std::mutex> guard(lock);
                order.emplace_back(i, p.has_value());
            });
        encoder.finish();
        EXPECT_TRUE(encoder.closed());
        EXPECT_THROW(encoder.encode(picture, false, [](std::optional<EncodedPicture>) {}), EnhanceError);
        if (cutShort) encoder.discard();
        encoder.close();
        std::lock_guard<std::mutex> guard(lock);
        ASSERT_EQ(order.size(), 24u);
        int encoded = 0;
        for (int i = 0; i < 24; ++i) {
            EXPECT_EQ(order[i].first, i);
            encoded += order[i].second;
        }
        if (!cutShort) {
            EXPECT_EQ(encoded, 24);
        }
        EXPECT_EQ(encoder.takeStats().pictures, encoded);
    }
}

} // namespace
} // namespace corvel
