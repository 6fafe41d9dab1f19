#pragma once

#include "compute/ComputeQueue.h"
#include "processing/DevicePicture.h"
#include "processing/NetworkRunner.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvel {

// Debanding, the first picture stage: a new picture of the same size in
// which flat, banded areas are smoothed while edges and texture stay. Where
// to smooth and how widely comes from a small network's map (weights from
// "truehdr-debander.json" / ".bin", see DebandWeights) run at a fixed small
// size, nw x nh; without the weights a fixed filter is used.
//
// Not thread-safe: the stage thread calls apply and reads and zeroes the
// statistics. apply waits for its device work.
class Deband {
public:
    // Throws EnhanceError: "No Metal device.", a kernel's build log, or
    // "No WxH debanding textures." / "No WxH debanding pixel buffer pool."
    // for a size no picture can have. A network that cannot be loaded is
    // logged ("deband: " + why + "; the fixed filter instead") and the fixed
    // filter is used. `directory` is where the weight files are (none: no
    // shader directory).
    Deband(int width, int height, const std::optional<std::string>& directory,
           std::shared_ptr<compute::ComputeContext> device = {});
    ~Deband();

    // The network's working size for a picture: the shorter side 544, the
    // longer one the aspect ratio x 540 truncated and rounded up to 32.
    static std::pair<int, int> networkSize(int width, int height);

    // The debanded copy of a width x height 10-bit 4:2:0 picture (the input
    // is not changed; the output carries its colour description). BT.601
    // coefficients when the picture's matrix is BT.601 or SMPTE 240M, BT.709
    // otherwise. Throws EnhanceError.
    PictureRef apply(const PictureRef& picture);

    // The map-driven filter with a map given by the caller instead of the
    // network's: `classes` holds nw x nh classes 0..7, row by row (the map
    // it leaves is what mapValues reads). Works with or without the network;
    // measures what the filter's arithmetic can reach with the best map one
    // can build from a known original. Throws EnhanceError (also for a map
    // of another size or a class above 7).
    PictureRef applyWithMap(const PictureRef& picture, const std::vector<uint8_t>& classes);

    int width() const { return width_; }
    int height() const { return height_; }
    int mapWidth() const { return nw_; }
    int mapHeight() const { return nh_; }
    bool hasNetwork() const { return runner_ != nullptr; }
    // How the map is made, as the logs name it: "TrueHDR's network's map, in
    // Metal" or "the fixed filter".
    std::string wayText() const;

    // The map of the last picture (network pixels, nw x nh half floats, row
    // by row; all 0 before any picture or without the network).
    std::vector<uint16_t> mapValues();

    double wallMs = 0; // wall time spent in apply, milliseconds
    int calls = 0;     // pictures counted in wallMs

private:
    // apply and applyWithMap: the network's map when `classes` is null.
    PictureRef run(const PictureRef& picture, const std::vector<uint8_t>* classes);

    int width_;
    int height_;
    int nw_;
    int nh_;
    std::shared_ptr<compute::ComputeContext> context_;
    std::unique_ptr<compute::ComputeQueue> queue_;
    compute::Kernel toRgb_;
    compute::Kernel filter_;
    compute::Kernel pack_;
    compute::Kernel decode_;
    std::unique_ptr<NetworkRunner> runner_;
    compute::Mem rgb_;    // width x height x 4 half floats (R, G, B, 1)
    compute::Mem map_;    // nw x nh half floats, the class of each network pixel
    compute::Mem packed_; // 16 x nh/2 x nw/2 half floats, the network's input
    compute::Mem output_; // 8 x nh x nw half floats, the network's output
    std::unique_ptr<PicturePool> pool_;
    PictureBinder binder_;
};

} // namespace corvel
