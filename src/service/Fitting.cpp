#include "service/Fitting.h"

#include "common/Fmt.h"
#include "common/Log.h"
#include "processing/NeuralModelSize.h"
#include "processing/ScaleMethod.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

namespace corvel {

namespace {

constexpr double kFiMaxSourceFps = 30.5;
constexpr double kMaxUpFactor = 2.0;
constexpr double kMinUpFactor = 1.25;
constexpr double kNeuralReferenceArea = 1920.0 * 1088.0;

// Nearest integer, halves away from zero.
long nearest(double x) { return std::lround(x); }

std::string size(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

} // namespace

void fitRung(const Key& key, StreamInfo& info) {
    double h = key.maxHeight, W = info.width, H = info.height;
    double s = std::min({1.0, h * 16.0 / 9.0 / W, h / H});
    info.width = static_cast<int>(2 * nearest(s * W / 2)) / 8 * 8;
    info.height = static_cast<int>(2 * nearest(s * H / 2));
    info.layOut(static_cast<double>(key.seg));
    info.rungKbps = key.abr;
    info.sourcePq = key.srcPq;
    if (info.sound) info.sound->small = true; // adaptive renditions carry stereo at most
    logf("service: " + key.item + ": a rung of " + std::to_string(key.abr) + " kbit/s, " +
         size(info.width, info.height) + (key.srcPq ? ", PQ kept" : ""));
}

void fitFi(const Key& key, StreamInfo& info, const ServiceOptions& options, bool supported) {
    info.interpolate = false;
    std::string text;
    if (!key.fi) {
        text = "no frame interpolation asked: frames pass through at " + fmt(3, info.fps) + " fps";
    } else if (info.sourceFps > kFiMaxSourceFps) {
        text = "no frame interpolation at " + fmt(3, info.sourceFps) + " fps (only up to 30.5)";
    } else if (double area = static_cast<double>(info.width) * info.height / 1e6;
               area > options.fiMaxMpix) {
        text = "no frame interpolation at " + size(info.width, info.height) + " (" + fmt(1, area) +
               " Mpix; this Mac keeps up to " + fmt(1, options.fiMaxMpix) + ")";
    } else if (!supported) {
        text = "no frame interpolation (VTFrameRateConversion unavailable on this Mac)";
    } else {
        info.fpsNum *= 2;
        info.layOut(options.segSec);
        info.interpolate = true;
        text = "frame interpolation " + fmt(3, info.sourceFps) + " -> " + std::to_string(info.fpsNum) +
               "/" + std::to_string(info.fpsDen) + " fps (VTFrameRateConversion)";
    }
    info.why = text;
    logf("service: " + key.item + ": " + info.why + "; " + std::to_string(info.frames) + " frames in " +
         std::to_string(info.segments) + " segments of " + std::to_string(info.gop) + " frames");
}

double neuralHbBpp(const std::string& codec) {
    std::string c = codec;
    std::transform(c.begin(), c.end(), c.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (c.empty() || c == "h264" || c == "avc" || c == "avc1") return 0.2;
    if (c == "hevc" || c == "h265" || c == "hvc1" || c == "hev1" || c == "av1" || c == "vp9")
        return 0.15;
    return 0.4;
}

std::string neuralTier(const std::string& name, StreamInfo& info, const ServiceOptions& options) {
    if (!options.neuralMs) return name;
    auto model = neuralModelSize(info.width, info.height);
    double a = model ? static_cast<double>(model->first) * model->second / kNeuralReferenceArea
                     : std::numeric_limits<double>::infinity();
    double budget = options.neuralBudgetMs * 60.0 / std::max(info.fps, 1.0);
    if (options.mediumMs && a * *options.mediumMs <= budget) {
        info.why += "; the medium tier (" + fmt(2, a * *options.mediumMs) + " ms of " + fmt(2, budget) +
                    " ms a picture)";
        return name == "neural-hb" ? "neural-hb-medium" : "neural-medium";
    }
    if (a * *options.neuralMs <= budget) return name;
    if (options.studentMs && a * *options.studentMs <= budget) {
        info.why += "; the network's student (the network's " + fmt(2, a * *options.neuralMs) +
                    " ms is over " + fmt(2, budget) + " ms a picture)";
        return name + "-student";
    }
    std::string fallback = options.neuralFallback.empty()
                               ? std::string("no upscaling")
                               : ScaleMethod::parse(options.neuralFallback).description();
    double ms = a * options.studentMs.value_or(*options.neuralMs);
    info.why += "; " + fallback + " (the AI upscaler's " + fmt(2, ms) + " ms over " + fmt(2, budget) +
                " ms a picture)";
    return options.neuralFallback;
}

void fitUp(const Key& key, StreamInfo& info, const ServiceOptions& options) {
    info.upscaler.clear();
    info.outWidth = info.width;
    info.outHeight = info.height;
    std::string m = key.up;
    if (m.empty()) return;
    if (m == "1" || m == "anime") m = options.upscaler;
    if (m == "neural") {
        double b = info.bitRate > 0 ? info.bitRate / (info.sourceFps * info.width * info.height) : 0;
        double t = options.neuralHbBpp.value_or(neuralHbBpp(info.codec));
        std::string network = t <= b ? "neural-hb" : "neural-low";
        info.why += b > 0 ? "; " + fmt(3, b) + " bits a pixel" : std::string("; bitrate unknown");
        m = neuralTier(network, info, options);
    }
    if (m.empty()) {
        info.why += "; no upscaling (this GPU is too slow for it: the screen scales the title)";
        return;
    }
    int maxW = options.upMaxWidth;
    int maxH = key.tv ? std::min(key.maxHeight, options.upMaxHeight) : options.upMaxHeight;
    double s = std::min({kMaxUpFactor, static_cast<double>(maxW) / info.width,
                         static_cast<double>(maxH) / info.height});
    if (s < kMinUpFactor) {
        info.why += "; no upscaling at " + size(info.width, info.height) + " (already near " +
                    size(maxW, maxH) + ")";
        return;
    }
    info.upscaler = m;
    info.outWidth = static_cast<int>(nearest(s * info.width)) & ~1;
    info.outHeight = static_cast<int>(nearest(s * info.height)) & ~1;
    info.why += "; upscaled " + size(info.width, info.height) + " -> " +
                size(info.outWidth, info.outHeight) + " (" + ScaleMethod::parse(m).description() + ")";
    logf("service: " + key.item + ": " + info.why);
}

EncoderConfig encoderConfig(const StreamInfo& info, const SourceColor& color, const ToneParams& tone,
                            const ServiceOptions& options) {
    EncoderConfig config;
    config.quality = EncoderConfig::defaultQuality();
    double r;
    if (options.mbps > 0) {
        r = options.mbps;
    } else {
        double a = static_cast<double>(info.outWidth) * info.outHeight * 0.2 * info.fps / 1e6;
        r = a <= 8 ? 8 : (a > 100 ? 100 : a);
    }
    if (info.rungKbps >= 1) {
        // A rung beyond 2 Gbit/s cannot be asked of the encoder; pin it.
        auto bits = [&](int64_t perKbps) {
            return static_cast<int>(std::min<int64_t>(static_cast<int64_t>(info.rungKbps) * perKbps,
                                                      std::numeric_limits<int>::max()));
        };
        config.bitrate = bits(1000);
        config.peakBitrate = bits(1150);
        config.quality = 0;
    } else {
        config.bitrate = static_cast<int>(std::min(r * 1e6, 2147483647.0));
        config.peakBitrate = 0;
    }
    SourceColor hdrColor{color::kPrimaries2020, color::kTransferPQ, color::kMatrix2020};
    if (info.sourcePq) {
        config.color = hdrColor;
        config.hdr10 = HDR10Metadata{1000, 400};
    } else if (info.hdr) {
        config.color = hdrColor;
        config.hdr10 = HDR10Metadata{static_cast<int>(tone.peak), 400};
    } else {
        config.color = color;
    }
    config.width = info.outWidth;
    config.height = info.outHeight;
    config.fpsNum = info.fpsNum;
    config.fpsDen = info.fpsDen;
    return config;
}

} // namespace corvel
