#include "processing/Interpolator.h"

#include "common/EnhanceError.h"
#include "common/Fmt.h"
#include "common/Log.h"
#include "compute/SharedBuffer.h"
#include "processing/KernelSources.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace corvel {

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The pictures are addressed with 32-bit offsets in the kernel, and the
// flow needs a few patches on each axis.
bool sizeAccepted(int width, int height) {
    return width >= 32 && height >= 32 && width % 2 == 0 && height % 2 == 0 && width <= 8192 &&
           height <= 8192;
}

} // namespace

// One source picture as the flow sees it: its luma at the flow's size, 8 bits.
struct Reduced {
    const Picture* picture = nullptr; // identity only, never dereferenced
    double pts = -1.0;
    cv::Mat luma; // CV_8UC1, flowW x flowH
};

struct Interpolator::Flow {
    int width = 0;  // the flow's working size, samples
    int height = 0;
    cv::Ptr<cv::DISOpticalFlow> dis;
    cv::Mat wide;  // scratch: reduced 16-bit luma
    Reduced a, b;  // the pair whose flows are below
    // Both flows as float2 fields that the kernel reads in place; the cv::Mat
    // headers view the same host memory, so DIS writes straight into them.
    std::unique_ptr<compute::SharedBuffer> forwardBuffer, backwardBuffer;
    cv::Mat forward, backward; // CV_32FC2, flow samples
    bool pairReady = false;    // forward and backward belong to a and b
    bool seedValid = false;    // forward and backward may seed the next pair
    double pairLevel = 0;      // the pair's difference after warping, 8-bit levels

    void reduce(const Picture& picture, double pts, Reduced& into) {
        cv::Mat full(picture.height, picture.width, CV_16UC1,
                     const_cast<uint16_t*>(picture.plane(0)), picture.stride * sizeof(uint16_t));
        // A word holds code x 64, so word / 256 is the code / 4: 8-bit levels.
        if (width == picture.width && height == picture.height) {
            full.convertTo(into.luma, CV_8U, 1.0 / 256.0);
        } else {
            cv::resize(full, wide, cv::Size(width, height), 0, 0, cv::INTER_AREA);
            wide.convertTo(into.luma, CV_8U, 1.0 / 256.0);
        }
        into.picture = &picture;
        into.pts = pts;
    }

    // Mean absolute difference of A and B after moving A's samples along the
    // forward flow, on every fourth sample of every fourth row: an unrelated
    // pair stays far apart however the flow bends, a moving scene does not.
    double warpedLevel() const {
        long sum = 0;
        long count = 0;
        for (int y = 0; y < height; y += 4) {
            const uint8_t* rowA = a.luma.ptr<uint8_t>(y);
            const cv::Vec2f* f = forward.ptr<cv::Vec2f>(y);
            for (int x = 0; x < width; x += 4) {
                const int bx = std::clamp(static_cast<int>(std::lround(static_cast<float>(x) + f[x][0])), 0, width - 1);
                const int by = std::clamp(static_cast<int>(std::lround(static_cast<float>(y) + f[x][1])), 0, height - 1);
                sum += std::abs(static_cast<int>(rowA[x]) - b.luma.at<uint8_t>(by, bx));
                count += 1;
            }
        }
        return count > 0 ? static_cast<double>(sum) / static_cast<double>(count) : 0.0;
    }
};

Interpolator::Interpolator(int width, int height, std::shared_ptr<compute::ComputeContext> device,
                           Tuning tuning)
    : width_(width),
      height_(height),
      tuning_(tuning),
      context_(device ? std::move(device) : compute::ComputeContext::shared()),
      binderA_(context_),
      binderB_(context_) {
    if (!sizeAccepted(width, height))
        throw EnhanceError("VTFrameRateConversion does not take " + sizeText(width, height) + ".");
    queue_ = std::make_unique<compute::ComputeQueue>(context_);
    cl_program program = context_->program("interp", {kernels::common, kernels::interp});
    kernel_ = context_->kernel(program, "interp");
    sourcePool_ = std::make_unique<PicturePool>(width, height, 4, deviceStorage(context_));
    destinationPool_ = std::make_unique<PicturePool>(width, height, 4, deviceStorage(context_));

    flow_ = std::make_unique<Flow>();
    const int longer = std::max(width, height);
    const int target = std::max(tuning_.flowLongSide, 32);
    if (longer <= target) {
        flow_->width = width;
        flow_->height = height;
    } else {
        const double scale = static_cast<double>(target) / longer;
        flow_->width = std::max(16, static_cast<int>(std::lround(width * scale)));
        flow_->height = std::max(16, static_cast<int>(std::lround(height * scale)));
    }
    flow_->dis = cv::DISOpticalFlow::create(std::clamp(tuning_.preset, 0, 2));
    const size_t bytes = static_cast<size_t>(flow_->width) * flow_->height * 2 * sizeof(float);
    flow_->forwardBuffer = std::make_unique<compute::SharedBuffer>(context_, bytes);
    flow_->backwardBuffer = std::make_unique<compute::SharedBuffer>(context_, bytes);
    flow_->forward = cv::Mat(flow_->height, flow_->width, CV_32FC2, flow_->forwardBuffer->host());
    flow_->backward = cv::Mat(flow_->height, flow_->width, CV_32FC2, flow_->backwardBuffer->host());
}

Interpolator::~Interpolator() = default;

int Interpolator::flowWidth() const { return flow_->width; }
int Interpolator::flowHeight() const { return flow_->height; }

PictureRef Interpolator::source(const PictureRef& decoded) {
    if (!decoded || decoded->width != width_ || decoded->height != height_)
        throw EnhanceError("pixel transfer: -1");
    if (auto* storage = dynamic_cast<DeviceStorage*>(&decoded->storage());
        storage && &storage->buffer().context() == context_.get())
        return decoded;
    PictureRef copy;
    try {
        copy = sourcePool_->take();
    } catch (const EnhanceError&) {
        throw EnhanceError("pixel buffer: -1");
    }
    for (int plane = 0; plane < 2; ++plane) {
        const size_t rowBytes = static_cast<size_t>(width_) * sizeof(uint16_t);
        for (int y = 0; y < decoded->planeHeight(plane); ++y)
            std::memcpy(copy->row(plane, y), decoded->row(plane, y), rowBytes);
    }
    copy->color = decoded->color;
    return copy;
}

PictureRef Interpolator::between(const PictureRef& a, double tA, const PictureRef& b, double tB,
                                 float phase) noexcept {
    const Submission mode =
        std::abs(lastNextPts - tA) < 1e-6 ? Submission::Sequential : Submission::Random;
    lastSubmission_ = mode;
    const Clock::time_point start = Clock::now();
    std::string failure;
    try {
        PictureRef out = make(a, tA, b, tB, phase, mode, failure);
        if (out) {
            lastNextPts = tB;
            spentMs += msSince(start);
            calls += 1;
            return out;
        }
    } catch (const EnhanceError& error) {
        failure = error.description();
    } catch (const std::exception& error) {
        failure = error.what();
    } catch (...) {
        failure = "unknown error";
    }
    lastNextPts = -1.0;
    // A cut asked for at several phases is logged once (make leaves
    // `failure` empty for the repeats).
    if (!failure.empty()) {
        try {
            logf("interpolator: in-between frame at " + fmt(3, tA) + " s failed (" + failure +
                 "); the frame repeats");
        } catch (...) {
        }
    }
    return nullptr;
}

PictureRef Interpolator::make(const PictureRef& a, double tA, const PictureRef& b, double tB,
                              float phase, Submission mode, std::string& failure) {
    requireSize(a, width_, height_, "The interpolator");
    requireSize(b, width_, height_, "The interpolator");
    if (!(tB > tA)) throw EnhanceError("the later picture is not later");
    phase = std::isfinite(phase) ? std::clamp(phase, 0.0f, 1.0f) : 0.5f;
    Flow& flow = *flow_;

    // Flows: kept when the same pair is asked again (several phases of one
    // pair); otherwise B's reduced luma of the previous pair becomes this
    // pair's A when the pair continues the sequence, and both flows are new.
    // The previous backward flow (B to A) says nothing exact about the new
    // forward one (B to C), so no flow is carried over.
    const Clock::time_point flowStart = Clock::now();
    const bool samePair = flow.pairReady && flow.a.picture == a.get() && flow.b.picture == b.get() &&
                          flow.a.pts == tA && flow.b.pts == tB;
    if (!samePair) {
        flow.pairReady = false;
        const bool reused =
            mode == Submission::Sequential && flow.b.picture == a.get() && flow.b.pts == tA;
        if (reused) {
            std::swap(flow.a, flow.b);
            figures_.reducedReused += 1;
        } else {
            flow.reduce(*a, tA, flow.a);
        }
        flow.reduce(*b, tB, flow.b);
        // DIS starts from the field it is handed when that has the flow's
        // size and type, as ours always has. A continuing pair may start
        // from the previous pair's flows (same directions, one picture
        // earlier: right for steady motion); anything else starts at rest.
        const bool seeded = tuning_.seedSequential && reused && flow.seedValid;
        if (!seeded) {
            flow.forward.setTo(cv::Scalar::all(0));
            flow.backward.setTo(cv::Scalar::all(0));
        }
        flow.seedValid = false;
        flow.dis->calc(flow.a.luma, flow.b.luma, flow.forward);
        flow.dis->calc(flow.b.luma, flow.a.luma, flow.backward);
        if (flow.forward.data != flow.forwardBuffer->host() ||
            flow.backward.data != flow.backwardBuffer->host())
            throw EnhanceError("the optical flow left its buffers");
        figures_.flows += 2;
        flow.pairLevel = flow.warpedLevel();
        flow.pairReady = true;
        flow.seedValid = flow.pairLevel <= tuning_.cutLevel; // a cut's flows seed nothing
        flow.forwardBuffer->hostChanged();
        flow.backwardBuffer->hostChanged();
    }
    figures_.flowMs += msSince(flowStart);

    if (flow.pairLevel > tuning_.cutLevel) {
        if (!samePair) figures_.cuts += 1;
        if (lastCutPts_ != tA) {
            lastCutPts_ = tA;
            failure = "scene cut: the pictures differ by " + fmt(1, flow.pairLevel) +
                      " levels after warping";
        }
        return nullptr;
    }

    const Clock::time_point synthesisStart = Clock::now();
    PictureRef out;
    try {
        out = destinationPool_->take();
    } catch (const EnhanceError&) {
        throw EnhanceError("pixel buffer: -1");
    }
    out->color = a->color;
    const DevicePlanes inA = binderA_.input(*a, *queue_);
    const DevicePlanes inB = binderB_.input(*b, *queue_);
    const DevicePlanes to = PictureBinder::output(*out);
    flow.forwardBuffer->toDevice(*queue_);
    flow.backwardBuffer->toDevice(*queue_);
    const cl_float2 toFlow{{static_cast<float>(flow.width) / static_cast<float>(width_),
                            static_cast<float>(flow.height) / static_cast<float>(height_)}};
    const cl_float2 fromFlow{{static_cast<float>(width_) / static_cast<float>(flow.width),
                              static_cast<float>(height_) / static_cast<float>(flow.height)}};
    compute::setArgs(kernel_.get(), inA.mem, inA.lumaOffset, inA.chromaOffset, inA.stride, inB.mem,
                     inB.lumaOffset, inB.chromaOffset, inB.stride, to.mem, to.lumaOffset,
                     to.chromaOffset, to.stride, static_cast<cl_int>(width_),
                     static_cast<cl_int>(height_), flow.forwardBuffer->mem(),
                     flow.backwardBuffer->mem(), static_cast<cl_int>(flow.width),
                     static_cast<cl_int>(flow.height), toFlow, fromFlow,
                     static_cast<cl_float>(phase));
    compute::Event done = queue_->run(kernel_.get(), static_cast<size_t>(width_ / 2),
                                      static_cast<size_t>(height_ / 2), 16, 1);
    if (const cl_int status = compute::ComputeQueue::wait(done.get()); status != CL_SUCCESS)
        throw EnhanceError("the device reported status " + std::to_string(status));
    PictureBinder::written(*out, *queue_);
    figures_.synthesisMs += msSince(synthesisStart);
    return out;
}

} // namespace corvel
