#include "processing/Deband.h"

#include "common/EnhanceError.h"
#include "common/Log.h"
#include "common/SourceColor.h"
#include "processing/DebandWeights.h"
#include "processing/KernelSources.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace corvel {

namespace {

constexpr const char* kMatrix240 = "SMPTE_240M_1995";

compute::Mem makeBuffer(compute::ComputeContext& context, size_t bytes) {
    cl_int status = CL_SUCCESS;
    compute::Mem mem(
        clCreateBuffer(context.context(), CL_MEM_READ_WRITE, std::max<size_t>(bytes, 16), nullptr, &status));
    if (status != CL_SUCCESS) return {};
    return mem;
}

int roundUp32(int v) { return (v + 31) / 32 * 32; }

} // namespace

std::pair<int, int> Deband::networkSize(int width, int height) {
    if (width <= 0 || height <= 0) return {544, 544};
    if (width >= height)
        return {roundUp32(static_cast<int>(std::floor(static_cast<double>(width) / height * 540.0))), 544};
    return {544, roundUp32(static_cast<int>(std::floor(static_cast<double>(height) / width * 540.0)))};
}

Deband::Deband(int width, int height, const std::optional<std::string>& directory,
               std::shared_ptr<compute::ComputeContext> device)
    : width_(width),
      height_(height),
      context_(device ? std::move(device) : compute::ComputeContext::shared()),
      binder_(context_) {
    queue_ = std::make_unique<compute::ComputeQueue>(context_);
    cl_program program = context_->program("deband", {kernels::common, kernels::deband});
    toRgb_ = context_->kernel(program, "to_rgb");
    filter_ = context_->kernel(program, "filter");

    const auto [nw, nh] = networkSize(width, height);
    nw_ = nw;
    nh_ = nh;
    const bool sizeOk = Picture::usableSize(width, height);
    if (sizeOk) {
        rgb_ = makeBuffer(*context_, static_cast<size_t>(width) * height * 4 * 2);
        map_ = makeBuffer(*context_, static_cast<size_t>(nw_) * nh_ * 2);
    }
    if (!rgb_ || !map_) throw EnhanceError("No " + sizeText(width, height) + " debanding textures.");
    // The map starts as "keep everything": the fixed filter never reads it,
    // and mapValues before the first picture reads zeros.
    const std::vector<uint16_t> zeros(static_cast<size_t>(nw_) * nh_, 0);
    queue_->write(map_.get(), 0, zeros.size() * 2, zeros.data());
    pool_ = std::make_unique<PicturePool>(width, height, 4, deviceStorage(context_));

    try {
        const DebandWeights weights = DebandWeights::load(directory);
        runner_ = std::make_unique<NetworkRunner>(context_, weights.network, nw_ / 2, nh_ / 2);
        pack_ = context_->kernel(program, "pack");
        decode_ = context_->kernel(program, "decode");
        packed_ = makeBuffer(*context_, static_cast<size_t>(16) * (nh_ / 2) * (nw_ / 2) * 2);
        output_ = makeBuffer(*context_, static_cast<size_t>(8) * nh_ * nw_ * 2);
        if (!packed_ || !output_) throw EnhanceError("No debander tensors.");
        const std::string license =
            weights.license.empty() ? std::string("no licence stated") : weights.license;
        logf("deband: TrueHDR's debanding network loaded (" + std::to_string(weights.floatCount) +
             " weights; " + license + "), map " + std::to_string(nw_) + "x" + std::to_string(nh_));
    } catch (const EnhanceError& e) {
        runner_.reset();
        packed_.reset();
        output_.reset();
        logf(std::string("deband: ") + e.what() + "; the fixed filter instead");
    }
}

Deband::~Deband() = default;

std::string Deband::wayText() const {
    return runner_ ? "TrueHDR's network's map, in Metal" : "the fixed filter";
}

PictureRef Deband::apply(const PictureRef& picture) { return run(picture, nullptr); }

PictureRef Deband::applyWithMap(const PictureRef& picture, const std::vector<uint8_t>& classes) {
    if (classes.size() != static_cast<size_t>(nw_) * nh_)
        throw EnhanceError("A debanding map of " + std::to_string(classes.size()) + " values for a " +
                           sizeText(nw_, nh_) + " map.");
    if (std::any_of(classes.begin(), classes.end(), [](uint8_t c) { return c > 7; }))
        throw EnhanceError("A debanding map class above 7.");
    return run(picture, &classes);
}

PictureRef Deband::run(const PictureRef& picture, const std::vector<uint8_t>* classes) {
    const auto start = std::chrono::steady_clock::now();
    requireSize(picture, width_, height_, "Debanding");
    PictureRef out = takeOutput(*pool_, "No debanded pixel buffer.");
    out->color = picture->color;

    const bool bt601 = picture->color.matrix == color::kMatrix601 || picture->color.matrix == kMatrix240;
    const cl_float kr = bt601 ? 0.299f : 0.2126f;
    const cl_float kb = bt601 ? 0.114f : 0.0722f;
    const cl_int mode = runner_ || classes ? 2 : 1;
    const cl_int w = width_;
    const cl_int h = height_;
    const cl_int nw = nw_;
    const cl_int nh = nh_;

    const DevicePlanes in = binder_.input(*picture, *queue_);
    const DevicePlanes to = PictureBinder::output(*out);
    compute::setArgs(toRgb_.get(), in.mem, in.lumaOffset, in.chromaOffset, in.stride, rgb_.get(), w, h,
                     kr, kb);
    queue_->run(toRgb_.get(), static_cast<size_t>(w), static_cast<size_t>(h), 16, 16);
    if (classes) {
        // Small integers are exact in half precision: 0 is 0x0000, and for
        // c in 1..7 the exponent is floor(log2 c) and the mantissa the rest.
        std::vector<uint16_t> halves(classes->size());
        std::transform(classes->begin(), classes->end(), halves.begin(), [](uint8_t c) -> uint16_t {
            if (c == 0) return 0;
            const int e = c >= 4 ? 2 : c >= 2 ? 1 : 0;
            return static_cast<uint16_t>(((e + 15) << 10) | ((c - (1 << e)) << (10 - e)));
        });
        queue_->write(map_.get(), 0, halves.size() * 2, halves.data());
    } else if (runner_) {
        compute::setArgs(pack_.get(), rgb_.get(), w, h, nw, nh, packed_.get());
        queue_->run(pack_.get(), static_cast<size_t>(nw / 2), static_cast<size_t>(nh / 2), 8, 8);
        const cl_int tw = nw / 2;
        runner_->run(*queue_, packed_.get(), TensorLayout{tw, tw * (nh / 2)}, output_.get(),
                     TensorLayout{nw, nw * nh}, nw / 2, nh / 2);
        compute::setArgs(decode_.get(), output_.get(), nw, nh, map_.get());
        queue_->run(decode_.get(), static_cast<size_t>(nw), static_cast<size_t>(nh), 8, 8);
    }
    compute::setArgs(filter_.get(), rgb_.get(), map_.get(), w, h, nw, nh, kr, kb, mode, in.mem,
                     in.lumaOffset, in.chromaOffset, in.stride, to.mem, to.lumaOffset,
                     to.chromaOffset, to.stride);
    compute::Event done = queue_->run(filter_.get(), static_cast<size_t>((w + 1) / 2),
                                      static_cast<size_t>((h + 1) / 2), 16, 16);
    cl_event event = done.get();
    if (const cl_int failed = compute::ComputeQueue::wait(event); failed != CL_SUCCESS)
        throw EnhanceError("Debanding failed: the device reported status " + std::to_string(failed) + ".");
    PictureBinder::written(*out, *queue_);
    wallMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    calls += 1;
    return out;
}

std::vector<uint16_t> Deband::mapValues() {
    std::vector<uint16_t> values(static_cast<size_t>(nw_) * nh_);
    queue_->read(map_.get(), 0, values.size() * 2, values.data());
    return values;
}

} // namespace corvel
