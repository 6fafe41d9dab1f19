// How the client side talks to the media server, checked against the
// stand-in over loopback: the exact request targets it sends, that proxy
// variables do not divert it, that a server ignoring Range costs one window
// and not the part, that abandoned transfers end at once, and that item
// answers outside sane limits are refused with a sentence naming the limit.
#include "SourceFixtures.h"

#include "common/EnhanceError.h"
#include "source/HTTPClient.h"
#include "source/StreamInfo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

namespace corvel::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

class MediaServerClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir();
        server_ = new Standin(folder_->path());
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }
    void SetUp() override { server_->resetStats(); }
    void TearDown() override { server_->clear(); }

    static json item(double width, double height, double fps, double seconds) {
        return {{"video", {{"width", width}, {"height", height}, {"fps", fps}}},
                {"parts",
                 {{{"playable", {{"mode", "direct"}}}, {"media_path", "/media/none.mp4"}, {"duration_sec", seconds}}}}};
    }
    static void sidecar(const std::string& id, const json& answer) {
        writeFile(folder_->file(id + ".json"), answer.dump());
    }
    static std::string outcome(const std::string& id, double segSec = 1.0) {
        try {
            StreamInfo info = loadStreamInfo(server_->base(), id, segSec, false);
            return "loaded " + std::to_string(info.segments) + " segments";
        } catch (const EnhanceError& e) {
            return e.description();
        }
    }

    static TempDir* folder_;
    static Standin* server_;
};
TempDir* MediaServerClientTest::folder_ = nullptr;
Standin* MediaServerClientTest::server_ = nullptr;

// Sets environment variables for one scope and restores them after.
class ScopedEnv {
public:
    void set(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        unsetenv(name.c_str());
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) setenv(it->first.c_str(), it->second->c_str(), 1);
            else unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(MediaServerClientTest, ItemIsOnePercentEncodedPathSegment) {
    const std::string base = server_->base();
    // What each item name must look like on the wire, and which file the
    // stand-in (which decodes the segment once) then answers from.
    const struct {
        std::string item;
        std::string target;
    } cases[] = {
        {"a?api_key=x&y=1", "/v1/items/a%3Fapi_key%3Dx%26y%3D1"},
        {"..", "/v1/items/%2E%2E"},
        {".", "/v1/items/%2E"},
        {"%2e", "/v1/items/%252e"},
        {"a/b", "/v1/items/a%2Fb"},
        {"x y#z", "/v1/items/x%20y%23z"},
        {"caf\xc3\xa9", "/v1/items/caf%C3%A9"},
        {"Title-1_a.b~", "/v1/items/Title-1_a.b~"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(itemURL(base, c.item), base + c.target) << c.item;
        EXPECT_EQ(itemURL(base + "/", c.item), base + c.target) << c.item;
    }

    // Over the wire: the stand-in records each target exactly as it came.
    // The first and the %2e names have sidecars of their own, so they load
    // under their own names and nothing else.
    sidecar("a?api_key=x&y=1", item(320, 180, 25, 2));
    sidecar("%2e", item(320, 180, 25, 3));
    server_->resetStats();
    EXPECT_EQ(outcome("a?api_key=x&y=1"), "loaded 2 segments");
    EXPECT_EQ(outcome("%2e"), "loaded 3 segments");
    EXPECT_EQ(outcome(".."), "Corvel Server no longer has this title.");
    EXPECT_EQ(outcome("a/b"), "Corvel Server no longer has this title.");
    const std::vector<std::string> expected = {"/v1/items/a%3Fapi_key%3Dx%26y%3D1", "/v1/items/%252e",
                                               "/v1/items/%2E%2E", "/v1/items/a%2Fb"};
    EXPECT_EQ(server_->targets(), expected);
}

TEST_F(MediaServerClientTest, ProxyVariablesDoNotDivertTheMediaServer) {
    sidecar("direct", item(320, 180, 25, 2));
    std::string bytes(3000, 'p');
    writeFile(folder_->file("direct.bin"), bytes);
    // A proxy that answers nothing: any request sent there fails.
    const std::string dead = "http://127.0.0.1:" + std::to_string(freePort());
    ScopedEnv env;
    for (const char* name : {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"}) env.set(name, dead);
    for (const char* name : {"no_proxy", "NO_PROXY"}) env.unset(name);
    EXPECT_EQ(outcome("direct"), "loaded 2 segments");
    auto [part, total] = httpRange(server_->base() + "/media/direct.bin", 10, 20);
    EXPECT_EQ(std::string(part.begin(), part.end()), bytes.substr(10, 10));
    EXPECT_EQ(total, 3000u);
    EXPECT_EQ(server_->stats()["requests"], 2);
}

TEST_F(MediaServerClientTest, ServerIgnoringRangeCostsTheWindowNotThePart) {
    // A 64 MiB part (sparse: no disk) with known bytes at the window.
    const uint64_t size = 64ull << 20;
    const std::string path = folder_->file("large.bin");
    {
        std::ofstream out(path, std::ios::binary);
        out.seekp(1 << 20);
        for (int i = 0; i < 8192; ++i) out.put(static_cast<char>(i % 251));
    }
    std::filesystem::resize_file(path, size);
    server_->fault("target=media&ignore_range=1");
    auto [window, total] = httpRange(server_->base() + "/media/large.bin", (1 << 20) + 100, (1 << 20) + 4196);
    ASSERT_EQ(window.size(), 4096u);
    for (size_t i = 0; i < window.size(); ++i) ASSERT_EQ(window[i], (i + 100) % 251) << i;
    EXPECT_EQ(total, size); // the announced length
    // The stand-in counts what it could send before the client closed; the
    // loopback socket buffers hold a few MiB at most.
    ASSERT_TRUE(eventually([&] { return server_->stats()["media_bytes"].get<int64_t>() > 0; }, 10s));
    EXPECT_LT(server_->stats()["media_bytes"].get<int64_t>(), static_cast<int64_t>(size / 2));
}

TEST_F(MediaServerClientTest, AbandonedTransferEndsAtOnce) {
    writeFile(folder_->file("slow.bin"), std::string(100, 's'));
    const std::string url = server_->base() + "/media/slow.bin";
    server_->fault("target=media&delay_ms=20000");
    std::atomic<bool> replaced{false};
    std::thread later([&] {
        std::this_thread::sleep_for(300ms);
        replaced = true;
    });
    const auto t0 = std::chrono::steady_clock::now();
    std::string error;
    {
        TransferStop stop([&] { return replaced.load(); });
        try {
            httpRange(url, 0, 10);
        } catch (const EnhanceError& e) {
            error = e.description();
        }
    }
    later.join();
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(error, "Corvel Server answered 0 for the part's bytes (the request was abandoned).");
    EXPECT_LT(waited, 10s); // not the 20 s stall, nor the 30 s time-out
    // A stop that holds already fails without asking the server; outside
    // the scope the same thread fetches normally again.
    server_->clear();
    server_->resetStats();
    {
        TransferStop stop([] { return true; });
        EXPECT_THROW(httpRange(url, 0, 10), EnhanceError);
    }
    EXPECT_EQ(server_->stats()["media"], 0);
    EXPECT_EQ(httpRange(url, 0, 10).first.size(), 10u);
}

TEST_F(MediaServerClientTest, NonsenseTitlesAreRefusedWithTheirLimit) {
    const std::string size = "This title's picture (999998x999998) is larger than the Mac's enhancer takes "
                             "(8192 pixels a side and 8192x4352 in all at most).";
    sidecar("huge", item(999998, 999998, 25, 10));
    EXPECT_EQ(outcome("huge"), size);
    sidecar("wide", item(16384, 180, 25, 10));
    EXPECT_EQ(outcome("wide"), "This title's picture (16384x180) is larger than the Mac's enhancer takes "
                               "(8192 pixels a side and 8192x4352 in all at most).");
    sidecar("square8k", item(8192, 8192, 25, 10)); // each side fits, the whole does not
    EXPECT_NE(outcome("square8k").find("is larger than"), std::string::npos);
    sidecar("fast", item(320, 180, 500000, 10));
    EXPECT_EQ(outcome("fast"), "This title's frame rate (500000.000 frames/s) is higher than the Mac's enhancer "
                               "takes (240 at most).");
    sidecar("long", item(320, 180, 25, 1e7));
    EXPECT_EQ(outcome("long"), "This title's length (10000000.0 s) is longer than the Mac's enhancer takes "
                               "(24 hours at most).");
    sidecar("longer", item(320, 180, 25, 1e12));
    EXPECT_NE(outcome("longer").find("is longer than"), std::string::npos);
    // A segment length shorter than any the options allow would need more
    // segments than a playlist may list.
    sidecar("day", item(320, 180, 24, 86400));
    EXPECT_EQ(outcome("day", 0.25), "This title would need 345600 segments, more than the Mac's enhancer makes "
                                    "(172800 at most).");
    // The limits themselves are taken.
    EXPECT_EQ(outcome("day", 0.5), "loaded 172800 segments");
    sidecar("edge", item(8192, 4352, 240, 60));
    EXPECT_EQ(outcome("edge"), "loaded 60 segments");
}

} // namespace
} // namespace corvel::test
