#include "processing/NeuralScaler.h"

#include "common/EnhanceError.h"
#include "common/SourceColor.h"
#include "processing/GreyRamp.h"
#include "processing/KernelSources.h"
#include "processing/NeuralModelSize.h"
#include "processing/ShaderDirectory.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

namespace corvel {

namespace {

// The kernels' parameter block: seven 32-bit unsigned integers and two
// 32-bit floats, 36 bytes, in the kernels' order.
struct Params {
    cl_uint inW, inH, gw, gh, outW, outH, f;
    cl_float kr, kb;
};
static_assert(sizeof(Params) == 36);

constexpr size_t kGroup = 16;

compute::Mem deviceBuffer(compute::ComputeContext& context, size_t bytes, const std::string& failure) {
    cl_int status = CL_SUCCESS;
    compute::Mem mem(clCreateBuffer(context.context(), CL_MEM_READ_WRITE, bytes, nullptr, &status));
    if (status != CL_SUCCESS || !mem) throw EnhanceError(failure);
    return mem;
}

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

NeuralScaler::NeuralScaler(const std::string& network, int inWidth, int inHeight, int outWidth,
                           int outHeight, std::shared_ptr<compute::ComputeContext> context)
    : method_{ScaleMethod::Kind::Neural, network},
      network_(network),
      inWidth_(inWidth),
      inHeight_(inHeight),
      outWidth_(outWidth),
      outHeight_(outHeight),
      binder_(nullptr) {
    // 1. The model size.
    const auto model = neuralModelSize(inWidth, inHeight);
    if (!model)
        throw EnhanceError("The AI upscaler takes up to " + std::to_string(3072) + "x" +
                           std::to_string(1728) + ", not " + std::to_string(inWidth) + "x" +
                           std::to_string(inHeight) + ".");
    modelWidth_ = model->first;
    modelHeight_ = model->second;

    // 2. The model's description in the shader directory.
    const std::string modelName =
        network + "-" + std::to_string(modelWidth_) + "x" + std::to_string(modelHeight_);
    const std::string missing = "The AI upscaler's model " + modelName +
                                " is missing (companion/shaders/vsr/build_coreml).";
    const auto directory = shaderDirectory();
    if (!directory) throw EnhanceError(missing);
    const std::filesystem::path path = std::filesystem::path(*directory) / "vsr" / (modelName + ".json");
    std::error_code error;
    // A network name never leaves the vsr folder.
    if (network.empty() || network.find('/') != std::string::npos || network.find("..") != std::string::npos ||
        !std::filesystem::is_regular_file(path, error))
        throw EnhanceError(missing);

    // 3. Device, queue, kernels and the output pool.
    context_ = context ? std::move(context) : compute::ComputeContext::shared();
    binder_ = PictureBinder(context_);
    queue_ = std::make_unique<compute::ComputeQueue>(context_);
    cl_program program = context_->program("vsr", {kernels::common, kernels::vsr});
    pack_ = context_->kernel(program, "pack");
    finish_ = context_->kernel(program, "finish");
    encode_ = context_->kernel(program, "encode");
    if (!Picture::usableSize(outWidth, outHeight) || !Picture::usableSize(inWidth, inHeight))
        throw EnhanceError("No " + sizeText(outWidth, outHeight) + " pixel buffer pool.");
    pool_ = std::make_unique<PicturePool>(outWidth, outHeight, 4, deviceStorage(context_));

    // 4. The network (the loader's errors pass on unchanged).
    NetworkDescription description = NetworkDescription::load(path.string());
    license_ = description.license;

    // 5. The packing factor from the input's channels.
    f_ = description.inputChannels == 48 ? 4 : 2;
    const int fullW = modelWidth_ / f_;
    const int fullH = modelHeight_ / f_;
    const int inChannels = f_ == 2 ? 16 : 48;
    const int outChannels = 12 * f_ * f_;
    if (description.inputChannels != inChannels || description.outputChannels != outChannels ||
        description.inputName != "x" || description.outputName != "residual" ||
        description.inputColumns != fullW || description.inputRows != fullH ||
        description.outputColumns != fullW || description.outputRows != fullH)
        throw EnhanceError("The AI upscaler's model " + modelName + " does not take x [1, " +
                           std::to_string(inChannels) + ", " + std::to_string(fullH) + ", " +
                           std::to_string(fullW) + "] and give residual [1, " +
                           std::to_string(outChannels) + ", " + std::to_string(fullH) + ", " +
                           std::to_string(fullW) + "].");
    // The cells that hold the picture plus the network's reach, whole
    // multiples of its pooling, never more than the model's grid.
    const int step = description.scaleDen();
    auto cover = [&](int pixels, int full) {
        int cells = (pixels + f_ - 1) / f_ + description.margin();
        cells = (cells + step - 1) / step * step;
        return std::min(cells, full);
    };
    gw_ = cover(inWidth, fullW);
    gh_ = cover(inHeight, fullH);
    runner_ = std::make_unique<NetworkRunner>(context_, description, gw_, gh_);

    // 6. The tensors.
    const size_t cells = static_cast<size_t>(gw_) * gh_;
    input_ = deviceBuffer(*context_, cells * inChannels * 2,
                          "No " + std::to_string(inChannels) + "-channel surface for the AI upscaler.");
    output_ = deviceBuffer(*context_, cells * outChannels * 2,
                           "No " + std::to_string(outChannels) + "-channel surface for the AI upscaler.");

    // 8. The pictures between the kernels.
    base_ = deviceBuffer(*context_, static_cast<size_t>(inWidth) * inHeight * 8,
                         "No " + sizeText(inWidth, inHeight) + " texture for the AI upscaler.");
    up_ = deviceBuffer(*context_, static_cast<size_t>(inWidth) * inHeight * 32,
                       "No " + sizeText(2 * inWidth, 2 * inHeight) + " texture for the AI upscaler.");
}

std::pair<float, float> NeuralScaler::coefficients(const Picture& picture) {
    if (picture.color.matrix == color::kMatrix601) return {0.299f, 0.114f};
    if (picture.color.matrix == color::kMatrix2020) return {0.2627f, 0.0593f};
    return {0.2126f, 0.0722f};
}

void NeuralScaler::waitFor(cl_event event) {
    const cl_int status = compute::ComputeQueue::wait(event);
    if (status != CL_SUCCESS)
        throw EnhanceError("The AI upscaler's GPU work failed: the device reported status " +
                           std::to_string(status) + ".");
}

PictureRef NeuralScaler::scale(const PictureRef& picture) {
    const auto started = std::chrono::steady_clock::now();
    requireSize(picture, inWidth_, inHeight_, "The AI upscaler");
    PictureRef out = takeOutput(*pool_, "No output pixel buffer.");
    out->color = picture->color;

    const auto [kr, kb] = coefficients(*picture);
    Params params{static_cast<cl_uint>(inWidth_), static_cast<cl_uint>(inHeight_),
                  static_cast<cl_uint>(gw_),      static_cast<cl_uint>(gh_),
                  static_cast<cl_uint>(outWidth_), static_cast<cl_uint>(outHeight_),
                  static_cast<cl_uint>(f_),       kr,
                  kb};
    const DevicePlanes in = binder_.input(*picture, *queue_);
    const DevicePlanes to = PictureBinder::output(*out);

    // Input picture -> base and x.
    compute::setArgs(pack_.get(), in.mem, in.lumaOffset, in.chromaOffset, in.stride, base_.get(),
                     input_.get(), params);
    compute::Event packed = queue_->run(pack_.get(), gw_, gh_, kGroup, kGroup);
    waitFor(packed.get());

    // The network: x -> residual.
    const auto networkStart = std::chrono::steady_clock::now();
    const cl_int plane = gw_ * gh_;
    auto events = runner_->run(*queue_, input_.get(), TensorLayout{gw_, plane}, output_.get(),
                               TensorLayout{gw_, plane}, gw_, gh_);
    waitFor(events.second.get());
    const double networkMs = msSince(networkStart);

    // base + residual -> up -> the output picture.
    compute::setArgs(finish_.get(), base_.get(), up_.get(), output_.get(), params);
    queue_->run(finish_.get(), static_cast<size_t>(inWidth_), static_cast<size_t>(inHeight_), kGroup,
                kGroup);
    compute::setArgs(encode_.get(), up_.get(), to.mem, to.lumaOffset, to.chromaOffset, to.stride,
                     params);
    compute::Event encoded =
        queue_->run(encode_.get(), (static_cast<size_t>(outWidth_) + 1) / 2,
                    (static_cast<size_t>(outHeight_) + 1) / 2, kGroup, kGroup);
    waitFor(encoded.get());
    PictureBinder::written(*out, *queue_);

    tally_.add(networkMs, msSince(started));
    return out;
}

double NeuralScaler::takeMs(bool wall) {
    const ScaleTimes times = tally_.take();
    return wall ? times.wall : times.gpu;
}

ScaleTimes NeuralScaler::takeBoth() { return tally_.take(); }

std::optional<double> NeuralScaler::medianMs(const std::string& network) {
    try {
        NeuralScaler scaler(network, 1920, 1080, 3840, 2160);
        PicturePool sources(1920, 1080, 1, deviceStorage(scaler.context_));
        PictureRef source = sources.take();
        fillGreyRamp(*source);
        scaler.scale(source);
        scaler.takeMs(true);
        std::vector<double> kept;
        for (int run = 0; run < 24; ++run) {
            scaler.scale(source);
            const double ms = scaler.takeMs(true);
            if (ms > 100.0) return ms;
            if (run >= 4) kept.push_back(ms);
        }
        std::sort(kept.begin(), kept.end());
        return kept[10];
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<double> NeuralScaler::quickMs(const std::string& network, int inWidth, int inHeight) {
    try {
        NeuralScaler scaler(network, inWidth, inHeight, 2 * inWidth, 2 * inHeight);
        PicturePool sources(inWidth, inHeight, 1, deviceStorage(scaler.context_));
        PictureRef source = sources.take();
        fillGreyRamp(*source);
        return scaler.leastOfTwoMs(source, true);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

namespace {
std::vector<uint16_t> readAll(compute::ComputeQueue& queue, cl_mem mem) {
    size_t bytes = 0;
    compute::check(clGetMemObjectInfo(mem, CL_MEM_SIZE, sizeof bytes, &bytes, nullptr),
                   "clGetMemObjectInfo");
    std::vector<uint16_t> words(bytes / 2);
    queue.read(mem, 0, bytes, words.data());
    return words;
}
} // namespace

std::vector<uint16_t> NeuralScaler::readBase() { return readAll(*queue_, base_.get()); }
std::vector<uint16_t> NeuralScaler::readUp() { return readAll(*queue_, up_.get()); }
std::vector<uint16_t> NeuralScaler::readInput() { return readAll(*queue_, input_.get()); }

} // namespace corvel
