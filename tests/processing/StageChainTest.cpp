#include "compute/SharedBuffer.h"
#include "processing/DeepenBlacks.h"
#include "processing/DevicePicture.h"
#include "processing/InverseToneMap.h"
#include "processing/KernelReference.h"
#include "processing/KernelSources.h"
#include "processing/ShaderScaler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

using namespace corvel;

namespace {

double liftedWorst(const Picture& in, const Picture& out, const ToneKernel& k) {
    double worst = 0;
    for (int cy = 0; cy < in.height / 2; ++cy)
        for (int cx = 0; cx < in.width / 2; ++cx) {
            const reference::ItmBlock want = reference::itm(in, cx, cy, k);
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i)
                    worst = std::max(worst, std::abs(out.row(0, 2 * cy + j)[2 * cx + i] / 65535.0 -
                                                     want.luma[j * 2 + i]) * 1023.98);
            worst = std::max(worst, std::abs(out.row(1, cy)[2 * cx] / 65535.0 - want.cb) * 1023.98);
        }
    return worst;
}

} // namespace

// A picture in host memory goes through blacks, the upscaler and the HDR
// lift, each stage taking the previous one's output in place: on a context
// that shares memory and on one that copies (one upload, one download).
TEST(StageChain, EachStageSeesThePreviousOutput) {
    for (auto transfer : {compute::Transfer::Auto, compute::Transfer::Copy}) {
        auto context = transfer == compute::Transfer::Auto
                           ? compute::ComputeContext::shared()
                           : compute::ComputeContext::create("cpu", transfer);
        DeepenBlacks blacks(context);
        ShaderScaler scaler({ScaleMethod::Kind::Bicubic, ""}, 30, 18, 60, 36, context);
        InverseToneMap lift(60, 36, ToneParams{}, context);

        PictureRef raised = makePicture(30, 18);
        fillPicture(*raised, 117, 512, 512);
        blacks.measure(*raised, 0.0);
        ASSERT_GT(blacks.reading().lift, 0.0f);

        PictureRef source = makePicture(30, 18);
        reference::fillRandom(*source, 41, 64, 500);
        for (int round = 0; round < 2; ++round) { // the second round reuses pooled pictures
            PictureRef deepened = blacks.apply(source);
            ASSERT_NE(deepened, source);
            const reference::ItmBlock corner =
                reference::deepen(*source, 0, 0, blacks.reading().lift);
            EXPECT_NEAR(deepened->row(0, 0)[0] / 65535.0, corner.luma[0], 1.0 / 1023.98);
            PictureRef scaled = scaler.scale(deepened);
            EXPECT_LE(reference::worstResampleCodes(*deepened, *scaled, 1), 1.0);
            PictureRef lifted = lift.apply(scaled);
            EXPECT_LE(liftedWorst(*scaled, *lifted, ToneParams{}.kernel()), 1.0);
            reference::fillRandom(*source, 42, 64, 500);
        }
    }
}

// The shared kernel header's bilinear samples, at arbitrary normalised
// points inside and outside the plane, against the same arithmetic in C++.
TEST(KernelHeader, BilinearSamplesClampToTheEdge) {
    auto context = compute::ComputeContext::shared();
    static const char* probe = R"CL(
        __kernel void probe(__global const ushort* plane, uint chromaOffset, int stride,
                            int width, int height, __global const float2* points,
                            __global float* out) {
            const int i = get_global_id(0);
            out[3 * i] = sampleLuma(plane, stride, width, height, points[i]);
            const float2 pair = samplePair(plane + chromaOffset, stride, width / 2, height / 2,
                                           points[i]);
            out[3 * i + 1] = pair.x;
            out[3 * i + 2] = pair.y;
        })CL";
    cl_program program = context->program("header probe", {kernels::common, probe});
    compute::Kernel kernel = context->kernel(program, "probe");
    compute::ComputeQueue queue(context);

    PicturePool pool(22, 14, 0, deviceStorage(context));
    PictureRef picture = pool.take();
    reference::fillRandom(*picture, 51);
    const std::vector<std::array<float, 2>> points = {
        {0.5f, 0.5f}, {0.0f, 0.0f}, {1.0f, 1.0f}, {-0.3f, 0.4f}, {0.13f, 1.7f}, {0.77f, 0.31f}};
    compute::SharedBuffer in(context, points.size() * sizeof(float) * 2);
    std::memcpy(in.host(), points.data(), points.size() * sizeof(float) * 2);
    compute::SharedBuffer out(context, points.size() * sizeof(float) * 3);
    const DevicePlanes planes = PictureBinder::output(*picture);
    compute::setArgs(kernel.get(), planes.mem, planes.chromaOffset, planes.stride, cl_int{22},
                     cl_int{14}, in.mem(), out.mem());
    in.toDevice(queue);
    queue.run(kernel.get(), points.size(), 1);
    queue.finish();
    out.toHost(queue);
    const float* got = static_cast<const float*>(out.host());

    auto bilinear = [&](int plane, int comp, float u, float v) {
        const int comps = plane == 0 ? 1 : 2;
        const int w = plane == 0 ? 22 : 11;
        const int h = plane == 0 ? 14 : 7;
        auto texel = [&](int x, int y) {
            x = std::clamp(x, 0, w - 1);
            y = std::clamp(y, 0, h - 1);
            return picture->row(plane, y)[x * comps + comp] / 65535.0;
        };
        const double px = static_cast<double>(u) * w - 0.5, py = static_cast<double>(v) * h - 0.5;
        const double fx = px - std::floor(px), fy = py - std::floor(py);
        const int x0 = static_cast<int>(std::floor(px)), y0 = static_cast<int>(std::floor(py));
        return (texel(x0, y0) * (1 - fx) + texel(x0 + 1, y0) * fx) * (1 - fy) +
               (texel(x0, y0 + 1) * (1 - fx) + texel(x0 + 1, y0 + 1) * fx) * fy;
    };
    for (size_t i = 0; i < points.size(); ++i) {
        const auto [u, v] = points[i];
        EXPECT_NEAR(got[3 * i], bilinear(0, 0, u, v), 1e-5) << i;
        EXPECT_NEAR(got[3 * i + 1], bilinear(1, 0, u, v), 1e-5) << i;
        EXPECT_NEAR(got[3 * i + 2], bilinear(1, 1, u, v), 1e-5) << i;
    }
}
