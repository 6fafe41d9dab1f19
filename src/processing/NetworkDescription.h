#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

// One layer of a network the runner executes.
struct NetworkLayer {
    enum class Type { Conv, MaxPool, DepthToSpace };
    enum class Activation { None, Relu, Leaky };
    Type type = Type::Conv;
    // Conv: channels in and out, odd kernel side, activation and the leaky
    // slope; `upsample` reads the input nearest-neighbour at twice its size.
    int inputs = 0;
    int outputs = 0;
    int kernel = 1;
    Activation activation = Activation::None;
    float slope = 0.0f;
    bool upsample = false;
    // DepthToSpace: the block side.
    int block = 1;
    // Conv: where its weights start in the weight file, in half floats
    // (outputs x inputs x kernel x kernel weights, then outputs biases).
    size_t weightOffset = 0;
};

// A network: a JSON description naming a file of little-endian float16
// weights beside it.
//
//   {"network": "neural-low", "license": "...", "weights": "neural-low.bin",
//    "input":  {"name": "x", "shape": [1, 16, 544, 960]},
//    "output": {"name": "residual", "shape": [1, 48, 544, 960]},
//    "layers": [{"type": "conv", "inputs": 16, "outputs": 32, "kernel": 3,
//                "activation": "leaky", "slope": 0.1, "upsample": false},
//               {"type": "maxpool"}, {"type": "depthToSpace", "block": 2}, ...]}
//
// Shapes are [1, channels, rows, columns]; the layers must carry the input's
// channels to the output's, and rows and columns to the output's size.
struct NetworkDescription {
    std::string network;
    std::string license;
    std::string weightFile; // the file name as written, relative to the description
    std::string inputName;
    std::string outputName;
    int inputChannels = 0;
    int inputRows = 0;
    int inputColumns = 0;
    int outputChannels = 0;
    int outputRows = 0;
    int outputColumns = 0;
    std::vector<NetworkLayer> layers;
    std::vector<uint16_t> weights; // float16 bit patterns, host order

    // Half floats the layers need.
    size_t weightCount() const;
    // The output's size over the input's, in each direction, as num / den.
    int scaleNum() const;
    int scaleDen() const;
    // Cells beyond the part of the input that matters which still change the
    // result there: running over that part plus this margin (clamped to the
    // whole input) gives the same output inside the part. In input cells.
    int margin() const;
    // Multiply-adds of all convolutions per cell of the input grid: a layer
    // after a pooling works on a quarter of the cells, an upsampling one on
    // four times as many.
    double multiplyAddsPerCell() const;

    // Reads the description text; `label` names it in messages. Throws
    // EnhanceError "The network description LABEL is not valid: WHY." The
    // weights are left empty.
    static NetworkDescription parse(std::string_view text, const std::string& label);
    // Takes the weight file's bytes; throws EnhanceError "The network weights
    // LABEL hold N bytes; the description needs M." unless the size is exact.
    void takeWeights(const uint8_t* bytes, size_t size, const std::string& label);
    // Both files from disk: the description at `path`, its weights beside it.
    // Throws EnhanceError for a file that cannot be read and as above.
    static NetworkDescription load(const std::string& path);
};

} // namespace corvel
