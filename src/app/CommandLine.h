#pragma once

#include "service/ServiceOptions.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvel {

// What the command line asks for. A one-shot mode stops the loop at its word:
// later words are not parsed.
struct CommandLine {
    enum class Mode { Serve, Probe, Bench, Deband };
    Mode mode = Mode::Serve;
    int64_t port = 47910; // may be out of range; start-up refuses it then
    std::string bind = "127.0.0.1";
    std::string companion;
    int32_t parentPid = 0;
    // --deband: the words after the flag, for the debanding check.
    std::vector<std::string> debandWords;
};

// Reads `words` (the command line after the program name) in order.
CommandLine parseCommandLine(const std::vector<std::string>& words);

// The options from the environment (and the command line's companion), before
// the start-up upscaler pick.
ServiceOptions optionsFromEnvironment(const std::string& commandLineCompanion);

// The processor's name: the first "model name" of /proc/cpuinfo, else "this Mac".
std::string chipName();
std::string chipNameFrom(const std::string& cpuinfo);

// The summary log line of start-up.
std::string summaryLine(const ServiceOptions& options, const std::string& chip,
                        bool interpolationSupported, const std::string& shaderDir);

} // namespace corvel
