// The tiled 2x scaler: tile geometry, the 8/10-bit crop and place kernels,
// and tiles that give the same picture as one run of the engine.
#include "common/EnhanceError.h"
#include "processing/DevicePicture.h"
#include "processing/KernelReference.h"
#include "processing/ShaderScaler.h"
#include "processing/TiledScaler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

using namespace corvel;

namespace {

// A 2x engine that repeats each sample over 2x2 on the host: with it, every
// output sample must be exactly the 8-bit round trip of one input sample.
class NearestTwice final : public PictureScaler {
public:
    NearestTwice(int w, int h) : w_(w), h_(h) {}
    const ScaleMethod& method() const override { return method_; }
    int inWidth() const override { return w_; }
    int inHeight() const override { return h_; }
    int outWidth() const override { return 2 * w_; }
    int outHeight() const override { return 2 * h_; }
    std::optional<std::string> license() const override { return std::nullopt; }
    PictureRef scale(const PictureRef& in) override {
        PictureRef out = makePicture(2 * w_, 2 * h_);
        for (int y = 0; y < 2 * h_; ++y)
            for (int x = 0; x < 2 * w_; ++x) out->row(0, y)[x] = in->row(0, y / 2)[x / 2];
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x) {
                out->row(1, y)[2 * x] = in->row(1, y / 2)[2 * (x / 2)];
                out->row(1, y)[2 * x + 1] = in->row(1, y / 2)[2 * (x / 2) + 1];
            }
        return out;
    }
    double takeMs(bool) override { return 0; }

private:
    ScaleMethod method_{ScaleMethod::Kind::Bilinear, ""};
    int w_, h_;
};

std::shared_ptr<TwoXEngine> engine(int maxDimension, int64_t maxPixels, TwoXEngine::ScalerFactory factory,
                                   std::vector<double> factors = {2.0},
                                   std::vector<std::string> formats = {"420v"}) {
    return std::make_shared<TwoXEngine>("test", TwoXEngine::Limits{maxDimension, maxPixels, factors, formats},
                                        std::move(factory));
}

TwoXEngine::ScalerFactory nearest() {
    return [](int w, int h) { return std::make_unique<NearestTwice>(w, h); };
}

PictureRef devicePicture(int w, int h, unsigned seed, int low = 64, int high = 940) {
    PicturePool pool(w, h, 0, deviceStorage(compute::ComputeContext::shared()));
    PictureRef p = pool.take();
    reference::fillRandom(*p, seed, low, high);
    return p;
}

int code(const Picture& p, int plane, int x, int y) { return p.row(plane, y)[x] >> 6; }

// Every pixel of the picture in exactly one core, each core inside its tile
// and on even pixels.
void expectPartition(const TilePlan& plan, int width, int height) {
    std::vector<int> owners(size_t(width) * height, 0);
    for (const Tile& t : plan.tiles) {
        for (int v : {t.origin.s[0], t.origin.s[1], t.coreMin.s[0], t.coreMin.s[1], t.coreMax.s[0],
                      t.coreMax.s[1]})
            EXPECT_EQ(v % 2, 0);
        EXPECT_LE(t.origin.s[0], t.coreMin.s[0]);
        EXPECT_LE(t.origin.s[1], t.coreMin.s[1]);
        EXPECT_GE(t.origin.s[0] + plan.tileWidth, t.coreMax.s[0]);
        EXPECT_GE(t.origin.s[1] + plan.tileHeight, t.coreMax.s[1]);
        EXPECT_LE(t.origin.s[0] + plan.tileWidth, width);
        EXPECT_LE(t.origin.s[1] + plan.tileHeight, height);
        for (int y = t.coreMin.s[1]; y < t.coreMax.s[1]; ++y)
            for (int x = t.coreMin.s[0]; x < t.coreMax.s[0]; ++x) owners[size_t(y) * width + x] += 1;
    }
    for (size_t i = 0; i < owners.size(); ++i) ASSERT_EQ(owners[i], 1) << "pixel " << i;
}

std::string failure(std::function<void()> f) {
    try {
        f();
    } catch (const EnhanceError& e) {
        return e.description();
    }
    return "(nothing thrown)";
}

} // namespace

TEST(TileGeometry, SidesColumnsRowsAndCores) {
    EXPECT_EQ(tileSide(1088, 1, 16), 1088);
    EXPECT_EQ(tileSide(1080, 1, 16), std::nullopt); // 1088 > 1080: never one tile
    EXPECT_EQ(tileSide(1080, 2, 16), 576);          // 540 + 32 = 572, raised to 576
    EXPECT_EQ(tileSide(100, 3, 0), 48);             // 34 raised to 48
    EXPECT_EQ(tileSide(40, 2, 16), std::nullopt);   // 52 -> 64 > 40

    // Multiples of 16 within the limits: one tile, its core the picture.
    TilePlan one = planTiles(1920, 1088, 16, 4096, int64_t(1) << 24);
    EXPECT_EQ(one.columns, 1);
    EXPECT_EQ(one.rows, 1);
    ASSERT_EQ(one.tiles.size(), 1u);
    EXPECT_EQ(one.tiles[0].origin.s[0], 0);
    EXPECT_EQ(one.tiles[0].origin.s[1], 0);
    EXPECT_EQ(one.tiles[0].coreMax.s[0], 1920);
    EXPECT_EQ(one.tiles[0].coreMax.s[1], 1088);

    // 1080 rows: at least two, of ceil(1080 / 2) + 2 x 16 raised to 576.
    TilePlan tall = planTiles(1920, 1080, 16, 4096, int64_t(1) << 24);
    EXPECT_EQ(tall.columns, 1);
    EXPECT_EQ(tall.rows, 2);
    EXPECT_EQ(tall.tileHeight, 576);
    expectPartition(tall, 1920, 1080);

    // The shipped engine's limits: 960x540 in 2 x 3 tiles of 512x224 (two
    // rows would give 512x304, over the pixel count), 1080p in 4 x 5.
    const auto limits = TwoXEngine::defaultLimits();
    TilePlan half = planTiles(960, 540, 16, limits.maxDimension, limits.maxPixels);
    EXPECT_EQ(half.columns, 2);
    EXPECT_EQ(half.rows, 3);
    EXPECT_EQ(half.tileWidth, 512);
    EXPECT_EQ(half.tileHeight, 224);
    expectPartition(half, 960, 540);
    TilePlan full = planTiles(1920, 1080, 16, limits.maxDimension, limits.maxPixels);
    EXPECT_EQ(full.columns * 100 + full.rows, 405);
    EXPECT_EQ(full.tileWidth * 1000 + full.tileHeight, 512256);
    expectPartition(full, 1920, 1080);

    // Odd shares (333, 666) move to even pixels; origins centre on the core
    // and stay inside the picture.
    TilePlan odd = planTiles(1000, 64, 8, 400, int64_t(1) << 24);
    ASSERT_EQ(odd.columns, 3);
    EXPECT_EQ(odd.tileWidth, 352);
    EXPECT_EQ(odd.tiles[0].coreMax.s[0], 332);
    EXPECT_EQ(odd.tiles[1].coreMin.s[0], 332);
    EXPECT_EQ(odd.tiles[1].coreMax.s[0], 666);
    EXPECT_EQ(odd.tiles[0].origin.s[0], 0);   // -10, raised to 0
    EXPECT_EQ(odd.tiles[1].origin.s[0], 322); // 499 - 176 = 323, made even
    EXPECT_EQ(odd.tiles[2].origin.s[0], 648); // kept inside: 1000 - 352
    expectPartition(odd, 1000, 64);
}

TEST(TileGeometry, LayoutsThatCannotBeMade) {
    EXPECT_EQ(failure([] { planTiles(40, 64, 16, 512, 1 << 20); }), "No tile width fits.");
    EXPECT_EQ(failure([] { planTiles(64, 36, 16, 512, 1 << 20); }), "No tile height fits.");
    // Rows are added for the pixel count until no split is possible: the
    // search ends instead of adding rows forever.
    EXPECT_EQ(failure([] { planTiles(64, 64, 16, 64, 64 * 32); }), "No tile height fits.");
    // A negative overlap makes tiles shorter than their shares.
    EXPECT_EQ(failure([] { planTiles(1000, 64, -200, 400, 1 << 20); }), "Tile 0,0 does not cover its core.");
}

TEST(TiledScaler, EverySampleIsTheEightBitRoundTripOfItsSource) {
    VTTiledScaler scaler(96, 64, 192, 128, 8, engine(48, 48 * 32, nearest()));
    EXPECT_EQ(scaler.description(), "VT low-latency 2x, 3x4 tiles of 48x32, overlap 8");
    PictureRef in = devicePicture(96, 64, 5, 0, 1023);
    // The three codes the conversions are known by, in luma and chroma.
    const int known[3] = {64, 940, 1023};
    for (int i = 0; i < 3; ++i) {
        in->row(0, 10)[20 + i] = uint16_t(known[i] << 6);
        in->row(1, 7)[2 * (5 + i)] = uint16_t(known[i] << 6);
    }
    in->storage().recycled();
    PictureRef out = scaler.scale(in);
    EXPECT_EQ(code(*out, 0, 40, 20), 64);
    EXPECT_EQ(code(*out, 0, 43, 21), 940);
    EXPECT_EQ(code(*out, 0, 45, 20), 1020);
    EXPECT_EQ(code(*out, 1, 2 * 10, 14), 64);
    EXPECT_EQ(code(*out, 1, 2 * 13, 15), 940);
    EXPECT_EQ(code(*out, 1, 2 * 14, 14), 1020);

    // A 10-bit code k comes back as 4 x nearest(k / 4), halves up, at most 1020.
    auto roundTrip = [](int k) { return std::min(4 * ((k + 2) / 4), 1020); };
    int wrong = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 192; ++x) {
            wrong += code(*out, 0, x, y) != roundTrip(code(*in, 0, x / 2, y / 2));
            if (x < 96 && y < 64)
                for (int c = 0; c < 2; ++c)
                    wrong += code(*out, 1, 2 * x + c, y) != roundTrip(code(*in, 1, 2 * (x / 2) + c, y / 2));
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(out->color, in->color);

    const ScaleTimes times = scaler.takeBoth();
    EXPECT_GT(times.gpu, 0.0);
    EXPECT_GE(times.wall, times.gpu * 0.5);
    EXPECT_EQ(scaler.takeBoth().wall, 0.0);
    scaler.setPipelined(true);
    scaler.scale(in);
    scaler.drain();
    EXPECT_EQ(scaler.takeBoth().wall, 0.0);
}

TEST(TiledScaler, ConstructionAndPictureFailures) {
    EXPECT_EQ(failure([] { VTTiledScaler(96, 64, 190, 128, 8, engine(48, 1536, nearest())); }),
              "The low-latency scaler is benched at exactly 2x.");
    EXPECT_EQ(failure([] {
                  VTTiledScaler(96, 64, 192, 128, 8,
                                std::make_shared<TwoXEngine>("no-such-network"));
              }),
              "VTLowLatencySuperResolutionScaler is not supported here.");
    EXPECT_EQ(failure([] { VTTiledScaler(96, 64, 192, 128, 8, engine(0, 1536, nearest())); }),
              "No 2x limits reported.");
    EXPECT_EQ(failure([] { VTTiledScaler(96, 64, 192, 128, 8, engine(48, 1536, nearest(), {1.5})); }),
              "No 2x factor for 48x32 tiles.");
    EXPECT_EQ(failure([] { VTTiledScaler(96, 64, 192, 128, 8, engine(48, 1536, nearest(), {2.0}, {"x420"})); }),
              "The configuration does not offer 420v.");

    VTTiledScaler scaler(96, 64, 192, 128, 8, engine(48, 1536, nearest()));
    EXPECT_EQ(failure([&] { scaler.scale(devicePicture(64, 64, 1)); }),
              "The low-latency scaler takes 96x64 pictures and was given 64x64.");
    EXPECT_EQ(scaler.takeBoth().wall, 0.0); // nothing counted
    EXPECT_EQ(scaler.scale(devicePicture(96, 64, 2))->width, 192);
}

// With an overlap wider than the engine's reach, the tiles' cores put
// together are the engine's own result on the whole picture.
TEST(TiledScaler, TilesEqualOneRunOfTheEngine) {
    auto bicubic = [](int w, int h) {
        return std::make_unique<ShaderScaler>(ScaleMethod{ScaleMethod::Kind::Bicubic, ""}, w, h, 2 * w, 2 * h);
    };
    VTTiledScaler tiled(96, 64, 192, 128, 8, engine(48, 48 * 32, bicubic));
    VTTiledScaler whole(96, 64, 192, 128, 8, engine(4096, 1 << 24, bicubic));
    ASSERT_EQ(tiled.plan().tiles.size(), 12u);
    ASSERT_EQ(whole.plan().tiles.size(), 1u);
    PictureRef in = devicePicture(96, 64, 9);
    PictureRef a = tiled.scale(in);
    PictureRef b = whole.scale(in);
    int differing = 0, worst = 0;
    for (int plane = 0; plane < 2; ++plane)
        for (int y = 0; y < a->planeHeight(plane); ++y)
            for (int x = 0; x < 192; ++x) {
                const int d = std::abs(code(*a, plane, x, y) - code(*b, plane, x, y));
                differing += d != 0;
                worst = std::max(worst, d);
            }
    EXPECT_EQ(differing, 0) << "worst " << worst;
}

// The shipped engine (the AI upscaler's student network) tiled as it is in
// the bench: the same picture as one run, within one 8-bit step.
TEST(TiledScaler, ShippedEngineTilesEqualOneRun) {
    auto network = [](int maxDimension, int64_t maxPixels) {
        return std::make_shared<TwoXEngine>(TwoXEngine::kNetwork,
                                            TwoXEngine::Limits{maxDimension, maxPixels, {2.0}, {"420v"}});
    };
    VTTiledScaler tiled(128, 96, 256, 192, 16, network(64, 64 * 64));
    VTTiledScaler whole(128, 96, 256, 192, 16, network(4096, 1 << 24));
    ASSERT_GT(tiled.plan().tiles.size(), 4u);
    PictureRef in = devicePicture(128, 96, 3);
    PictureRef a = tiled.scale(in);
    PictureRef b = whole.scale(in);
    int worst = 0;
    for (int plane = 0; plane < 2; ++plane)
        for (int y = 0; y < a->planeHeight(plane); ++y)
            for (int x = 0; x < 256; ++x)
                worst = std::max(worst, std::abs(code(*a, plane, x, y) - code(*b, plane, x, y)));
    EXPECT_LE(worst, 4);
}
