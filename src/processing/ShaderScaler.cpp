#include "processing/ShaderScaler.h"

#include "common/EnhanceError.h"
#include "common/Env.h"
#include "common/Fmt.h"
#include "common/Log.h"
#include "processing/GreyRamp.h"
#include "processing/KernelSources.h"
#include "processing/ShaderDirectory.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>
#include <vector>

namespace corvel {

namespace {

// Work-group shape: a row of 64 work items keeps PoCL's vectoriser on
// neighbouring samples, and GPUs schedule it as two warps.
constexpr size_t kGroupW = 64;
constexpr size_t kGroupH = 1;

compute::Event retained(cl_event event) {
    compute::check(clRetainEvent(event), "clRetainEvent");
    return compute::Event(event);
}

// destination / source as (phases, step) in lowest terms when both are at
// most 8, else none. Chroma planes have the same ratio as luma: both sizes
// are halved.
std::optional<std::pair<int, int>> smallRatio(int destination, int source) {
    if (destination <= 0 || source <= 0) return std::nullopt;
    const int g = std::gcd(destination, source);
    const int phases = destination / g;
    const int step = source / g;
    if (phases > 8 || step > 8) return std::nullopt;
    return std::make_pair(phases, step);
}

// Put before each copy of the resample source: the plane kind it is
// compiled for and the suffix of its functions' and kernels' names.
constexpr const char* kLumaKind = "\n#define COMPONENTS 1\n#define KIND(name) name##Luma\n";
constexpr const char* kChromaKind =
    "\n#undef COMPONENTS\n#undef KIND\n#define COMPONENTS 2\n#define KIND(name) name##Chroma\n";

std::string eventError(cl_int status) {
    return "the device reported status " + std::to_string(status) + ".";
}

} // namespace

ShaderScaler::ShaderScaler(const ScaleMethod& method, int inWidth, int inHeight, int outWidth,
                           int outHeight, std::shared_ptr<compute::ComputeContext> context)
    : method_(method),
      inWidth_(inWidth),
      inHeight_(inHeight),
      outWidth_(outWidth),
      outHeight_(outHeight),
      context_(context ? std::move(context) : compute::ComputeContext::shared()),
      binder_(context_) {
    queue_ = std::make_unique<compute::ComputeQueue>(context_);
    phasesX_ = smallRatio(outWidth, inWidth);
    phasesY_ = smallRatio(outHeight, inHeight);
    std::string ratios;
    if (phasesX_)
        ratios += " -DPHASES_X=" + std::to_string(phasesX_->first) +
                  " -DSTEP_X=" + std::to_string(phasesX_->second);
    if (phasesY_)
        ratios += " -DPHASES_Y=" + std::to_string(phasesY_->first) +
                  " -DSTEP_Y=" + std::to_string(phasesY_->second);
    // Both plane kinds' kernels in one program (see resample.cl): the CPU
    // device keeps every built program's compiled form while its kernels
    // live, and one program keeps what the kinds share once.
    cl_program resample = context_->program("resample", resampleSources(), ratios);
    for (int plane = 0; plane < 2; ++plane) {
        const std::string kind = plane == 0 ? "Luma" : "Chroma";
        rows_[plane] = context_->kernel(
            resample, ((phasesX_ ? "resampleRowsPhased" : "resampleRows") + kind).c_str());
        columns_[plane] = context_->kernel(
            resample, ((phasesY_ ? "resampleColumnsPhased" : "resampleColumns") + kind).c_str());
    }
    if (!Picture::usableSize(outWidth, outHeight) || !Picture::usableSize(inWidth, inHeight))
        throw EnhanceError("No " + sizeText(outWidth, outHeight) + " pixel buffer pool.");
    pool_ = std::make_unique<PicturePool>(outWidth, outHeight, 4, deviceStorage(context_));

    switch (method_.kind) {
    case ScaleMethod::Kind::Bilinear:
    case ScaleMethod::Kind::Bicubic: break;
    case ScaleMethod::Kind::Neural:
        throw EnhanceError(method_.description() + " runs in NeuralScaler, not as a shader.");
    case ScaleMethod::Kind::Hook: {
        const std::optional<std::string> directory = shaderDirectory();
        if (!directory)
            throw EnhanceError("The upscaling shaders are missing (CORVEL_SHADER_DIR).");
        hook_ = std::make_unique<HookShader>(*queue_, *directory, method_.name);
        if (hook_->hooked() != "LUMA")
            throw EnhanceError("Shader " + method_.name + " hooks " + hook_->hooked() +
                               "; only LUMA shaders are run.");
        cl_program program = context_->program("hook", {kernels::common, kernels::hook});
        hookToLuma_ = context_->kernel(program, "hookToLuma");
        break;
    }
    }

    const std::optional<int> band =
        envIntIn("CORVEL_ENHANCE_SCALER_BAND_ROWS", 0, 16384, "upscaler",
                 "bands of " + std::to_string(kDefaultBandRows) + " rows");
    setBandRows(band.value_or(kDefaultBandRows));
}

std::vector<const char*> ShaderScaler::resampleSources() {
    return {kernels::common, kLumaKind, kernels::resample, kChromaKind, kernels::resample};
}

void ShaderScaler::setBandRows(int rows) {
    bandRows_ = std::max(rows, 0);
    planBands();
}

void ShaderScaler::planBands() {
    tempBytes_ = 0;
    temp_.reset();
    for (int plane = 0; plane < 2; ++plane) {
        bands_[plane].clear();
        const int shift = plane == 0 ? 0 : 1;
        const int srcH = inHeight_ >> shift;
        const int dstW = outWidth_ >> shift;
        const int dstH = outHeight_ >> shift;
        if ((inWidth_ >> shift) == dstW && srcH == dstH) continue; // copied, no passes
        if (plane == 0 && hook_) continue; // the hook shader makes the luma
        // The phased column pass makes `phases` rows a work item; both
        // planes' heights are whole periods.
        const int phases = phasesY_ ? phasesY_->first : 1;
        const int periods = dstH / phases;
        const int perBand = bandRows_ > 0 ? std::max(1, (bandRows_ >> shift) / phases) : periods;
        auto position = [&](int row) { return (row + 0.5) * srcH / dstH - 0.5; };
        int most = 0;
        for (int first = 0; first < periods; first += perBand) {
            const int count = std::min(perBand, periods - first);
            // A row's taps are firstTap(p) - 1 ... firstTap(p) + 2; one row
            // more on each side covers the kernels' single-precision
            // position, which may round across a whole row.
            const int top = std::max(0, static_cast<int>(std::floor(position(first * phases))) - 2);
            const int bottom = std::min(
                srcH - 1,
                static_cast<int>(std::floor(position((first + count) * phases - 1))) + 3);
            bands_[plane].push_back({first, count, top, bottom - top + 1});
            most = std::max(most, bottom - top + 1);
        }
        // Chroma: two floats a pair.
        const size_t bytes = sizeof(float) * static_cast<size_t>(dstW) * (plane == 0 ? 1 : 2) *
                             static_cast<size_t>(most);
        tempBytes_ = std::max(tempBytes_, bytes);
    }
    // One buffer serves both planes: the queue runs in order, so the chroma
    // plane's first row pass starts after the luma plane's last column pass
    // has read its rows.
    if (tempBytes_ == 0) return;
    cl_int status = CL_SUCCESS;
    temp_.reset(
        clCreateBuffer(context_->context(), CL_MEM_READ_WRITE, tempBytes_, nullptr, &status));
    compute::check(status, "clCreateBuffer");
}

std::pair<compute::Event, compute::Event> ShaderScaler::resizePlane(int plane,
                                                                    const DevicePlanes& in,
                                                                    const DevicePlanes& out,
                                                                    cl_uint mode) {
    const int shift = plane == 0 ? 0 : 1;
    const cl_int srcW = inWidth_ >> shift;
    const cl_int srcH = inHeight_ >> shift;
    const cl_int dstW = outWidth_ >> shift;
    const cl_int dstH = outHeight_ >> shift;
    const cl_uint inOffset = plane == 0 ? in.lumaOffset : in.chromaOffset;
    const cl_uint outOffset = plane == 0 ? out.lumaOffset : out.chromaOffset;

    if (srcW == dstW && srcH == dstH) {
        // Same size: the samples themselves, whatever the mode.
        const size_t word = sizeof(uint16_t);
        compute::Event copy = queue_->copyRect(
            in.mem, inOffset * word, static_cast<size_t>(in.stride) * word, out.mem,
            outOffset * word, static_cast<size_t>(out.stride) * word,
            static_cast<size_t>(dstW) * (plane == 0 ? 1 : 2) * word, static_cast<size_t>(dstH));
        compute::Event first = retained(copy.get());
        return {std::move(first), std::move(copy)};
    }

    cl_mem temp = temp_.get();
    cl_kernel rows = rows_[plane].get();
    cl_kernel columns = columns_[plane].get();
    // A phased pass takes one work item per period of `phases` destination
    // samples; the luma and chroma sizes are both whole periods.
    const size_t rowItems = phasesX_ ? static_cast<size_t>(dstW / phasesX_->first)
                                     : static_cast<size_t>(dstW);
    // The bands run in queue order, each band's row pass after the column
    // pass before it, so one band's buffer serves them all.
    compute::Event first;
    compute::Event last;
    for (const Band& band : bands_[plane]) {
        compute::setArgs(rows, in.mem, inOffset, in.stride, srcW, srcH, cl_int(band.firstRow),
                         cl_int(band.rowCount), temp, dstW, mode);
        compute::Event made =
            queue_->run(rows, rowItems, static_cast<size_t>(band.rowCount), kGroupW, kGroupH);
        if (!first) first = std::move(made);
        compute::setArgs(columns, temp, srcH, cl_int(band.firstRow), out.mem, outOffset,
                         out.stride, dstW, dstH, cl_int(band.firstOut), cl_int(band.outCount),
                         mode);
        last = queue_->run(columns, static_cast<size_t>(dstW), static_cast<size_t>(band.outCount),
                           kGroupW, kGroupH);
    }
    return {std::move(first), std::move(last)};
}

std::pair<compute::Event, compute::Event> ShaderScaler::submit(const DevicePlanes& in,
                                                               const DevicePlanes& to) {
    const cl_uint lumaMode = method_.kind == ScaleMethod::Kind::Bicubic ? 1 : 0;
    const cl_uint chromaMode = lumaMode; // hook methods: bilinear chroma
    std::pair<compute::Event, compute::Event> luma;
    if (hook_) {
        HookShader::Encoded hooked = hook_->encode(in, inWidth_, inHeight_, {outWidth_, outHeight_});
        const HookTexture& result = *hooked.result;
        compute::setArgs(hookToLuma_.get(), result.mem.get(), cl_int(result.width),
                         cl_int(result.height), cl_int(result.components), to.mem, to.lumaOffset,
                         to.stride, cl_int(outWidth_), cl_int(outHeight_));
        compute::Event placed = queue_->run(hookToLuma_.get(), size_t(outWidth_),
                                            size_t(outHeight_), kGroupW, kGroupH);
        luma = {std::move(hooked.first), std::move(placed)};
    } else {
        luma = resizePlane(0, in, to, lumaMode);
    }
    auto chroma = resizePlane(1, in, to, chromaMode);
    queue_->flush();
    return {std::move(luma.first), std::move(chroma.second)};
}

PictureRef ShaderScaler::scale(const PictureRef& picture) {
    requireSize(picture, inWidth_, inHeight_, "The upscaler");
    PictureRef out = takeOutput(*pool_, "No output pixel buffer.");
    out->color = picture->color;

    // Pipelined, the caller may let the picture go before the work ends:
    // it is copied. Otherwise the work is waited for here, so a picture in
    // host memory is read in place and let go right after.
    const DevicePlanes in =
        pipelined_ ? binder_.input(*picture, *queue_) : binder_.borrowInput(*picture, *queue_);
    const DevicePlanes to = PictureBinder::output(*out);
    const auto started = std::chrono::steady_clock::now();
    std::pair<compute::Event, compute::Event> work;
    try {
        work = submit(in, to);
    } catch (...) {
        // Work already queued may still read the borrowed samples.
        clFinish(queue_->get());
        binder_.releaseBorrowed();
        throw;
    }

    if (pipelined_) {
        last_ = std::move(work.second);
        if (!context_->zeroCopy()) PictureBinder::written(*out, *queue_);
        return out;
    }

    cl_event lastEvent = work.second.get();
    const cl_int failed = compute::ComputeQueue::wait(lastEvent);
    if (failed != CL_SUCCESS) clFinish(queue_->get()); // nothing may still read the input
    binder_.releaseBorrowed();
    const double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    if (failed != CL_SUCCESS) throw EnhanceError("The upscaler's GPU work failed: " + eventError(failed));
    tally_.add(compute::ComputeQueue::spanMs(work.first.get(), lastEvent), wallMs);
    PictureBinder::written(*out, *queue_);
    return out;
}

double ShaderScaler::takeMs(bool wall) {
    const ScaleTimes times = tally_.take();
    return wall ? times.wall : times.gpu;
}

ScaleTimes ShaderScaler::takeBoth() { return tally_.take(); }

void ShaderScaler::drain() {
    if (!last_) return;
    cl_event event = last_.get();
    clWaitForEvents(1, &event);
}

std::optional<double> ShaderScaler::medianMs(const std::string& name) {
    try {
        ShaderScaler scaler(ScaleMethod::parse(name), 1920, 1080, 3840, 2160);
        PicturePool sources(1920, 1080, 1, deviceStorage(scaler.context_));
        PictureRef source = sources.take();
        fillGreyRamp(*source);
        std::vector<double> kept;
        for (int run = 0; run < 25; ++run) {
            scaler.scale(source);
            const double ms = scaler.takeMs(false);
            if (run >= 5) kept.push_back(ms);
        }
        std::sort(kept.begin(), kept.end());
        return kept[10];
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

double ShaderScaler::defaultBudgetMs() {
    auto value = rawEnv("CORVEL_ENHANCE_UPSCALER_BUDGET_MS");
    auto parsed = value ? parseDouble(*value) : std::nullopt;
    return parsed ? *parsed : 6.0;
}

double ShaderScaler::defaultMaxMs() {
    auto value = rawEnv("CORVEL_ENHANCE_UPSCALER_MAX_MS");
    auto parsed = value ? parseDouble(*value) : std::nullopt;
    return parsed ? *parsed : 12.0;
}

std::optional<double> ShaderScaler::quickMs(const std::string& name, int inWidth, int inHeight) {
    try {
        ShaderScaler scaler(ScaleMethod::parse(name), inWidth, inHeight, 2 * inWidth, 2 * inHeight);
        PicturePool sources(inWidth, inHeight, 1, deviceStorage(scaler.context_));
        PictureRef source = sources.take();
        fillGreyRamp(*source);
        return scaler.leastOfTwoMs(source, false);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::pair<std::string, double> ShaderScaler::pick(const std::string& best,
                                                  const std::string& fallback,
                                                  std::optional<double> budgetMs,
                                                  std::optional<double> maxMs,
                                                  const Measure& measure) {
    const double budget = budgetMs ? *budgetMs : defaultBudgetMs();
    const double ceiling = maxMs ? *maxMs : defaultMaxMs();
    const Measure time = measure ? measure : [](const std::string& name, double) { return medianMs(name); };
    const std::optional<double> b = time(best, budget);
    if (b && *b <= budget) return {best, *b};
    const std::optional<double> f = time(fallback, ceiling);
    if (f && *f > ceiling) {
        logf("upscaler: " + ScaleMethod::parse(fallback).description() + " took " + fmt(2, *f) +
             " ms for 1080p -> 4K, over " + fmt(1, ceiling) + " ms: no upscaling on this GPU");
        return {"", b.value_or(0.0)};
    }
    return {fallback, b.value_or(0.0)};
}

} // namespace corvel
