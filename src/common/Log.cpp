#include "common/Log.h"
#include "common/WriteAll.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace corvel {
namespace {

std::mutex& logLock() {
    static std::mutex lock;
    return lock;
}

// The file descriptor of the log file, opened on first use; -1 when it cannot
// be opened. O_APPEND keeps each line at the end even when two processes share
// the file; the file is never truncated.
int logFile() {
    static const int fd = [] {
        const char* configured = std::getenv("CORVEL_ENHANCE_LOG");
        std::string path;
        if (configured != nullptr && *configured != '\0') {
            path = configured;
        } else {
            path = defaultLogPath();
            std::error_code ignored;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        }
        return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }();
    return fd;
}

std::string stamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
    return text;
}

} // namespace

std::string defaultLogPath() {
    std::string state;
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && *xdg == '/') {
        state = xdg;
    } else {
        const char* home = std::getenv("HOME");
        state = std::string(home != nullptr ? home : "") + "/.local/state";
    }
    return state + "/Corvel Server/enhancer.log";
}

void logf(std::string_view message) {
    try {
        std::lock_guard guard(logLock());
        std::string line = stamp();
        line += ' ';
        line += message;
        line += '\n';
        if (const int fd = logFile(); fd >= 0) writeAll(fd, line);
        const char* copy = std::getenv("CORVEL_ENHANCE_LOG_STDERR");
        if (copy != nullptr && std::string_view(copy) == "1") writeAll(STDERR_FILENO, line);
    } catch (...) {
        // Out of memory while building a line: the line is lost, nothing else.
    }
}

} // namespace corvel
