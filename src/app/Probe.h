#pragma once

#include "processing/ShaderScaler.h"
#include "service/ServiceOptions.h"

#include <optional>
#include <string>
#include <utility>

namespace corvel {

// How the upscalers are timed for 1920x1080 -> 3840x2160: one measure for the
// AI networks, one for the shader methods. Each gets the name and the limit
// its figure will be compared with. Injectable so that the decisions can be
// checked with chosen figures.
struct UpscalerMeasures {
    ShaderScaler::Measure neural;
    ShaderScaler::Measure shader;
};

// The input sizes of the quick checks, smallest first, each 16:9 with even
// sides. A 1920x1080 picture holds all the work of each of them and more.
// Each size has about four times the pixels of the one before, and a size is
// tried only when the one before was within the limit, so a rung costs at
// most a few times the limit; after the last one a 1080p picture that is
// still measured in full takes about four times the limit or less (on this
// project's CPU device small pictures run faster per pixel: they stay in
// the caches, hence more than two rungs).
inline constexpr std::pair<int, int> kQuickSizes[] = {{128, 72}, {256, 144}, {480, 270}, {960, 540}};

// Times one upscaler on this machine. The quick checks come first: a
// 1920x1080 picture does at least the work of a smaller one, so when a small
// picture alone takes longer than `limitMs`, every 1080p picture would too
// and so would their median; the 1080p measurement is then skipped and the
// figure is the small picture's time scaled by the pixel ratio (an estimate
// above the limit, logged as such). Otherwise the full measurement `full`
// decides. `quick` and `full` are the scaler's quickMs and medianMs.
std::optional<double> measureWithQuickChecks(
    const std::string& name, double limitMs,
    const std::function<std::optional<double>(const std::string&, int, int)>& quick,
    const std::function<std::optional<double>(const std::string&)>& full);

// The measures of this machine: the scalers' quick checks, then medianMs.
UpscalerMeasures machineMeasures();

// The neural budget, ms per picture at 60 frames/s, from
// CORVEL_ENHANCE_NEURAL_BUDGET_MS; none when it does not parse.
std::optional<double> neuralBudget();

// The AI upscaler's time and its student's, or none when the AI upscaler is
// not usable here (it cannot be measured, or even the better of the two is
// over the budget scaled to 24 frames/s). Logs why it refuses.
std::optional<std::pair<double, std::optional<double>>> neuralPick(const UpscalerMeasures& measures);

// The shader pick of both the start-up and the probe: fsrcnnx8, else
// ravu-lite, else none.
std::pair<std::string, double> shaderPick(const UpscalerMeasures& measures);

// The start-up pick for an "auto" upscaler: fills upscaler, neuralMs,
// studentMs, mediumMs, neuralBudgetMs and neuralFallback and logs the
// "main: up=1 picks " line.
void startupPick(ServiceOptions& options, const UpscalerMeasures& measures);

// The texts the probe gathers, one per capability.
struct ProbeFindings {
    std::string chip;        // chipName()
    std::string encoderError; // empty when the encoder primed
    std::string interpolation; // I
    std::string upscaling;     // U
    std::string hdr;           // H
    bool tvTools = true;       // ffmpeg and ffprobe were both found
};

// The probe's line for standard output and its exit status.
std::pair<std::string, int> probeVerdict(const ProbeFindings& findings);

// The --probe mode: prints one line and returns 0, 2 or 3.
int probe(const UpscalerMeasures& measures);

} // namespace corvel
