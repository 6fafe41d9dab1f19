#include "common/Log.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace corvel;
using corvel::test::readFile;
using corvel::test::TempDir;

// The log path is fixed at the first line written, so every case of this
// executable shares one file set up here.
class LogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir();
        setenv("CORVEL_ENHANCE_LOG", dir->file("enhancer.log").c_str(), 1);
        unsetenv("CORVEL_ENHANCE_LOG_STDERR");
    }
    static void TearDownTestSuite() { delete dir; }
    static TempDir* dir;
};
TempDir* LogTest::dir = nullptr;

TEST_F(LogTest, LinesCarryAMillisecondTimestampAndNeverInterleave) {
    constexpr int threads = 8, lines = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < lines; ++i)
                logf("writer " + std::to_string(t) + " line " + std::to_string(i) +
                     std::string(100, 'x'));
        });
    }
    for (auto& w : writers) w.join();

    std::istringstream text(readFile(dir->file("enhancer.log")));
    std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} writer \d+ line \d+x{100})");
    std::string line;
    int count = 0;
    while (std::getline(text, line)) {
        ASSERT_TRUE(std::regex_match(line, shape)) << line;
        ++count;
    }
    EXPECT_EQ(count, threads * lines);
}

TEST_F(LogTest, DefaultPathFollowsXdgStateHome) {
    setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(defaultLogPath(), "/state/Corvel Server/enhancer.log");
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(defaultLogPath(), "/home/u/.local/state/Corvel Server/enhancer.log");
}

// The file is opened once, at the first line, and every later line goes to
// that one open file: no descriptor per line, and neither a later change of
// CORVEL_ENHANCE_LOG nor a rename of the file moves the lines elsewhere.
TEST_F(LogTest, TheFileIsOpenedOnceForTheProcess) {
    namespace fs = std::filesystem;
    const std::string path = dir->file("enhancer.log");
    logf("first line of this case");
    auto openFiles = [] {
        int n = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    const int before = openFiles();
    const std::string moved = dir->file("moved.log");
    fs::rename(path, moved);
    setenv("CORVEL_ENHANCE_LOG", dir->file("elsewhere.log").c_str(), 1);
    for (int i = 0; i < 50; ++i) logf("after the move " + std::to_string(i));
    EXPECT_EQ(openFiles(), before);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(dir->file("elsewhere.log")));
    const std::string text = readFile(moved);
    EXPECT_NE(text.find("first line of this case\n"), std::string::npos);
    EXPECT_NE(text.find(" after the move 49\n"), std::string::npos);
    // Put back for the other cases of this process.
    fs::rename(moved, path);
    setenv("CORVEL_ENHANCE_LOG", path.c_str(), 1);
}
