#include "processing/NetworkRunner.h"

#include "common/EnhanceError.h"
#include "processing/KernelSources.h"

#include <algorithm>
#include <cmath>

namespace corvel {

namespace {

// Output tile of one work-group: 16 neighbouring columns keep PoCL's
// vectoriser on consecutive samples; 8 rows share most of the staged halo.
constexpr int kTileW = 16;
constexpr int kTileH = 8;

// Strips: two 8-column vectors a row and 4 output channels a pass make 8
// accumulators, which with the input vectors and a broadcast weight fit the
// 16 vector registers of AVX2; 8 rows share the staged halo. Measured on the
// PoCL CPU device (the kernel alone, a 32 -> 32 3x3 layer over 960 x 544):
// 3 vectors x 4 channels were no faster; 1 x 8 channels, and 4 or 16 rows,
// were slower.
constexpr int kStripVectors = 2;
constexpr int kStripColumns = 8 * kStripVectors;
constexpr int kStripRows = 8;
constexpr int kStripPass = 4;

size_t roundUp(size_t value, size_t step) { return (value + step - 1) / step * step; }

compute::Mem makeBuffer(compute::ComputeContext& context, size_t bytes, const void* data = nullptr) {
    cl_int status = CL_SUCCESS;
    const cl_mem_flags flags = data ? CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR : CL_MEM_READ_WRITE;
    compute::Mem mem(clCreateBuffer(context.context(), flags, std::max<size_t>(bytes, 16),
                                    const_cast<void*>(data), &status));
    compute::check(status, "clCreateBuffer");
    return mem;
}

bool isCpu(cl_device_id device) {
    cl_device_type type = 0;
    compute::check(clGetDeviceInfo(device, CL_DEVICE_TYPE, sizeof type, &type, nullptr),
                   "clGetDeviceInfo");
    return (type & CL_DEVICE_TYPE_CPU) != 0;
}

// IEEE half-float bits to float (weights are read once, at load time).
float halfToFloat(uint16_t bits) {
    const uint32_t sign = static_cast<uint32_t>(bits & 0x8000u) << 16;
    const int exponent = (bits >> 10) & 0x1f;
    const uint32_t mantissa = bits & 0x3ffu;
    float magnitude;
    if (exponent == 0) magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    else if (exponent == 31) magnitude = mantissa ? std::nanf("") : INFINITY;
    else magnitude = std::ldexp(static_cast<float>(mantissa | 0x400u), exponent - 25);
    return sign ? -magnitude : magnitude;
}

} // namespace

// Chooses rows per strip and output channels per work item so that the
// input tile and the block's weights fit in local memory (fewer rows first,
// then smaller blocks), arranges the weights for the kernel's inner loop and
// builds the layer's program. False (nothing built) when even one row and
// one pass do not fit.
bool NetworkRunner::planStrips(Step& step, size_t localBytes) {
    const NetworkLayer& layer = step.layer;
    const size_t cin = layer.inputs;
    const size_t k = layer.kernel;
    const size_t pitch = roundUp(kStripColumns + k - 1, 8);
    const int padded = static_cast<int>(roundUp(layer.outputs, kStripPass));
    step.rows = 0;
    localBytes -= std::min<size_t>(localBytes, 256); // the device's alignment of two buffers
    for (int rows = kStripRows; rows >= 1 && step.rows == 0; rows /= 2) {
        const size_t tile = sizeof(float) * cin * (rows + k - 1) * pitch;
        if (tile >= localBytes) continue;
        // Whole passes of weights beside the tile; then as even a split of
        // the channels as that many allows.
        const size_t perPass = sizeof(float) * kStripPass * cin * k * k;
        const size_t passes = std::min<size_t>((localBytes - tile) / roundUp(perPass, 32),
                                               padded / kStripPass);
        if (passes == 0) continue;
        const size_t blocks = (padded / kStripPass + passes - 1) / passes;
        step.rows = rows;
        step.block = static_cast<int>(roundUp((padded + blocks - 1) / blocks, kStripPass));
        step.tileBytes = tile;
        step.weightBytes = roundUp(sizeof(float) * step.block * cin * k * k, 32);
    }
    if (step.rows == 0 || step.tileBytes + step.weightBytes > localBytes) return false;
    step.strips = true;
    step.cob = kStripPass;

    // [block][pass][c][ky][kx][o of the pass], zeros for channels beyond the
    // layer's; 8 floats of slack so the kernel's 8-wide copy never ends past
    // the buffer.
    const int blocks = (layer.outputs + step.block - 1) / step.block;
    const size_t perBlock = static_cast<size_t>(step.block) * cin * k * k;
    std::vector<float> arranged(blocks * perBlock + 8, 0.0f);
    std::vector<float> biases(static_cast<size_t>(blocks) * step.block, 0.0f);
    const uint16_t* source = description_.weights.data() + layer.weightOffset;
    for (int co = 0; co < layer.outputs; ++co) {
        const size_t b = co / step.block;
        const size_t pass = (co % step.block) / kStripPass;
        const size_t o = co % kStripPass;
        float* to = arranged.data() + b * perBlock + pass * kStripPass * cin * k * k;
        for (size_t c = 0; c < cin; ++c)
            for (size_t t = 0; t < k * k; ++t)
                to[(c * k * k + t) * kStripPass + o] = halfToFloat(source[(co * cin + c) * k * k + t]);
        biases[co] = halfToFloat(source[static_cast<size_t>(layer.outputs) * cin * k * k + co]);
    }
    step.stripWeights = makeBuffer(*context_, arranged.size() * sizeof(float), arranged.data());
    step.stripBiases = makeBuffer(*context_, biases.size() * sizeof(float), biases.data());

    const std::string options =
        "-DSTRIP -DCIN=" + std::to_string(cin) + " -DCOUT=" + std::to_string(layer.outputs) +
        " -DK=" + std::to_string(k) + " -DCOB=" + std::to_string(kStripPass) +
        " -DCB=" + std::to_string(step.block) + " -DNV=" + std::to_string(kStripVectors) +
        " -DROWS=" + std::to_string(step.rows) +
        " -DACT=" + std::to_string(static_cast<int>(layer.activation)) +
        " -DUPSAMPLE=" + (layer.upsample ? "1" : "0");
    cl_program program = context_->program("network", {kernels::common, kernels::network}, options);
    step.kernel = context_->kernel(program, "convStrip");
    return true;
}

NetworkRunner::NetworkRunner(std::shared_ptr<compute::ComputeContext> context,
                             const NetworkDescription& description, int maxWidth, int maxHeight,
                             ConvShape shape)
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
        Step step;
        step.layer = layer;
        switch (layer.type) {
        case NetworkLayer::Type::Conv: {
            // On a CPU device a layer too large for strips still gets the
            // work-groups below (which may fit with fewer output channels).
            const bool strips =
                shape == ConvShape::Strips || (shape == ConvShape::Auto && isCpu(context_->device()));
            if (strips && !planStrips(step, localBytes) && shape == ConvShape::Strips)
                throw EnhanceError("The network " + description_.network + "'s layer " +
                                   std::to_string(i + 1) +
                                   " needs more local memory than the device has.");
            if (step.strips) {
                if (layer.upsample) {
                    w *= 2;
                    h *= 2;
                }
                channels = layer.outputs;
                break;
            }
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
            if (step.strips) {
                compute::setArgs(kernel, from, fromLayout.pitch, fromLayout.plane, to,
                                 toLayout.pitch, toLayout.plane, ow, oh, step.stripWeights.get(),
                                 step.stripBiases.get(), static_cast<cl_float>(layer.slope),
                                 compute::LocalBytes{step.tileBytes},
                                 compute::LocalBytes{step.weightBytes});
                const size_t global[3] = {
                    (static_cast<size_t>(ow) + kStripColumns - 1) / kStripColumns,
                    (static_cast<size_t>(oh) + step.rows - 1) / step.rows,
                    static_cast<size_t>((layer.outputs + step.block - 1) / step.block)};
                const size_t local[3] = {1, 1, 1};
                cl_event raw = nullptr;
                compute::check(clEnqueueNDRangeKernel(queue.get(), kernel, 3, nullptr, global,
                                                      local, 0, nullptr, &raw),
                               "clEnqueueNDRangeKernel");
                event.reset(raw);
                break;
            }
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
