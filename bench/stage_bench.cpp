// Per-picture cost of the picture stages on the compute device, side by side
// with libswscale's bicubic doing the same 1080p -> 4K scaling.
//
// Usage: stage_bench [pictures [only]]: `pictures` timed pictures per figure
// (default 30) after 3 warm-up pictures; `only` runs the figures whose name
// holds that word (bilinear, bicubic, ravu, fsrcnnx, itm, blacks, chain). Prints one line
// per figure: mean device time and mean elapsed time per picture in
// milliseconds, both over the same timed pictures.

#include "compute/ComputeContext.h"
#include "processing/DeepenBlacks.h"
#include "processing/DevicePicture.h"
#include "processing/InverseToneMap.h"
#include "processing/ShaderScaler.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

using namespace corvel;
using Clock = std::chrono::steady_clock;

namespace {

int pictures = 30;
std::string only; // run only the figures whose name contains this
constexpr int kWarmUp = 3;

// A colourful picture with smooth gradients, fine detail and a raised black
// level (codes from about 110), so that every stage has real work: the tone
// curve sees all levels and saturated hues, deepened blacks has a floor.
void fillTestPicture(Picture& p) {
    for (int y = 0; y < p.height; ++y) {
        uint16_t* row = p.row(0, y);
        for (int x = 0; x < p.width; ++x) {
            const double v = 0.5 + 0.25 * std::sin(x * 0.013) * std::cos(y * 0.021) +
                             0.2 * std::sin((x + y) * 0.31);
            const int code = 110 + static_cast<int>(std::clamp(v, 0.0, 1.0) * 800);
            row[x] = static_cast<uint16_t>(code << 6);
        }
    }
    for (int y = 0; y < p.height / 2; ++y) {
        uint16_t* row = p.row(1, y);
        for (int x = 0; x < p.width / 2; ++x) {
            row[2 * x] = static_cast<uint16_t>((512 + static_cast<int>(380 * std::sin(x * 0.01))) << 6);
            row[2 * x + 1] =
                static_cast<uint16_t>((512 + static_cast<int>(380 * std::cos(y * 0.017))) << 6);
        }
    }
}

double elapsedMs(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Runs `work` kWarmUp + pictures times and returns the mean elapsed
// milliseconds of the timed runs.
double timeWall(const std::function<void()>& work) {
    for (int i = 0; i < kWarmUp; ++i) work();
    const auto started = Clock::now();
    for (int i = 0; i < pictures; ++i) work();
    return elapsedMs(started) / pictures;
}

bool wanted(const std::string& name) { return only.empty() || name.find(only) != std::string::npos; }

void report(const std::string& what, double deviceMs, double wallMs) {
    if (deviceMs > 0)
        std::printf("%-58s device %8.2f ms   elapsed %8.2f ms\n", what.c_str(), deviceMs, wallMs);
    else
        std::printf("%-58s device %8s      elapsed %8.2f ms\n", what.c_str(), "-", wallMs);
    std::fflush(stdout);
}

void benchScaler(const ScaleMethod& method, const PictureRef& source) {
    ShaderScaler scaler(method, 1920, 1080, 3840, 2160);
    // Device time from the scaler's own statistics over the same pictures
    // as the elapsed time; the warm-up is left out of both.
    int runs = 0;
    const double wall = timeWall([&] {
        if (runs++ == kWarmUp) scaler.takeBoth();
        scaler.scale(source);
    });
    const ScaleTimes times = scaler.takeBoth();
    report(scaler.description() + " 1920x1080 -> 3840x2160", times.gpu, wall);
}

// libswscale's bicubic on the same picture, P010 in and out, with `threads`
// slice threads.
void benchSwscale(const Picture& source, int threads) {
    SwsContext* sws = sws_alloc_context();
    av_opt_set_int(sws, "srcw", 1920, 0);
    av_opt_set_int(sws, "srch", 1080, 0);
    av_opt_set_int(sws, "src_format", AV_PIX_FMT_P010LE, 0);
    av_opt_set_int(sws, "dstw", 3840, 0);
    av_opt_set_int(sws, "dsth", 2160, 0);
    av_opt_set_int(sws, "dst_format", AV_PIX_FMT_P010LE, 0);
    av_opt_set_int(sws, "sws_flags", SWS_BICUBIC, 0);
    av_opt_set_int(sws, "threads", threads, 0);
    if (sws_init_context(sws, nullptr, nullptr) < 0) {
        std::printf("libswscale: no context for %d threads\n", threads);
        sws_freeContext(sws);
        return;
    }
    AVFrame* in = av_frame_alloc();
    in->format = AV_PIX_FMT_P010LE;
    in->width = 1920;
    in->height = 1080;
    av_frame_get_buffer(in, 64);
    for (int plane = 0; plane < 2; ++plane)
        for (int y = 0; y < source.planeHeight(plane); ++y)
            std::memcpy(in->data[plane] + static_cast<size_t>(y) * in->linesize[plane],
                        source.row(plane, y), 1920 * sizeof(uint16_t));
    AVFrame* out = av_frame_alloc();
    out->format = AV_PIX_FMT_P010LE;
    out->width = 3840;
    out->height = 2160;
    av_frame_get_buffer(out, 64);
    const double wall = timeWall([&] {
        if (sws_scale_frame(sws, out, in) < 0) std::abort();
    });
    report("libswscale bicubic 1920x1080 -> 3840x2160, " + std::to_string(threads) +
               (threads == 1 ? " thread" : " threads"),
           0, wall);
    av_frame_free(&in);
    av_frame_free(&out);
    sws_freeContext(sws);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) pictures = std::max(1, std::atoi(argv[1]));
    if (argc > 2) only = argv[2];
    auto context = compute::ComputeContext::shared();
    std::printf("device: %s (%s), %d timed pictures per figure after %d warm-up\n",
                context->deviceName().c_str(), context->zeroCopy() ? "shared memory" : "copies",
                pictures, kWarmUp);

    PicturePool sources(1920, 1080, 1, deviceStorage(context));
    PictureRef hd = sources.take();
    fillTestPicture(*hd);
    PicturePool uhdSources(3840, 2160, 1, deviceStorage(context));
    PictureRef uhd = uhdSources.take();
    fillTestPicture(*uhd);

    if (wanted("bilinear")) benchScaler({ScaleMethod::Kind::Bilinear, ""}, hd);
    if (wanted("bicubic")) benchScaler({ScaleMethod::Kind::Bicubic, ""}, hd);
    // The hook shaders (shaders/ beside the build tree), with bicubic above
    // as their reference in the same run.
    if (wanted("ravu")) benchScaler(ScaleMethod::parse("ravu-lite"), hd);
    if (wanted("fsrcnnx")) benchScaler(ScaleMethod::parse("fsrcnnx8"), hd);
    if (wanted("bicubic")) benchSwscale(*hd, 1);
    if (wanted("bicubic")) benchSwscale(*hd, 2);

    if (wanted("itm")) {
        InverseToneMap itm(3840, 2160, ToneParams{});
        int runs = 0;
        const double wall = timeWall([&] {
            if (runs++ == kWarmUp) itm.takeMs();
            itm.apply(uhd);
        });
        report("inverse tone mapping 3840x2160", itm.takeMs(), wall);
    }
    if (wanted("blacks")) {
        DeepenBlacks blacks;
        double t = 0;
        blacks.measure(*hd, t);
        const double wall = timeWall([&] {
            blacks.measure(*hd, t += 0.04);
            blacks.apply(hd);
        });
        report("deepened blacks 1920x1080 (measure + bend, lift " +
                   std::to_string(blacks.reading().lift).substr(0, 5) + ")",
               0, wall);
    }
    if (wanted("chain")) {
        DeepenBlacks blacks;
        ShaderScaler scaler({ScaleMethod::Kind::Bicubic, ""}, 1920, 1080, 3840, 2160);
        InverseToneMap itm(3840, 2160, ToneParams{});
        double t = 0;
        const double wall = timeWall([&] {
            blacks.measure(*hd, t += 0.04);
            itm.apply(scaler.scale(blacks.apply(hd)));
        });
        report("stage chain: blacks, bicubic 1080p -> 4K, HDR lift", 0, wall);
    }
    return 0;
}
