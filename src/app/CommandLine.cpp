#include "app/CommandLine.h"

#include "common/Env.h"
#include "common/Fmt.h"
#include "processing/ScaleMethod.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>

namespace corvel {

CommandLine parseCommandLine(const std::vector<std::string>& words) {
    CommandLine line;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        bool hasValue = i + 1 < words.size();
        if (word == "--port") {
            if (hasValue) {
                if (auto n = parseInt(words[i + 1])) line.port = *n;
                ++i;
            }
        } else if (word == "--bind") {
            if (hasValue) line.bind = words[++i];
        } else if (word == "--companion") {
            line.companion = hasValue ? words[++i] : std::string();
        } else if (word == "--parent-pid") {
            line.parentPid = 0;
            if (hasValue) {
                auto n = parseInt(words[++i]);
                if (n && *n >= std::numeric_limits<int32_t>::min() &&
                    *n <= std::numeric_limits<int32_t>::max())
                    line.parentPid = static_cast<int32_t>(*n);
            }
        } else if (word == "--probe") {
            line.mode = CommandLine::Mode::Probe;
            return line;
        } else if (word == "--bench") {
            line.mode = CommandLine::Mode::Bench;
            return line;
        } else if (word == "--deband") {
            line.mode = CommandLine::Mode::Deband;
            line.debandWords.assign(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end());
            return line;
        }
    }
    return line;
}

ServiceOptions optionsFromEnvironment(const std::string& commandLineCompanion) {
    ServiceOptions options;
    options.companion = !commandLineCompanion.empty()
                            ? commandLineCompanion
                            : env("CORVEL_COMPANION", options.companion);
    if (auto v = parseDouble(env("CORVEL_ENHANCE_MBPS", ""))) options.mbps = *v;
    if (auto v = parseInt(env("CORVEL_ENHANCE_AHEAD", ""))) {
        // Negative values are kept (users count them as 0); large ones are
        // clamped to the most the service works ahead.
        options.ahead = static_cast<int>(std::clamp<int64_t>(*v, std::numeric_limits<int>::min(), kMaxAhead));
    }
    if (auto v = parseDouble(env("CORVEL_ENHANCE_SEG_SEC", ""))) {
        options.segSec = *v <= 0.5 ? 0.5 : (*v > 4.0 ? 4.0 : *v);
    }
    if (auto v = parseDouble(env("CORVEL_ENHANCE_FI_MAX_MPIX", ""))) options.fiMaxMpix = *v;
    options.upscaler = env("CORVEL_ENHANCE_UPSCALER", options.upscaler);
    if (auto v = parseDouble(env("CORVEL_ENHANCE_NEURAL_HB_BPP", ""))) options.neuralHbBpp = *v;
    return options;
}

std::string chipNameFrom(const std::string& cpuinfo) {
    std::istringstream lines(cpuinfo);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("model name", 0) != 0) continue;
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(colon + 1);
        auto first = name.find_first_not_of(" \t");
        auto last = name.find_last_not_of(" \t\r");
        if (first == std::string::npos) continue;
        return name.substr(first, last - first + 1);
    }
    return "this Mac";
}

std::string chipName() {
    std::ifstream file("/proc/cpuinfo");
    std::stringstream text;
    text << file.rdbuf();
    return chipNameFrom(text.str());
}

std::string summaryLine(const ServiceOptions& options, const std::string& chip,
                        bool interpolationSupported, const std::string& shaderDir) {
    std::string line = "main: Corvel live enhancer for macOS on " + chip + ", companion " +
                       options.companion + ", ";
    line += options.mbps > 0 ? fmt(0, options.mbps) + " Mbit/s" : "automatic bitrate";
    line += ", " + std::to_string(options.ahead) + " segments ahead, ";
    line += "frame interpolation up to " + fmt(1, options.fiMaxMpix) + " Mpix (" +
            (interpolationSupported ? "supported" : "NOT supported") + "), ";
    line += "up=1 upscaler ";
    line += options.upscaler == "neural"
                ? std::string("AI (neural-low / neural-hb, medium tiers where they fit)")
                : ScaleMethod::parse(options.upscaler).description();
    line += ", shaders in " + (shaderDir.empty() ? std::string("(missing)") : shaderDir);
    return line;
}

} // namespace corvel
