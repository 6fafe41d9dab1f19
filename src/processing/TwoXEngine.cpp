#include "processing/TwoXEngine.h"

#include "common/EnhanceError.h"
#include "processing/KernelSources.h"
#include "processing/NeuralModelSize.h"
#include "processing/NeuralScaler.h"
#include "processing/ShaderDirectory.h"

#include <filesystem>

namespace corvel {

namespace {
constexpr size_t kGroup = 16;
} // namespace

Frame8 Frame8::make(compute::ComputeContext& context, int width, int height) {
    Frame8 frame;
    frame.width = width;
    frame.height = height;
    frame.pitch = width;
    frame.chroma = width * height;
    cl_int status = CL_SUCCESS;
    const size_t bytes = static_cast<size_t>(width) * height * 3 / 2;
    if (width > 0 && height > 0)
        frame.mem.reset(clCreateBuffer(context.context(), CL_MEM_READ_WRITE, bytes, nullptr, &status));
    if (!frame.mem || status != CL_SUCCESS)
        throw EnhanceError("No " + sizeText(width, height) + " 420v buffer (" +
                           std::to_string(frame.mem ? status : -1) + ").");
    return frame;
}

TwoXEngine::Limits TwoXEngine::defaultLimits() {
    // 512 x 256 tiles: a 960x540 picture takes 2 x 3 of them, a 1920x1080
    // one 4 x 5, so the tiling always runs; each tile stays a small network
    // run on a CPU device.
    return Limits{512, 512 * 256, {2.0}, {"420v"}};
}

TwoXEngine::TwoXEngine(std::string network, Limits limits, ScalerFactory factory,
                       std::shared_ptr<compute::ComputeContext> context)
    : network_(std::move(network)),
      limits_(std::move(limits)),
      factory_(std::move(factory)),
      context_(std::move(context)),
      binder_(nullptr) {}

bool TwoXEngine::supported() const {
    if (factory_) return true;
    const auto directory = shaderDirectory();
    if (!directory) return false;
    // Any model size of the network will do: they share one weight file.
    std::error_code error;
    const auto description = std::filesystem::path(*directory) / "vsr" / (network_ + "-1920x1088.json");
    return std::filesystem::is_regular_file(description, error);
}

void TwoXEngine::start(int width, int height) {
    if (!context_) context_ = compute::ComputeContext::shared();
    binder_ = PictureBinder(context_);
    queue_ = std::make_unique<compute::ComputeQueue>(context_);
    cl_program program = context_->program("tiled", {kernels::common, kernels::tiled});
    widenLuma_ = context_->kernel(program, "placeLuma");
    widenChroma_ = context_->kernel(program, "placeChroma");
    narrowLuma_ = context_->kernel(program, "cropLuma");
    narrowChroma_ = context_->kernel(program, "cropChroma");
    if (factory_)
        scaler_ = factory_(width, height);
    else
        scaler_ = std::make_unique<NeuralScaler>(network_, width, height, 2 * width, 2 * height, context_);
    inputs_ = std::make_unique<PicturePool>(width, height, 2, deviceStorage(context_));
    width_ = width;
    height_ = height;
}

double TwoXEngine::scale(const Frame8& source, const Frame8& destination) {
    if (!scaler_ || source.width != width_ || source.height != height_ ||
        destination.width != 2 * width_ || destination.height != 2 * height_)
        throw EnhanceError("The 2x engine takes " + sizeText(width_, height_) + " frames and was given " +
                           sizeText(source.width, source.height) + ".");
    // 8 -> 10 bits over the whole frame: the tile kernels' place step with
    // the frame as one core at the origin.
    PictureRef input = takeOutput(*inputs_, "No output pixel buffer.");
    const DevicePlanes to = PictureBinder::output(*input);
    const Tile whole{{{0, 0}}, {{0, 0}}, {{width_ / 2, height_ / 2}}};
    compute::setArgs(widenLuma_.get(), source.mem.get(), cl_int(source.pitch), whole, to.mem,
                     to.lumaOffset, to.stride);
    queue_->run(widenLuma_.get(), size_t(width_), size_t(height_), kGroup, kGroup);
    compute::setArgs(widenChroma_.get(), source.mem.get(), cl_int(source.chroma), cl_int(source.pitch),
                     whole, to.mem, to.chromaOffset, to.stride);
    queue_->run(widenChroma_.get(), size_t(width_ / 2), size_t(height_ / 2), kGroup, kGroup);
    queue_->finish();
    PictureBinder::written(*input, *queue_);

    PictureRef doubled = scaler_->scale(input);
    const double engineMs = scaler_->takeMs(false);

    // 10 -> 8 bits: the crop step at the origin over the whole result.
    const DevicePlanes from = binder_.input(*doubled, *queue_);
    const Tile origin{{{0, 0}}, {{0, 0}}, {{0, 0}}};
    compute::setArgs(narrowLuma_.get(), from.mem, from.lumaOffset, from.stride, origin,
                     destination.mem.get(), cl_int(destination.pitch), cl_int(destination.width),
                     cl_int(destination.height));
    queue_->run(narrowLuma_.get(), size_t(destination.width), size_t(destination.height), kGroup, kGroup);
    compute::setArgs(narrowChroma_.get(), from.mem, from.chromaOffset, from.stride, origin,
                     destination.mem.get(), cl_int(destination.chroma), cl_int(destination.pitch),
                     cl_int(destination.width / 2), cl_int(destination.height / 2));
    queue_->run(narrowChroma_.get(), size_t(destination.width / 2), size_t(destination.height / 2), kGroup,
                kGroup);
    queue_->finish();
    return engineMs;
}

} // namespace corvel
