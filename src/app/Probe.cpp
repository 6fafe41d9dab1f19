#include "app/Probe.h"

#include "app/CommandLine.h"
#include "common/EnhanceError.h"
#include "common/Env.h"
#include "common/Fmt.h"
#include "common/Log.h"
#include "output/Encoder.h"
#include "output/EncoderConfig.h"
#include "processing/GreyRamp.h"
#include "processing/Interpolator.h"
#include "processing/InverseToneMap.h"
#include "processing/NeuralScaler.h"
#include "processing/PixelFormat.h"
#include "processing/ScaleMethod.h"
#include "service/Service.h"
#include "source/FFmpegTool.h"

#include <iostream>

namespace corvel {

namespace {

// The limit of the AI upscaler: the budget per picture at 60 frames/s
// scaled to 24 frames/s, 35 ms when the budget does not parse.
double neuralLimit(const std::optional<double>& budget) { return budget ? *budget * 60.0 / 24.0 : 35.0; }

std::string orMissing(const std::optional<double>& ms) { return ms ? fmt(2, *ms) : std::string("missing"); }

} // namespace

std::optional<double> measureWithQuickChecks(
    const std::string& name, double limitMs,
    const std::function<std::optional<double>(const std::string&, int, int)>& quick,
    const std::function<std::optional<double>(const std::string&)>& full) {
    for (const auto& [width, height] : kQuickSizes) {
        const std::optional<double> small = quick(name, width, height);
        // A scaler that cannot run a small picture is left to the full
        // measurement, whose failure is the one that counts.
        if (!small) break;
        if (*small > limitMs) {
            const double share = (1920.0 * 1080.0) / (static_cast<double>(width) * height);
            const double estimate = *small * share;
            logf("upscaler: " + name + " took " + fmt(2, *small) + " ms for " + std::to_string(width) + "x" +
                 std::to_string(height) + " -> " + std::to_string(2 * width) + "x" + std::to_string(2 * height) +
                 ", over " + fmt(1, limitMs) + " ms already: 1080p -> 4K not measured, counted as " +
                 fmt(2, estimate) + " ms (" + fmt(2, share) + " times as many pixels)");
            return estimate;
        }
    }
    return full(name);
}

UpscalerMeasures machineMeasures() {
    UpscalerMeasures measures;
    measures.neural = [](const std::string& name, double limitMs) {
        return measureWithQuickChecks(name, limitMs, NeuralScaler::quickMs, NeuralScaler::medianMs);
    };
    measures.shader = [](const std::string& name, double limitMs) {
        return measureWithQuickChecks(name, limitMs, ShaderScaler::quickMs, ShaderScaler::medianMs);
    };
    return measures;
}

std::optional<double> neuralBudget() { return parseDouble(env("CORVEL_ENHANCE_NEURAL_BUDGET_MS", "")); }

std::optional<std::pair<double, std::optional<double>>> neuralPick(const UpscalerMeasures& measures) {
    const std::optional<double> budget = neuralBudget();
    const double limit = neuralLimit(budget);
    const std::optional<double> ms = measures.neural("neural-low", limit);
    if (!ms) {
        logf("upscaler: the AI upscaler does not run here (no Neural Engine, or its models are missing)");
        return std::nullopt;
    }
    const std::optional<double> student = measures.neural("neural-low-student", limit);
    const double better = student && *student < *ms ? *student : *ms;
    if (better <= limit) return std::make_pair(*ms, student);
    logf("upscaler: the AI upscaler took " + fmt(2, *ms) + " ms for 1080p -> 4K (its student " +
         orMissing(student) + "), over " + fmt(1, limit) + " ms even at 24 fps: shaders instead");
    return std::nullopt;
}

std::pair<std::string, double> shaderPick(const UpscalerMeasures& measures) {
    return ShaderScaler::pick("fsrcnnx8", "ravu-lite", std::nullopt, std::nullopt, measures.shader);
}

void startupPick(ServiceOptions& options, const UpscalerMeasures& measures) {
    const auto picked = neuralPick(measures);
    if (picked) {
        const std::optional<double> budget = neuralBudget();
        options.upscaler = "neural";
        options.neuralMs = picked->first;
        options.studentMs = picked->second;
        options.mediumMs = measures.neural("neural-medium", neuralLimit(budget));
        options.neuralBudgetMs = budget.value_or(14.0);
        options.neuralFallback = shaderPick(measures).first;
        std::string line = "main: up=1 picks the AI upscaler on the Neural Engine (" + fmt(2, *options.neuralMs) +
                           " ms for 1080p -> 4K, medium tier " + orMissing(options.mediumMs) + " ms" +
                           "; where it misses " + fmt(0, options.neuralBudgetMs) +
                           " ms at 60 frames/s (scaled by each stream's rate), ";
        if (options.studentMs) line += "the student (" + fmt(2, *options.studentMs) + " ms), then ";
        line += options.neuralFallback.empty() ? std::string("no upscaling")
                                               : ScaleMethod::parse(options.neuralFallback).description();
        line += "; neural-hb from " +
                (options.neuralHbBpp ? fmt(2, *options.neuralHbBpp) : std::string("0.20 (H.264) / 0.15 (HEVC)")) +
                " bits a pixel)";
        logf(line);
        return;
    }
    const auto [name, bestMs] = shaderPick(measures);
    logf("main: up=1 picks " + (name.empty() ? std::string("no upscaling") : ScaleMethod::parse(name).description()) +
         " (FSRCNNX 8-0-4-1 took " + fmt(2, bestMs) + " ms for 1080p -> 4K)");
    options.upscaler = name;
}

std::pair<std::string, int> probeVerdict(const ProbeFindings& findings) {
    if (!findings.encoderError.empty()) return {"probe failed: " + findings.encoderError, 2};
    if (findings.interpolation.rfind("FRUC", 0) != 0 && findings.upscaling.rfind("SHADER", 0) != 0)
        return {"probe failed: " + findings.interpolation + "; " + findings.upscaling, 2};
    return {"probe ok: " + findings.chip + " VideoToolbox HEVC Main10 ready " + findings.interpolation + " " +
                findings.upscaling + " " + findings.hdr + (findings.tvTools ? "" : "; no TV streams"),
            0};
}

namespace {

// The encoder the probe requires: 1080p60 at 20 Mbit/s, primed.
std::string encoderError() {
    try {
        EncoderConfig config;
        config.width = 1920;
        config.height = 1080;
        config.fpsNum = 60;
        config.fpsDen = 1;
        config.bitrate = 20000000;
        config.peakBitrate = 0;
        config.quality = EncoderConfig::defaultQuality();
        Encoder encoder(config);
        encoder.prime(kPixelFormatX420);
        return "";
    } catch (const std::exception& error) {
        const std::string text = error.what();
        return text.empty() ? std::string("the encoder failed") : text;
    }
}

std::string interpolationText() {
    if (!Service::interpolationSupported())
        return "no frame interpolation (VTFrameRateConversion needs macOS 15.4 or later on Apple silicon)";
    try {
        Interpolator interpolator(1920, 1080);
        return "FRUC available (VTFrameRateConversion)";
    } catch (const std::exception& error) {
        return std::string("no frame interpolation (VTFrameRateConversion did not start: ") + error.what() + ")";
    }
}

std::string upscalingText(const UpscalerMeasures& measures) {
    const std::string asked = env("CORVEL_ENHANCE_UPSCALER", "auto");
    std::string name;
    if (asked == "auto") {
        if (const auto picked = neuralPick(measures)) {
            const std::optional<double> budget = neuralBudget();
            const double ms = picked->first;
            const std::optional<double> student = picked->second;
            const bool studentInstead = budget ? (*budget < ms && student && *student <= *budget)
                                               : (ms > 14.0 && student && *student <= 14.0);
            name = studentInstead ? "neural-low-student" : "neural-low";
        } else {
            name = shaderPick(measures).first;
        }
    } else if (asked == "neural") {
        name = "neural-low";
    } else {
        name = asked;
    }
    if (name.empty()) return "no upscaling (this GPU is too slow even for RAVU-lite)";
    try {
        const ScaleMethod method = ScaleMethod::parse(name);
        std::string description;
        if (method.kind == ScaleMethod::Kind::Neural) {
            NeuralScaler scaler(method.name, 1920, 1080, 3840, 2160);
            description = scaler.description();
        } else {
            ShaderScaler scaler(method, 1920, 1080, 3840, 2160);
            description = scaler.description();
        }
        return "SHADER upscale available (" + description + ")";
    } catch (const std::exception& error) {
        return std::string("no upscaling (") + error.what() + ")";
    }
}

std::string hdrText() {
    try {
        PictureRef buffer = greyRamp(1920, 1080);
        if (!buffer) throw EnhanceError("no 1080p buffer");
        InverseToneMap lift(1920, 1080, ToneParams{});
        lift.apply(buffer);
        return "HDR ready (Corvel ITM)";
    } catch (const std::exception& error) {
        return std::string("no HDR lift (") + error.what() + ")";
    }
}

} // namespace

int probe(const UpscalerMeasures& measures) {
    if (env("CORVEL_ENHANCE_FORCE_PROBE_FAIL", "0") != "0") {
        std::cout << "probe failed: forced failure (CORVEL_ENHANCE_FORCE_PROBE_FAIL)" << std::endl;
        return 3;
    }
    ProbeFindings findings;
    findings.chip = chipName();
    findings.encoderError = encoderError();
    if (findings.encoderError.empty()) {
        findings.interpolation = interpolationText();
        findings.upscaling = upscalingText(measures);
        findings.hdr = hdrText();
        findings.tvTools = ffmpegTool("ffmpeg").has_value() && ffmpegTool("ffprobe").has_value();
    }
    const auto [line, status] = probeVerdict(findings);
    std::cout << line << std::endl;
    return status;
}

} // namespace corvel
