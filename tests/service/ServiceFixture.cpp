#include "service/ServiceFixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace corvel::test {

void ServiceFixture::SetUp() {
    // The log opens its file once per process, at its first line: every case
    // of this executable shares one file, named before any line is written,
    // and a case reads only what was written after its start (so several
    // cases run in one process each see their own lines).
    static TempDir logFolder;
    logPath_ = logFolder.file("enhancer.log");
    setenv("CORVEL_ENHANCE_LOG", logPath_.c_str(), 1);
    logStart_ = readFile(logPath_).size();
    standin_ = std::make_unique<Standin>(folder_.path());
}

void ServiceFixture::TearDown() {
    server_.reset();
    service_.reset();
    standin_.reset();
}

ServiceTiming ServiceFixture::fastTiming() {
    ServiceTiming timing;
    timing.waitMs = 20000; // a segment may take a while on a busy 2-core machine
    timing.initWaitMs = 20000;
    return timing;
}

void ServiceFixture::startService(ServiceOptions options, ServiceTiming timing, StageFactory stages) {
    server_.reset();
    service_.reset();
    if (options.companion == ServiceOptions().companion) options.companion = standin_->base();
    if (!debandNetwork_ && stages.deband)
        stages.deband = [](int w, int h) { return makeDebandStage(w, h, std::nullopt); };
    service_ = std::make_unique<Service>(options, timing, std::move(stages));
    server_ = std::make_unique<HTTPServer>();
    Service* service = service_.get();
    ASSERT_TRUE(server_->start("127.0.0.1", 0, [service](const HTTPRequest& r) { return service->handle(r); }));
}

void ServiceFixture::addClip(const std::string& name, const std::string& ffmpegArgs) {
    std::string made = cachedClip(name, ffmpegArgs);
    std::filesystem::copy_file(made, folder_.file(name), std::filesystem::copy_options::overwrite_existing);
}

void ServiceFixture::addSidecar(const std::string& name, const std::string& file, int width, int height,
                                double fps, double seconds) {
    nlohmann::json item = {
        {"video", {{"width", width}, {"height", height}, {"fps", fps}, {"codec", "h264"}}},
        {"parts",
         {{{"id", "1"},
           {"playable", {{"mode", "direct"}}},
           {"media_path", "/media/" + file},
           {"file_name", file},
           {"duration_sec", seconds}}}}};
    std::ofstream(folder_.file(name + ".json")) << item.dump();
}

RawResponse ServiceFixture::get(const std::string& path, const std::string& method) {
    return parseRaw(test::exchange(port(), method + " " + path + " HTTP/1.1\r\nHost: x\r\n\r\n",
                                   std::chrono::seconds(60)));
}

nlohmann::json ServiceFixture::status() {
    return nlohmann::json::parse(get("/v1/enhanced/status").body);
}

std::string smallClipArgs(double seconds) {
    return "-f lavfi -i testsrc2=size=320x180:rate=25:duration=" + std::to_string(seconds) +
           " -c:v libx264 -preset veryfast -bf 2 -g 25 -pix_fmt yuv420p {out}";
}

} // namespace corvel::test
