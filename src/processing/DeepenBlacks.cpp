#include "processing/DeepenBlacks.h"

#include "common/EnhanceError.h"
#include "processing/KernelSources.h"

#include <algorithm>

namespace corvel {

DeepenBlacks::DeepenBlacks(std::shared_ptr<compute::ComputeContext> device)
    : context_(device ? std::move(device) : compute::ComputeContext::shared()), binder_(context_) {
    queue_ = std::make_unique<compute::ComputeQueue>(context_);
    cl_program program = context_->program("deepen", {kernels::common, kernels::deepen});
    kernel_ = context_->kernel(program, "deepen");
}

void DeepenBlacks::measure(const Picture& picture, double pts) {
    const uint16_t* luma = picture.plane(0);
    if (luma == nullptr || picture.width <= 0 || picture.height <= 0) return;
    const int w = picture.width;
    const int h = picture.height;
    const size_t stride = picture.stride;

    // 144 rows x 256 columns over the central 60 % of the picture. Bin b
    // holds video-range levels b/1024 ... (b+1)/1024; bin 255 everything
    // from 255/1024 up.
    int bins[256] = {};
    for (int k = 0; k < 144; ++k) {
        const int y = std::min(h - 1, static_cast<int>(0.2 * h + k * 0.6 * h / 144));
        const uint16_t* row = luma + static_cast<size_t>(y) * stride;
        for (int i = 0; i < 256; ++i) {
            const int x = std::min(w - 1, static_cast<int>(0.2 * w + i * 0.6 * w / 256));
            const int code = row[x] >> 6;
            float v = static_cast<float>(code - 64) / 876.0f;
            if (!(v > 0.0f)) v = 0.0f;
            bins[std::min(static_cast<int>(v * 1024.0f), 255)] += 1;
        }
    }
    const int total = 144 * 256;
    const int target = (total + 99) / 100; // the darkest 1 %, rounded up
    int sum = 0;
    int found = -1;
    for (int b = 0; b < 255; ++b) {
        sum += bins[b];
        if (sum >= target) {
            found = b;
            break;
        }
    }
    if (found < 0) return;
    float p = (static_cast<float>(found) + 0.5f) / 1024.0f;
    if (p >= 0.15f) return; // a bright picture says nothing about the black level

    std::lock_guard guard(lock_);
    if (floor_ >= 0.0f) {
        const double dt = pts - floorPts_;
        const double weight = dt <= 0 ? 0.0 : dt <= 1 ? dt * 0.125 : 0.125;
        p = floor_ + (p - floor_) * static_cast<float>(weight);
    }
    floor_ = p;
    floorPts_ = pts;
    const float f = std::min(p, 0.12f);
    lift_ = f > 0.016f ? (f - 0.016f) / ((1 - 2 * f) * (1 - 2 * f)) : 0.0f;
}

PictureRef DeepenBlacks::apply(const PictureRef& picture) {
    const float lift = reading().lift;
    if (!(lift > 0.0f)) return picture;
    if (!picture) throw EnhanceError("Deepen blacks failed: no picture.");

    if (!pool_ || poolWidth_ != picture->width || poolHeight_ != picture->height) {
        pool_ = std::make_unique<PicturePool>(picture->width, picture->height, 4,
                                              deviceStorage(context_));
        poolWidth_ = picture->width;
        poolHeight_ = picture->height;
    }
    PictureRef out = takeOutput(*pool_, "No buffer for Deepen blacks.");
    out->color = picture->color;

    const DevicePlanes in = binder_.input(*picture, *queue_);
    const DevicePlanes to = PictureBinder::output(*out);
    const cl_int w = picture->width;
    const cl_int h = picture->height;
    const cl_float knee = 0.5f;
    compute::setArgs(kernel_.get(), in.mem, in.lumaOffset, in.chromaOffset, in.stride, to.mem,
                     to.lumaOffset, to.chromaOffset, to.stride, w, h, cl_float{lift}, knee);
    compute::Event done =
        queue_->run(kernel_.get(), static_cast<size_t>(w / 2), static_cast<size_t>(h / 2), 64, 1);
    cl_event event = done.get();
    if (const cl_int failed = compute::ComputeQueue::wait(event); failed != CL_SUCCESS)
        throw EnhanceError("Deepen blacks failed: the device reported status " +
                           std::to_string(failed) + ".");
    PictureBinder::written(*out, *queue_);
    return out;
}

DeepenBlacks::Reading DeepenBlacks::reading() const {
    std::lock_guard guard(lock_);
    return {floor_, lift_};
}

double DeepenBlacks::floorPts() const {
    std::lock_guard guard(lock_);
    return floorPts_;
}

void DeepenBlacks::reset() {
    std::lock_guard guard(lock_);
    floor_ = -1.0f;
    lift_ = 0.0f;
    floorPts_ = 0.0;
}

} // namespace corvel
