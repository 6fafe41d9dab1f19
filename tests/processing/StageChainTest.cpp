#include "processing/DeepenBlacks.h"
#include "processing/InverseToneMap.h"
#include "processing/KernelReference.h"
#include "processing/ShaderScaler.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace corvel;

namespace {

double scaledWorst(const Picture& in, const Picture& out) {
    double worst = 0;
    for (int plane = 0; plane < 2; ++plane) {
        const int comps = plane == 0 ? 1 : 2;
        const int w = plane == 0 ? out.width : out.width / 2;
        for (int y = 0; y < out.planeHeight(plane); ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < comps; ++c) {
                    const double want =
                        reference::resample(in, plane, c, w, out.planeHeight(plane), x, y, 1);
                    worst = std::max(worst, std::abs(out.row(plane, y)[x * comps + c] / 65535.0 -
                                                     want) * 65535.0 / 64.0);
                }
    }
    return worst;
}

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
            EXPECT_LE(scaledWorst(*deepened, *scaled), 1.0);
            PictureRef lifted = lift.apply(scaled);
            EXPECT_LE(liftedWorst(*scaled, *lifted, ToneParams{}.kernel()), 1.0);
            reference::fillRandom(*source, 42, 64, 500);
        }
    }
}
