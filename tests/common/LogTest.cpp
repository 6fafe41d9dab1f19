#include "common/Log.h"
#include "support/TempDir.h"

#include <cstdlib>
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
