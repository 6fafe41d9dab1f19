#pragma once

#include "compute/ComputeQueue.h"
#include "processing/DevicePicture.h"
#include "processing/PictureScaler.h"
#include "processing/TwoXEngine.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvel {

// The side of each of n tiles over a length L with overlap v (pixels):
// ceil(L / n), plus 2v when there are two or more, raised to a multiple of
// 16. None when that exceeds L (the split is impossible).
std::optional<int> tileSide(int length, int parts, int overlap);

// How a picture is cut for a 2x engine of the given limits.
struct TilePlan {
    int columns = 0;
    int rows = 0;
    int tileWidth = 0;
    int tileHeight = 0;
    std::vector<Tile> tiles; // row by row, columns inside rows
};

// Columns and rows (1 when one tile fits, else the fewest of 2 ... 63 whose
// tiles fit), more rows while a tile holds more than maxPixels, then each
// tile's core (its even share) and origin (centred on the core, inside the
// picture, even). Throws EnhanceError "No tile width fits.", "No tile
// height fits.", "Tile C,R does not cover its core.".
TilePlan planTiles(int width, int height, int overlap, int maxDimension, int64_t maxPixels);

// Doubles pictures larger than a 2x engine accepts by cutting them into
// overlapping tiles: each tile is cut out and quantised to 8 bits, doubled
// by the engine, and only its core is written back as 10-bit codes, so
// every output pixel comes from exactly one tile and tile borders, where
// the engine lacks context, are dropped. Only the developer bench builds it.
//
// Not thread-safe: one thread drives it. Every picture waits for its work;
// in pipelined mode nothing is counted.
class VTTiledScaler final : public BenchScaler {
public:
    // Throws EnhanceError with the construction texts (not 2x, engine not
    // supported, no limits, no tile fits, no 2x factor or 420v format for
    // the tile size, buffers that cannot be made); the engine's own errors
    // pass on unchanged. `engine` empty: the shipped TwoXEngine.
    VTTiledScaler(int inWidth, int inHeight, int outWidth, int outHeight, int overlap,
                  std::shared_ptr<TwoXEngine> engine = {},
                  std::shared_ptr<compute::ComputeContext> context = {});

    // "VT low-latency 2x, CxR tiles of WxH, overlap V"
    std::string description() const override { return description_; }
    int inWidth() const { return inWidth_; }
    int inHeight() const { return inHeight_; }
    int outWidth() const { return outWidth_; }
    int outHeight() const { return outHeight_; }
    const TilePlan& plan() const { return plan_; }

    PictureRef scale(const PictureRef& picture) override;
    void drain() override;
    ScaleTimes takeBoth() override { return tally_.take(); }
    bool pipelined() const override { return pipelined_; }
    void setPipelined(bool on) override { pipelined_ = on; }

private:
    std::string description_;
    int inWidth_;
    int inHeight_;
    int outWidth_;
    int outHeight_;
    TilePlan plan_;
    std::shared_ptr<TwoXEngine> engine_;
    std::shared_ptr<compute::ComputeContext> context_;
    std::unique_ptr<compute::ComputeQueue> queue_;
    compute::Kernel cropLuma_;
    compute::Kernel cropChroma_;
    compute::Kernel placeLuma_;
    compute::Kernel placeChroma_;
    std::unique_ptr<PicturePool> pool_;
    PictureBinder binder_;
    std::vector<Frame8> sources_;      // one tileWidth x tileHeight frame per tile
    std::vector<Frame8> destinations_; // twice that, per tile
    int64_t frameIndex_ = 0;           // pictures scaled, for the engine's presentation order

    ScaleTally tally_; // device + engine time, and elapsed time, of finished pictures
    bool pipelined_ = false;
};

} // namespace corvel
