#pragma once

#include "support/Loopback.h"
#include "support/TempDir.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace corvel::test {

// The stand-in media server as a child process serving `folder`.
class Standin {
public:
    explicit Standin(const std::string& folder);
    int port() const { return port_; }
    // "http://127.0.0.1:PORT"
    std::string base() const;
    // POST /control/fault?query (e.g. "target=media&status=500").
    void fault(const std::string& query);
    void clear();
    void resetStats();
    nlohmann::json stats();

private:
    std::string post(const std::string& path);
    TempDir logs_;
    Process process_;
    int port_ = 0;
};

// Runs "ffmpeg -v error -y ARGS" in `folder`; throws when it fails.
void ffmpeg(const std::string& folder, const std::string& args);
// Standard output of a shell command; throws when it fails.
std::string capture(const std::string& command);
// A clip made once per build tree and shared by every test process: runs
// ffmpeg with ARGS, where "{out}" stands for the output file, unless the clip
// already exists. Returns its path. Safe when several tests race for it.
std::string cachedClip(const std::string& name, const std::string& args);
// Presentation times (seconds) of the video frames ffprobe decodes, in order.
std::vector<double> ffprobeFrameTimes(const std::string& file);

} // namespace corvel::test
