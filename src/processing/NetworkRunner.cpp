#include "processing/NetworkRunner.h"

#include "common/EnhanceError.h"
#include "processing/KernelSources.h"

#include <algorithm>

namespace corvel {

namespace {

// Output tile of one work-group: 16 neighbouring columns keep PoCL's
// vectoriser on consecutive samples; 8 rows share most of the staged halo.
constexpr int kTileW = 16;
constexpr int kTileH = 8;

size_t roundUp(size_t value, size_t step) { return (value + step - 1) / step * step; }

compute::Mem makeBuffer(compute::ComputeContext& context, size_t bytes, const void* data = nullptr) {
    cl_int status = CL_SUCCESS;
    const cl_mem_flags flags = data ? CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR : CL_MEM_READ_WRITE;
    compute::Mem mem(clCreateBuffer(context.context(), flags, std::max<size_t>(bytes, 16),
                                    const_cast<void*>(data), &status));
    compute::check(status, "clCreateBuffer");
    return mem;
}

} // namespace

NetworkRunner::NetworkRunner(std::shared_ptr<compute::ComputeContext> context,
                             const NetworkDescription& description, int maxWidth, int maxHeight)
    : context_(std::move(context)),
      description_(description),
      maxWidth_(maxWidth),
      maxHeight_(maxHeight) {
    if (description_.weights.size() != description_.weightCount())
        throw EnhanceError("The network " + description_.network + " has no weights.");
    if (maxWidth <= 0 || maxHeight <= 0 || maxWidth > 16384 || maxHeight > 16384)
        throw EnhanceError("The network " + description_.network + " cannot run over " +
                           std::to_string(maxWidth) + "x" + std::to_string(maxHeight) + " cells.");
    weights_ = makeBuffer(*context_, description_.weights.size() * 2, description_.weights.data());

    cl_ulong localBytes = 0;
    compute::check(clGetDeviceInfo(context_->device(), CL_DEVICE_LOCAL_MEM_SIZE, sizeof localBytes,
                                   &localBytes, nullptr),
                   "clGetDeviceInfo");

    // Follow the tensor through the layers for the largest intermediate.
    size_t channels = description_.inputChannels;
    size_t w = maxWidth;
    size_t h = maxHeight;
    size_t largest = 0;
    cl_program shared = nullptr;
    for (size_t i = 0; i < description_.layers.size(); ++i) {
        const NetworkLayer& layer = description_.layers[i];
        Step step{layer, {}, 0, 1, 0, 0};
        switch (layer.type) {
        case NetworkLayer::Type::Conv: {
            const int cin = layer.inputs;
            const int k = layer.kernel;
            step.tileBytes = sizeof(float) * cin * (kTileW + k - 1) * (kTileH + k - 1);
            // The widest block of output channels whose weights still fit
            // beside the tile: fewer passes over the staged tile.
            for (int cob : {16, 8, 4, 2, 1}) {
                if (layer.outputs % cob != 0) continue;
                step.cob = cob;
                step.weightBytes = sizeof(float) * cob * cin * k * k;
                if (step.tileBytes + step.weightBytes <= localBytes) break;
            }
            if (step.tileBytes + step.weightBytes > localBytes)
                throw EnhanceError("The network " + description_.network + "'s layer " +
                                   std::to_string(i + 1) + " needs more local memory than the device has.");
            const std::string options =
                "-DCIN=" + std::to_string(cin) + " -DCOUT=" + std::to_string(layer.outputs) +
                " -DK=" + std::to_string(k) + " -DCOB=" + std::to_string(step.cob) +
                " -DACT=" + std::to_string(static_cast<int>(layer.activation)) +
                " -DUPSAMPLE=" + (layer.upsample ? "1" : "0") + " -DTW=" + std::to_string(kTileW) +
                " -DTH=" + std::to_string(kTileH);
            cl_program program =
                context_->program("network", {kernels::common, kernels::network}, options);
            step.kernel = context_->kernel(program, "conv");
            if (layer.upsample) {
                w *= 2;
                h *= 2;
            }
            channels = layer.outputs;
            break;
        }
        case NetworkLayer::Type::MaxPool:
            if (w % 2 != 0 || h % 2 != 0)
                throw EnhanceError("The network " + description_.network + " pools an odd size.");
            if (!shared) shared = context_->program("network", {kernels::common, kernels::network});
            step.kernel = context_->kernel(shared, "maxPool");
            w /= 2;
            h /= 2;
            break;
        case NetworkLayer::Type::DepthToSpace:
            if (!shared) shared = context_->program("network", {kernels::common, kernels::network});
            step.kernel = context_->kernel(shared, "depthToSpace");
            channels /= static_cast<size_t>(layer.block) * layer.block;
            w *= layer.block;
            h *= layer.block;
            break;
        }
        step.channels = static_cast<int>(channels);
        if (i + 1 < description_.layers.size()) largest = std::max(largest, channels * w * h);
        steps_.push_back(std::move(step));
    }
    for (auto& temp : temp_) temp = makeBuffer(*context_, largest * 2);
}

int NetworkRunner::outputSize(int cells) const {
    return cells * description_.scaleNum() / description_.scaleDen();
}

double NetworkRunner::macsPerCell() const {
    double total = 0;
    double area = 1; // cells of the current tensor per input cell
    for (const NetworkLayer& layer : description_.layers) {
        switch (layer.type) {
        case NetworkLayer::Type::Conv:
            if (layer.upsample) area *= 4;
            total += area * layer.inputs * layer.outputs * layer.kernel * layer.kernel;
            break;
        case NetworkLayer::Type::MaxPool: area /= 4; break;
        case NetworkLayer::Type::DepthToSpace: area *= layer.block * layer.block; break;
        }
    }
    return total;
}

std::pair<compute::Event, compute::Event> NetworkRunner::run(compute::ComputeQueue& queue,
                                                             cl_mem input, TensorLayout inputLayout,
                                                             cl_mem output,
                                                             TensorLayout outputLayout, int width,
                                                             int height) {
    if (width <= 0 || height <= 0 || width > maxWidth_ || height > maxHeight_)
        throw EnhanceError("The network " + description_.network + " takes up to " +
                           std::to_string(maxWidth_) + "x" + std::to_string(maxHeight_) +
                           " cells, not " + std::to_string(width) + "x" + std::to_string(height) + ".");
    if (width % description_.scaleDen() != 0 || height % description_.scaleDen() != 0)
        throw EnhanceError("The network " + description_.network + " takes sizes divisible by " +
                           std::to_string(description_.scaleDen()) + ".");
    compute::Event first;
    compute::Event last;
    cl_mem from = input;
    TensorLayout fromLayout = inputLayout;
    cl_int w = width;
    cl_int h = height;
    for (size_t i = 0; i < steps_.size(); ++i) {
        Step& step = steps_[i];
        const NetworkLayer& layer = step.layer;
        const bool final = i + 1 == steps_.size();
        cl_mem to = final ? output : temp_[i % 2].get();
        cl_int ow = w;
        cl_int oh = h;
        if (layer.type == NetworkLayer::Type::Conv && layer.upsample) ow *= 2, oh *= 2;
        if (layer.type == NetworkLayer::Type::MaxPool) ow /= 2, oh /= 2;
        if (layer.type == NetworkLayer::Type::DepthToSpace) ow *= layer.block, oh *= layer.block;
        const TensorLayout toLayout = final ? outputLayout : TensorLayout{ow, ow * oh};
        cl_kernel kernel = step.kernel.get();
        compute::Event event;
        switch (layer.type) {
        case NetworkLayer::Type::Conv: {
            compute::setArgs(kernel, from, fromLayout.pitch, fromLayout.plane, to, toLayout.pitch,
                             toLayout.plane, ow, oh, weights_.get(),
                             static_cast<cl_int>(layer.weightOffset),
                             static_cast<cl_float>(layer.slope),
                             compute::LocalBytes{step.tileBytes},
                             compute::LocalBytes{step.weightBytes});
            const size_t gw = roundUp(static_cast<size_t>(ow), kTileW);
            const size_t gh = roundUp(static_cast<size_t>(oh), kTileH);
            const size_t global[3] = {gw, gh, static_cast<size_t>(layer.outputs / step.cob)};
            const size_t local[3] = {kTileW, kTileH, 1};
            cl_event raw = nullptr;
            compute::check(clEnqueueNDRangeKernel(queue.get(), kernel, 3, nullptr, global, local, 0,
                                                  nullptr, &raw),
                           "clEnqueueNDRangeKernel");
            event.reset(raw);
            break;
        }
        case NetworkLayer::Type::MaxPool:
        case NetworkLayer::Type::DepthToSpace: {
            if (layer.type == NetworkLayer::Type::DepthToSpace)
                compute::setArgs(kernel, from, fromLayout.pitch, fromLayout.plane, to,
                                 toLayout.pitch, toLayout.plane, ow, oh,
                                 static_cast<cl_int>(layer.block));
            else
                compute::setArgs(kernel, from, fromLayout.pitch, fromLayout.plane, to,
                                 toLayout.pitch, toLayout.plane, ow, oh);
            const size_t global[3] = {roundUp(static_cast<size_t>(ow), 16),
                                      static_cast<size_t>(oh),
                                      static_cast<size_t>(step.channels)};
            cl_event raw = nullptr;
            compute::check(clEnqueueNDRangeKernel(queue.get(), kernel, 3, nullptr, global, nullptr,
                                                  0, nullptr, &raw),
                           "clEnqueueNDRangeKernel");
            event.reset(raw);
            break;
        }
        }
        if (!first) {
            compute::check(clRetainEvent(event.get()), "clRetainEvent");
            first.reset(event.get());
        }
        last = std::move(event);
        from = to;
        fromLayout = toLayout;
        w = ow;
        h = oh;
    }
    return {std::move(first), std::move(last)};
}

} // namespace corvel
