#pragma once

#include "compute/ComputeQueue.h"
#include "processing/NetworkDescription.h"

#include <memory>
#include <vector>

namespace corvel {

// Where a planar half-float tensor lies in its buffer: element (c, y, x) is
// at offset + c * plane + y * pitch + x, counted in half floats.
struct TensorLayout {
    cl_int pitch = 0;
    cl_int plane = 0;
};

// Runs a NetworkDescription on the compute device: each layer is one kernel
// over half-float tensors, with float sums. Convolutions stage their input
// tile and their weights in local memory.
//
// Convolutions come in two shapes with the same arithmetic: work-groups of
// 16 x 8 outputs whose work items each make one position (what a GPU runs
// well), and strips, where each work item makes 16 columns x several rows x
// a block of output channels in vector registers from weights arranged for
// it at load time (what a CPU device runs well: several times faster there).
//
// Not thread-safe: one thread calls run. The intermediate tensors are the
// runner's own, so two pictures must not be in flight at once.
class NetworkRunner {
public:
    // Sized for inputs of up to maxWidth x maxHeight cells. Throws
    // EnhanceError for a size the network cannot take (odd where it pools)
    // and for device failures (kernel build log, allocation).
    // `shape` Auto takes strips on CPU devices and work-groups elsewhere.
    enum class ConvShape { Auto, WorkGroups, Strips };
    NetworkRunner(std::shared_ptr<compute::ComputeContext> context,
                  const NetworkDescription& description, int maxWidth, int maxHeight,
                  ConvShape shape = ConvShape::Auto);

    // Queues the network over a width x height input (within the maximum)
    // read from `input` and writes the output tensor (its size scaled by
    // the network) to `output`. Returns the first and the last event.
    std::pair<compute::Event, compute::Event> run(compute::ComputeQueue& queue, cl_mem input,
                                                  TensorLayout inputLayout, cl_mem output,
                                                  TensorLayout outputLayout, int width, int height);

    const NetworkDescription& description() const { return description_; }
    // The output's width (or height) for an input of `cells` cells.
    int outputSize(int cells) const;

private:
    struct Step {
        NetworkLayer layer;
        compute::Kernel kernel;
        int channels = 0;      // of the layer's output tensor
        int cob = 1;           // conv: output channels per work item
        size_t tileBytes = 0;  // conv: local memory for the input tile
        size_t weightBytes = 0;
        // Strips: rows per strip, output channels per work item (cob is
        // then the channels of one accumulator pass), and the layer's
        // weights and biases as arranged floats.
        bool strips = false;
        int rows = 0;
        int block = 0;
        compute::Mem stripWeights;
        compute::Mem stripBiases;
    };

    bool planStrips(Step& step, size_t localBytes);

    std::shared_ptr<compute::ComputeContext> context_;
    NetworkDescription description_;
    int maxWidth_;
    int maxHeight_;
    compute::Mem weights_;     // every layer's weights and biases, half floats
    compute::Mem temp_[2];     // ping-pong intermediate tensors
    std::vector<Step> steps_;
};

} // namespace corvel
