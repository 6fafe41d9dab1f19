#pragma once

#include "http/HTTPServer.h"
#include "service/Service.h"
#include "source/SourceFixtures.h"
#include "support/Loopback.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <string>

namespace corvel::test {

// A service in this process behind a real HTTP server, with the stand-in
// media server as a child process serving a folder of titles.
class ServiceFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts (or restarts) the service with these options; the companion is
    // the stand-in unless `options.companion` was changed from the default.
    void startService(ServiceOptions options = {}, ServiceTiming timing = fastTiming(),
                      StageFactory stages = defaultStageFactory());
    static ServiceTiming fastTiming();

    // Copies a clip (made once per build tree) into the stand-in's folder.
    void addClip(const std::string& name, const std::string& ffmpegArgs);
    // Writes FOLDER/NAME.json: an item answer with one part at /media/FILE.
    void addSidecar(const std::string& name, const std::string& file, int width, int height, double fps,
                    double seconds);

    RawResponse get(const std::string& path, const std::string& method = "GET");
    nlohmann::json status();
    // The log lines written since this case began.
    std::string log() const {
        const std::string text = readFile(logPath_);
        return text.substr(std::min(logStart_, text.size()));
    }
    int port() const { return server_->boundPort(); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server_->boundPort()) + path;
    }

    // Service tests deband with the fixed filter: the network's map takes
    // seconds a picture on the CPU device. A test of the network sets this
    // before startService.
    bool debandNetwork_ = false;

    TempDir folder_;
    TempDir work_;
    std::unique_ptr<Standin> standin_;
    std::unique_ptr<Service> service_;
    std::unique_ptr<HTTPServer> server_;
    std::string logPath_;
    size_t logStart_ = 0;
};

// The standard small clip: 320x180 H.264 with B-frames at 25 frames/s.
std::string smallClipArgs(double seconds);

} // namespace corvel::test
