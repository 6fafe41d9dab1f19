// The stand-in media server over loopback: item answers, byte ranges, faults
// and counters, as the source tests and the demo rely on them.
#include "source/SourceFixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace corvel::test {
namespace {

class StandinTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir();
        std::string bytes;
        for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i % 251);
        writeFile(folder_->file("blob.mp4"), bytes);
        ffmpeg(folder_->path(), "-f lavfi -i testsrc2=size=160x90:rate=25 -t 1 -c:v libx264 -g 25 one.mp4");
        std::filesystem::create_directory(folder_->file("two"));
        ffmpeg(folder_->path(), "-i one.mp4 -c copy two/b.mp4");
        ffmpeg(folder_->path(), "-i one.mp4 -c copy two/a.mp4");
        writeFile(folder_->file("side.json"), "{\"parts\":[{\"playable\":{\"mode\":\"later\"}}]}");
        server_ = new Standin(folder_->path());
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }
    void TearDown() override { server_->clear(); }

    static RawResponse get(const std::string& path, const std::string& headers = "") {
        return parseRaw(test::exchange(server_->port(), "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n"));
    }
    static std::string blob(size_t from, size_t to) {
        return readFile(folder_->file("blob.mp4")).substr(from, to - from);
    }

    static TempDir* folder_;
    static Standin* server_;
};
TempDir* StandinTest::folder_ = nullptr;
Standin* StandinTest::server_ = nullptr;

TEST_F(StandinTest, AnswersByteRangesWithContentRange) {
    auto part = get("/media/blob.mp4", "Range: bytes=10-19\r\n");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.header("Content-Range"), "bytes 10-19/1000");
    EXPECT_EQ(part.body, blob(10, 20));

    auto open = get("/media/blob.mp4", "Range: bytes=990-\r\n");
    EXPECT_EQ(open.header("Content-Range"), "bytes 990-999/1000");
    EXPECT_EQ(open.body, blob(990, 1000));

    auto past = get("/media/blob.mp4", "Range: bytes=995-5000\r\n");
    EXPECT_EQ(past.header("Content-Range"), "bytes 995-999/1000");

    auto suffix = get("/media/blob.mp4", "Range: bytes=-5\r\n");
    EXPECT_EQ(suffix.body, blob(995, 1000));

    auto whole = get("/media/blob.mp4");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body.size(), 1000u);

    EXPECT_EQ(get("/media/blob.mp4", "Range: bytes=1000-1001\r\n").status, 416);
    EXPECT_EQ(get("/media/missing.mp4").status, 404);
    EXPECT_EQ(get("/media/../etc/passwd").status, 404);
}

TEST_F(StandinTest, DescribesMediaFilesAndFoldersOfParts) {
    auto one = nlohmann::json::parse(get("/v1/items/one").body);
    EXPECT_EQ(one["video"]["codec"], "h264");
    EXPECT_EQ(one["video"]["width"], 160);
    EXPECT_EQ(one["video"]["height"], 90);
    EXPECT_DOUBLE_EQ(one["video"]["fps_num"].get<double>() / one["video"]["fps_den"].get<double>(), 25.0);
    ASSERT_EQ(one["parts"].size(), 1u);
    EXPECT_EQ(one["parts"][0]["media_path"], "/media/one.mp4");
    EXPECT_EQ(one["parts"][0]["playable"]["mode"], "direct");
    EXPECT_NEAR(one["parts"][0]["duration_sec"].get<double>(), 1.0, 0.05);
    EXPECT_EQ(one["total_bytes"].get<double>(), static_cast<double>(std::filesystem::file_size(folder_->file("one.mp4"))));

    auto two = nlohmann::json::parse(get("/v1/items/two").body);
    ASSERT_EQ(two["parts"].size(), 2u);
    EXPECT_EQ(two["parts"][0]["file_name"], "a.mp4");
    EXPECT_EQ(two["parts"][1]["media_path"], "/media/two/b.mp4");

    EXPECT_EQ(get("/v1/items/side").body, readFile(folder_->file("side.json")));
    EXPECT_EQ(get("/v1/items/nothing").status, 404);
}

TEST_F(StandinTest, PlaysFaultsOnTheirTarget) {
    server_->fault("target=media&status=503");
    EXPECT_EQ(get("/media/blob.mp4", "Range: bytes=0-9\r\n").status, 503);
    EXPECT_EQ(get("/v1/items/one").status, 200); // items are not the target

    server_->fault("target=media&ignore_range=1");
    auto whole = get("/media/blob.mp4", "Range: bytes=0-9\r\n");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body.size(), 1000u);

    server_->fault("unknown_total=1");
    EXPECT_EQ(get("/media/blob.mp4", "Range: bytes=0-9\r\n").header("Content-Range"), "bytes 0-9/*");

    server_->fault("cut=4");
    auto cut = get("/media/blob.mp4", "Range: bytes=0-99\r\n");
    EXPECT_EQ(cut.header("Content-Length"), "100");
    EXPECT_EQ(cut.body, blob(0, 4));

    server_->fault("delay_ms=300");
    auto start = std::chrono::steady_clock::now();
    get("/media/blob.mp4", "Range: bytes=0-0\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    server_->fault("status=500&count=1");
    EXPECT_EQ(get("/v1/items/one").status, 500);
    EXPECT_EQ(get("/v1/items/one").status, 200); // the fault was used up
}

TEST_F(StandinTest, CountsRequestsAndRangesButNotControl) {
    server_->resetStats();
    get("/v1/items/one");
    get("/media/blob.mp4", "Range: bytes=0-9\r\n");
    get("/media/blob.mp4", "Range: bytes=10-19\r\n");
    get("/media/blob.mp4");
    auto stats = server_->stats();
    EXPECT_EQ(stats["requests"], 4);
    EXPECT_EQ(stats["items"], 1);
    EXPECT_EQ(stats["media"], 3);
    EXPECT_EQ(stats["ranges"], 2);
    EXPECT_EQ(stats["media_bytes"], 1020);
}

} // namespace
} // namespace corvel::test
