#include "processing/TiledScaler.h"

#include "common/EnhanceError.h"
#include "processing/KernelSources.h"

#include <algorithm>
#include <chrono>

namespace corvel {

namespace {

constexpr size_t kGroup = 16;
constexpr int kMostParts = 63;

// Fewest parts whose tile side fits: one when a single tile is at most
// `largest`, else the first of 2 ... 63 at most min(length, largest).
std::optional<int> partsFor(int length, int overlap, int largest) {
    const auto one = tileSide(length, 1, overlap);
    if (one && *one <= largest) return 1;
    for (int n = 2; n <= kMostParts; ++n) {
        const auto side = tileSide(length, n, overlap);
        if (side && *side <= std::min(length, largest)) return n;
    }
    return std::nullopt;
}

int evenDown(int value) { return value & ~1; }

std::string eventError(cl_int status) {
    return "the device reported status " + std::to_string(status) + ".";
}

} // namespace

std::optional<int> tileSide(int length, int parts, int overlap) {
    if (length < 1 || parts < 1) return std::nullopt;
    int64_t side = (int64_t(length) + parts - 1) / parts + (parts >= 2 ? 2 * int64_t(overlap) : 0);
    side = (side + 15) / 16 * 16;
    if (side > length) return std::nullopt;
    return static_cast<int>(side);
}

TilePlan planTiles(int width, int height, int overlap, int maxDimension, int64_t maxPixels) {
    TilePlan plan;
    const auto columns = partsFor(width, overlap, maxDimension);
    if (!columns) throw EnhanceError("No tile width fits.");
    const auto rows = partsFor(height, overlap, maxDimension);
    if (!rows) throw EnhanceError("No tile height fits.");
    plan.columns = *columns;
    plan.rows = *rows;
    plan.tileWidth = *tileSide(width, plan.columns, overlap);
    std::optional<int> tileHeight = tileSide(height, plan.rows, overlap);
    // More rows while a tile holds too many pixels. An impossible split
    // counts as infinitely large; past 63 rows nothing fits (without this
    // bound a short picture with a wide overlap would add rows forever).
    while (!tileHeight || int64_t(plan.tileWidth) * *tileHeight > maxPixels) {
        if (plan.rows >= kMostParts) throw EnhanceError("No tile height fits.");
        plan.rows += 1;
        tileHeight = tileSide(height, plan.rows, overlap);
    }
    plan.tileHeight = *tileHeight;

    const int tw = plan.tileWidth;
    const int th = plan.tileHeight;
    for (int r = 0; r < plan.rows; ++r) {
        for (int c = 0; c < plan.columns; ++c) {
            const int x0 = int(int64_t(width) * c / plan.columns);
            const int x1 = int(int64_t(width) * (c + 1) / plan.columns);
            const int y0 = int(int64_t(height) * r / plan.rows);
            const int y1 = int(int64_t(height) * (r + 1) / plan.rows);
            Tile tile{};
            tile.coreMin = {{evenDown(x0), evenDown(y0)}};
            tile.coreMax = {{evenDown(x1), evenDown(y1)}};
            int ox = std::min((tile.coreMin.s[0] + tile.coreMax.s[0]) / 2 - tw / 2, width - tw);
            int oy = std::min((tile.coreMin.s[1] + tile.coreMax.s[1]) / 2 - th / 2, height - th);
            ox = evenDown(std::max(ox, 0));
            oy = evenDown(std::max(oy, 0));
            tile.origin = {{ox, oy}};
            if (ox > tile.coreMin.s[0] || ox + tw < tile.coreMax.s[0] || oy > tile.coreMin.s[1] ||
                oy + th < tile.coreMax.s[1])
                throw EnhanceError("Tile " + std::to_string(c) + "," + std::to_string(r) +
                                   " does not cover its core.");
            plan.tiles.push_back(tile);
        }
    }
    return plan;
}

VTTiledScaler::VTTiledScaler(int inWidth, int inHeight, int outWidth, int outHeight, int overlap,
                             std::shared_ptr<TwoXEngine> engine,
                             std::shared_ptr<compute::ComputeContext> context)
    : inWidth_(inWidth),
      inHeight_(inHeight),
      outWidth_(outWidth),
      outHeight_(outHeight),
      engine_(std::move(engine)),
      binder_(nullptr) {
    // 1. The engine doubles, nothing else.
    if (outWidth != 2 * inWidth || outHeight != 2 * inHeight)
        throw EnhanceError("The low-latency scaler is benched at exactly 2x.");
    // 2. The engine itself (its network's files).
    if (!engine_) engine_ = std::make_shared<TwoXEngine>();
    if (!engine_->supported()) throw EnhanceError("VTLowLatencySuperResolutionScaler is not supported here.");
    // 3. Its limits at factor 2.
    const TwoXEngine::Limits& limits = engine_->limits();
    if (limits.maxDimension < 1 || limits.maxPixels < 1) throw EnhanceError("No 2x limits reported.");
    // 4, 5, 8. Columns, rows and the tiles.
    plan_ = planTiles(inWidth, inHeight, overlap, limits.maxDimension, limits.maxPixels);
    const int tw = plan_.tileWidth;
    const int th = plan_.tileHeight;
    // 6. The tile size at factor 2 and in 8-bit 4:2:0.
    if (std::find(limits.factors.begin(), limits.factors.end(), 2.0) == limits.factors.end())
        throw EnhanceError("No 2x factor for " + sizeText(tw, th) + " tiles.");
    if (std::find(limits.formats.begin(), limits.formats.end(), "420v") == limits.formats.end())
        throw EnhanceError("The configuration does not offer 420v.");
    // 7. Device, kernels, output pool.
    context_ = context ? std::move(context) : compute::ComputeContext::shared();
    binder_ = PictureBinder(context_);
    queue_ = std::make_unique<compute::ComputeQueue>(context_);
    cl_program program = context_->program("tiled", {kernels::common, kernels::tiled});
    cropLuma_ = context_->kernel(program, "cropLuma");
    cropChroma_ = context_->kernel(program, "cropChroma");
    placeLuma_ = context_->kernel(program, "placeLuma");
    placeChroma_ = context_->kernel(program, "placeChroma");
    if (!Picture::usableSize(outWidth, outHeight))
        throw EnhanceError("No " + sizeText(outWidth, outHeight) + " pixel buffer pool.");
    pool_ = std::make_unique<PicturePool>(outWidth, outHeight, 4, deviceStorage(context_));
    // 9. A source and a destination frame per tile.
    for (size_t i = 0; i < plan_.tiles.size(); ++i) {
        sources_.push_back(Frame8::make(*context_, tw, th));
        destinations_.push_back(Frame8::make(*context_, 2 * tw, 2 * th));
    }
    // 10. The engine's session for the tile size (its errors pass on).
    engine_->start(tw, th);

    description_ = "VT low-latency 2x, " + std::to_string(plan_.columns) + "x" +
                   std::to_string(plan_.rows) + " tiles of " + sizeText(tw, th) + ", overlap " +
                   std::to_string(overlap);
}

PictureRef VTTiledScaler::scale(const PictureRef& picture) {
    requireSize(picture, inWidth_, inHeight_, "The low-latency scaler");
    PictureRef out = takeOutput(*pool_, "No output pixel buffer.");
    out->color = picture->color;
    const DevicePlanes in = binder_.input(*picture, *queue_);
    const DevicePlanes to = PictureBinder::output(*out);
    const auto started = std::chrono::steady_clock::now();
    frameIndex_ += 1;

    const size_t tw = size_t(plan_.tileWidth);
    const size_t th = size_t(plan_.tileHeight);
    double deviceMs = 0;
    // Every tile cut out first, so the engine runs on tiles back to back.
    compute::Event firstCrop;
    compute::Event lastCrop;
    for (size_t i = 0; i < plan_.tiles.size(); ++i) {
        const Tile& tile = plan_.tiles[i];
        const Frame8& source = sources_[i];
        compute::setArgs(cropLuma_.get(), in.mem, in.lumaOffset, in.stride, tile, source.mem.get(),
                         cl_int(source.pitch), cl_int(tw), cl_int(th));
        compute::Event luma = queue_->run(cropLuma_.get(), tw, th, kGroup, kGroup);
        compute::setArgs(cropChroma_.get(), in.mem, in.chromaOffset, in.stride, tile, source.mem.get(),
                         cl_int(source.chroma), cl_int(source.pitch), cl_int(tw / 2), cl_int(th / 2));
        lastCrop = queue_->run(cropChroma_.get(), tw / 2, th / 2, kGroup, kGroup);
        if (!firstCrop) firstCrop = std::move(luma);
    }
    cl_int failed = compute::ComputeQueue::wait(lastCrop.get());
    if (failed != CL_SUCCESS)
        throw EnhanceError("The low-latency scaler's GPU work failed: " + eventError(failed));
    deviceMs += compute::ComputeQueue::spanMs(firstCrop.get(), lastCrop.get());

    double engineMs = 0;
    for (size_t i = 0; i < plan_.tiles.size(); ++i) engineMs += engine_->scale(sources_[i], destinations_[i]);

    compute::Event firstPlace;
    compute::Event lastPlace;
    for (size_t i = 0; i < plan_.tiles.size(); ++i) {
        const Tile& tile = plan_.tiles[i];
        const Frame8& destination = destinations_[i];
        const size_t coreW = size_t(tile.coreMax.s[0] - tile.coreMin.s[0]);
        const size_t coreH = size_t(tile.coreMax.s[1] - tile.coreMin.s[1]);
        compute::setArgs(placeLuma_.get(), destination.mem.get(), cl_int(destination.pitch), tile, to.mem,
                         to.lumaOffset, to.stride);
        compute::Event luma = queue_->run(placeLuma_.get(), 2 * coreW, 2 * coreH, kGroup, kGroup);
        compute::setArgs(placeChroma_.get(), destination.mem.get(), cl_int(destination.chroma),
                         cl_int(destination.pitch), tile, to.mem, to.chromaOffset, to.stride);
        lastPlace = queue_->run(placeChroma_.get(), coreW, coreH, kGroup, kGroup);
        if (!firstPlace) firstPlace = std::move(luma);
    }
    queue_->flush();
    if (pipelined_) {
        if (!context_->zeroCopy()) PictureBinder::written(*out, *queue_);
        return out;
    }
    failed = compute::ComputeQueue::wait(lastPlace.get());
    const double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    if (failed != CL_SUCCESS)
        throw EnhanceError("The low-latency scaler's GPU work failed: " + eventError(failed));
    deviceMs += compute::ComputeQueue::spanMs(firstPlace.get(), lastPlace.get());
    tally_.add(deviceMs + engineMs, wallMs);
    PictureBinder::written(*out, *queue_);
    return out;
}

void VTTiledScaler::drain() {
    if (queue_) queue_->finish();
}

} // namespace corvel
