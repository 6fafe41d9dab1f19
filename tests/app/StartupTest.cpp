// Starts the real executable and talks to it over loopback.
#include "support/Loopback.h"
#include "support/TempDir.h"

#include <arpa/inet.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

class Startup : public ::testing::Test {
protected:
    // Runs the enhancer with `args`; its log goes to `log()` unless `env`
    // says otherwise.
    void launch(Process& p, std::vector<std::string> args, Env env = {}) {
        args.insert(args.begin(), ENHANCER_EXE);
        env.insert(env.begin(), {"CORVEL_ENHANCE_LOG", log()});
        // A named method skips the upscaler measurements, which only the
        // tests of the automatic pick pay for.
        env.insert(env.begin(), {"CORVEL_ENHANCE_UPSCALER", "bicubic"});
        env.push_back({"CORVEL_ENHANCE_LOG_STDERR", stderrSetting});
        spawn(p, args, env, dir.file("stdout"), dir.file("stderr"));
        ASSERT_GT(p.pid, 0);
    }
    std::string log() const { return dir.file("enhancer.log"); }
    std::string out() const { return readFile(dir.file("stdout")); }
    std::string err() const { return readFile(dir.file("stderr")); }
    bool bannerShown() { return out().find("Corvel live enhancer: ") != std::string::npos; }
    // A pid that certainly names no process: a child that has been reaped.
    static int deadPid() {
        Process gone;
        spawn(gone, {"/bin/true"}, {}, "/dev/null", "/dev/null");
        gone.wait(10s);
        return gone.pid;
    }
    static int countOf(const std::string& text, const std::string& piece) {
        int n = 0;
        for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
        return n;
    }
    // Whether process `pid` maps a compute runtime: a driver named by the
    // installed OpenCL vendor files, or the compiler library a CPU driver
    // brings. The loader itself (libOpenCL) is linked in and does not count.
    static bool mapsComputeRuntime(int pid) {
        std::vector<std::string> names = {"libLLVM"};
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator("/etc/OpenCL/vendors", ignored)) {
            std::string line = readFile(entry.path().string());
            line = line.substr(0, line.find_first_of("\r\n"));
            if (!line.empty()) names.push_back(std::filesystem::path(line).filename().string());
        }
        const std::string maps = readFile("/proc/" + std::to_string(pid) + "/maps");
        for (const std::string& name : names)
            if (maps.find(name) != std::string::npos) return true;
        return false;
    }
    TempDir dir;
    std::string stderrSetting = "0";
};

} // namespace

TEST_F(Startup, BannerSummaryAndRequestLogging) {
    int port = freePort();
    Process p;
    launch(p, {"--port", std::to_string(port)},
           {{"CORVEL_ENHANCE_MBPS", "12.6"}, {"CORVEL_ENHANCE_UPSCALER", "fsrcnnx8"},
            {"CORVEL_COMPANION", "http://127.0.0.1:1"}});
    ASSERT_TRUE(eventually([&] { return bannerShown(); }, 10s));
    EXPECT_EQ(out(), "Corvel live enhancer: http://127.0.0.1:" + std::to_string(port) +
                         "/v1/enhanced/{item}/index.m3u8?fi=1 (status: /v1/enhanced/status)\n");

    RawResponse status = parseRaw(askRaw(port, "GET /v1/enhanced/status HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(status.status, 200);
    EXPECT_EQ(status.header("Content-Type"), "application/json");
    EXPECT_EQ(status.body.rfind("{\"black_floor\":-1.0,", 0), 0u) << status.body;
    EXPECT_EQ(status.body.substr(status.body.size() - 11), "\"width\":0}\n");
    RawResponse other = parseRaw(askRaw(port, "GET /v1/enhanced/7/index.m3u8?fi=1 HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(other.status, 503); // no media server at the companion address
    EXPECT_EQ(other.body, "The Mac could not reach Corvel Server.\n");
    EXPECT_EQ(parseRaw(askRaw(port, "HEAD /nothing/status HTTP/1.1\r\n\r\n")).status, 404);

    ASSERT_TRUE(eventually([&] { return readFile(log()).find("http: ") != std::string::npos; }, 5s));
    std::string text = readFile(log());
    EXPECT_NE(text.find("main: Corvel live enhancer for macOS on "), std::string::npos);
    EXPECT_NE(text.find(", companion http://127.0.0.1:1, 13 Mbit/s, 5 segments ahead, "
                        "frame interpolation up to 3.0 Mpix (supported), "
                        "up=1 upscaler FSRCNNX_x2_8-0-4-1, shaders in "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("main: serving http://127.0.0.1:" + std::to_string(port) +
                        "/v1/enhanced/{item}/index.m3u8?fi=0|1&up=0|1|<method>"),
              std::string::npos);
    // Exactly one line for the playlist request, none for either status path.
    EXPECT_EQ(countOf(text, "http: "), 1) << text;
    EXPECT_EQ(countOf(text, " GET /v1/enhanced/7/index.m3u8 -> 503, 39 bytes in "), 1) << text;
    EXPECT_EQ(countOf(text, "status"), 0) << text; // the banner is on stdout, not in the log
}

TEST_F(Startup, AutomaticUpscalerIsMeasuredBeforeListening) {
    Process p;
    launch(p, {"--port", std::to_string(freePort())}, {{"CORVEL_ENHANCE_UPSCALER", ""}});
    ASSERT_TRUE(eventually([&] { return bannerShown(); }, 120s));
    std::string text = readFile(log());
    const size_t pick = text.find("main: up=1 picks ");
    const size_t took = text.find("main: the upscaler pick took ");
    const size_t serving = text.find("main: serving http://");
    ASSERT_NE(pick, std::string::npos) << text;
    EXPECT_LT(pick, took) << text;
    EXPECT_LT(took, serving) << text;
    // The pick ran in a child: the listening service has not mapped the
    // compute runtime, and the summary still knows the device.
    EXPECT_FALSE(mapsComputeRuntime(p.pid));
    EXPECT_NE(text.find("frame interpolation up to 3.0 Mpix (supported)"), std::string::npos) << text;
    EXPECT_LT(text.find("upscaler: compute device "), pick) << text;
    // The summary names what the pick chose.
    const bool none = text.find("main: up=1 picks no upscaling (FSRCNNX 8-0-4-1 took ", pick) == pick;
    if (none) {
        EXPECT_NE(text.find(", up=1 upscaler , shaders in "), std::string::npos) << text; // the empty name's description
    }
}

TEST_F(Startup, ConfiguredUpscalerIsNotMeasured) {
    Process p;
    launch(p, {"--port", std::to_string(freePort())}, {{"CORVEL_ENHANCE_UPSCALER", "fsrcnnx8"}});
    ASSERT_TRUE(eventually([&] { return bannerShown(); }, 10s));
    std::string text = readFile(log());
    EXPECT_EQ(text.find("main: up=1 picks"), std::string::npos) << text;
    EXPECT_EQ(text.find(" ms for "), std::string::npos) << text;
    // The device question of the summary line loaded nothing here either.
    EXPECT_NE(text.find("upscaler: compute device "), std::string::npos) << text;
    EXPECT_FALSE(mapsComputeRuntime(p.pid));
}

// Without a device the child's answer reaches the summary line.
TEST_F(Startup, WithoutAComputeDeviceTheSummarySaysSo) {
    Process p;
    launch(p, {"--port", std::to_string(freePort())}, {{"OCL_ICD_VENDORS", dir.file("no-vendors")}});
    ASSERT_TRUE(eventually([&] { return bannerShown(); }, 10s));
    const std::string text = readFile(log());
    EXPECT_NE(text.find("frame interpolation up to 3.0 Mpix (NOT supported)"), std::string::npos) << text;
    EXPECT_EQ(text.find("upscaler: compute device "), std::string::npos) << text;
    EXPECT_EQ(text.find("could not run in a child process"), std::string::npos) << text;
}

TEST_F(Startup, UnparsablePortWordsKeepThePort) {
    int port = freePort();
    Process a;
    launch(a, {"--port", std::to_string(port), "--port", "abc"});
    ASSERT_TRUE(eventually([&] { return bannerShown(); }, 10s));
    EXPECT_NE(out().find(":" + std::to_string(port) + "/"), std::string::npos);
    a.kill();
    a.wait(5s);

    port = freePort();
    Process b;
    launch(b, {"--port", "+" + std::to_string(port), "--port"});
    ASSERT_TRUE(eventually([&] { return bannerShown(); }, 10s));
    EXPECT_EQ(parseRaw(askRaw(port, "GET /v1/enhanced/status HTTP/1.1\r\n\r\n")).status, 200);
}

TEST_F(Startup, PortThatCannotBeBoundExitsWith2) {
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
    int busy = ntohs(addr.sin_port);

    Process p;
    launch(p, {"--port", std::to_string(busy)});
    EXPECT_EQ(p.wait(10s), 2);
    EXPECT_EQ(out(), "Port " + std::to_string(busy) + " on 127.0.0.1 is not available\n");
    EXPECT_NE(readFile(log()).find("main: port " + std::to_string(busy) + " on 127.0.0.1 is not available"),
              std::string::npos);
    close(holder);

    for (std::string bad : {"65536", "-1"}) {
        Process q;
        launch(q, {"--port", bad});
        EXPECT_EQ(q.wait(10s), 2) << bad;
        EXPECT_EQ(out(), "Port " + bad + " on 127.0.0.1 is not available\n");
    }
    Process r;
    launch(r, {"--port", "0", "--bind", "not-an-address"});
    EXPECT_EQ(r.wait(10s), 2);
    EXPECT_EQ(out(), "Port 0 on not-an-address is not available\n");
}

TEST_F(Startup, DeadParentExitsBeforeBinding) {
    int pid = deadPid();
    int port = freePort();
    Process p;
    launch(p, {"--port", std::to_string(port), "--parent-pid", std::to_string(pid)});
    EXPECT_EQ(p.wait(10s), 0);
    EXPECT_EQ(out(), ""); // no banner, so no socket was served
    EXPECT_EQ(readFile(log()).find("main: parent process " + std::to_string(pid) +
                                   " is already gone, exiting"),
              24u); // right after the timestamp of the first line
    EXPECT_EQ(countOf(readFile(log()), "main: "), 1); // nothing else ran
}

TEST_F(Startup, ParentDyingStopsTheService) {
    Process parent;
    spawn(parent, {"/bin/sleep", "60"}, {}, "/dev/null", "/dev/null");
    int port = freePort();
    Process p;
    launch(p, {"--parent-pid", std::to_string(parent.pid), "--port", std::to_string(port)});
    ASSERT_TRUE(eventually([&] { return bannerShown(); }, 10s)) << readFile(log()) << err();
    parent.kill(SIGTERM);
    ASSERT_EQ(parent.wait(5s), 128 + SIGTERM);
    auto died = std::chrono::steady_clock::now();
    EXPECT_EQ(p.wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - died, 1s);
    EXPECT_NE(readFile(log()).find("main: parent process " + std::to_string(parent.pid) +
                                   " exited, stopping enhancer"),
              std::string::npos);
}

// The parent is watched only after the start-up child (no thread may exist
// while it forks); one that ends while the upscaler is picked still stops
// the service.
TEST_F(Startup, ParentDyingDuringThePickStopsTheService) {
    Process parent;
    spawn(parent, {"/bin/sleep", "60"}, {}, "/dev/null", "/dev/null");
    Process p;
    launch(p, {"--parent-pid", std::to_string(parent.pid), "--port", std::to_string(freePort())},
           {{"CORVEL_ENHANCE_UPSCALER", ""}});
    ASSERT_TRUE(eventually([&] { return readFile(log()).find("upscaler: ") != std::string::npos; }, 10s));
    parent.kill(SIGTERM);
    ASSERT_EQ(parent.wait(5s), 128 + SIGTERM);
    EXPECT_EQ(p.wait(120s), 0) << readFile(log());
    const std::string text = readFile(log());
    EXPECT_NE(text.find("main: the upscaler pick took "), std::string::npos) << text;
    EXPECT_NE(text.find("main: parent process " + std::to_string(parent.pid) + " exited, stopping enhancer"),
              std::string::npos)
        << text;
}

TEST_F(Startup, LogAppendsAcrossRuns) {
    writeFile(log(), "earlier line\n");
    for (int run = 0; run < 2; ++run) {
        Process p;
        launch(p, {"--parent-pid", std::to_string(deadPid())});
        ASSERT_EQ(p.wait(10s), 0);
    }
    std::string text = readFile(log());
    EXPECT_EQ(text.rfind("earlier line\n", 0), 0u);
    EXPECT_EQ(countOf(text, "is already gone, exiting\n"), 2);
}

TEST_F(Startup, OnlyOneEnablesTheStderrCopy) {
    for (std::string setting : {"0", "true", "yes", "", " 1", "1"}) {
        stderrSetting = setting;
        Process p;
        launch(p, {"--parent-pid", std::to_string(deadPid())});
        ASSERT_EQ(p.wait(10s), 0);
        bool copied = err().find("is already gone, exiting\n") != std::string::npos;
        EXPECT_EQ(copied, setting == "1") << "'" << setting << "'";
    }
}

TEST_F(Startup, OneShotModesAreDispatchedWhereTheyStand) {
    int port = freePort();
    for (std::string mode : {"--bench", "--deband"}) {
        Process p;
        launch(p, {"--bind", "127.0.0.1", mode, "--port", std::to_string(port)});
        EXPECT_EQ(p.wait(10s), 2) << mode;
        if (mode == "--bench")
            // The bench takes every word after the first: "127.0.0.1" as its
            // methods and "--bench" as a size, which does not parse.
            EXPECT_EQ(out(), "usage: CorvelLiveEnhancer --bench <method,...> <in WxH> <out WxH> <image> "
                             "[frames] [png dir]\n");
        else
            // The deband check takes the words after its own: two, too few.
            EXPECT_EQ(out(), "usage: --deband <yuv420p file> <width> <height> <out dir>\n");
    }
    // Nothing listened on the port meanwhile.
    EXPECT_LT(connectTo(port), 0);
}
