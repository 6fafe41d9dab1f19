#include "processing/InverseToneMap.h"

#include "common/EnhanceError.h"
#include "common/SourceColor.h"
#include "processing/KernelSources.h"

namespace corvel {


InverseToneMap::InverseToneMap(int width, int height, const ToneParams& tone,
                               std::shared_ptr<compute::ComputeContext> device)
    : params(tone),
      width_(width),
      height_(height),
      context_(device ? std::move(device) : compute::ComputeContext::shared()),
      binder_(context_) {
    queue_ = std::make_unique<compute::ComputeQueue>(context_);
    cl_program program = context_->program("itm", {kernels::common, kernels::itm});
    kernel_ = context_->kernel(program, "itm");
    if (!Picture::usableSize(width, height))
        throw EnhanceError("No " + sizeText(width, height) + " HDR pixel buffer pool.");
    pool_ = std::make_unique<PicturePool>(width, height, 4, deviceStorage(context_));
}

PictureRef InverseToneMap::apply(const PictureRef& picture) {
    requireSize(picture, width_, height_, "The HDR lift");
    PictureRef out = takeOutput(*pool_, "No HDR pixel buffer.");
    out->color = PictureColor{};
    out->color.primaries = color::kPrimaries2020;
    out->color.transfer = color::kTransferPQ;
    out->color.matrix = color::kMatrix2020;

    const DevicePlanes in = binder_.input(*picture, *queue_);
    const DevicePlanes to = PictureBinder::output(*out);
    const ToneKernel constants = params.kernel();
    const cl_int chromaW = width_ / 2;
    const cl_int chromaH = height_ / 2;
    compute::setArgs(kernel_.get(), in.mem, in.lumaOffset, in.chromaOffset, in.stride, to.mem,
                     to.lumaOffset, to.chromaOffset, to.stride, chromaW, chromaH, constants);
    // Each work item makes four chroma samples (see itm.cl).
    compute::Event done = queue_->run(kernel_.get(), static_cast<size_t>((chromaW + 3) / 4),
                                      static_cast<size_t>(chromaH), 16, 1);
    cl_event event = done.get();
    if (const cl_int failed = compute::ComputeQueue::wait(event); failed != CL_SUCCESS)
        throw EnhanceError("Inverse tone mapping failed: the device reported status " +
                           std::to_string(failed) + ".");
    gpuMs += compute::ComputeQueue::spanMs(event, event);
    calls += 1;
    PictureBinder::written(*out, *queue_);
    return out;
}

double InverseToneMap::takeMs() {
    const double result = calls < 1 ? 0.0 : gpuMs / calls;
    gpuMs = 0;
    calls = 0;
    return result;
}

} // namespace corvel
