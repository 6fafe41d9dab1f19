#include "source/Child.h"

#include "common/EnhanceError.h"
#include "common/Spawn.h"
#include "common/Thread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace corvel {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0.
size_t utf8Length(const std::string& s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t code;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const auto t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        code = (code << 6) | (t & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

} // namespace

std::optional<std::vector<std::string>> errorLines(const std::string& chunk) {
    std::vector<std::string> lines;
    std::string line;
    auto flush = [&] {
        if (!line.empty()) lines.push_back(line);
        line.clear();
    };
    for (size_t i = 0; i < chunk.size();) {
        const size_t n = utf8Length(chunk, i);
        if (n == 0) return std::nullopt;
        const char c = chunk[i];
        const bool breaks = (n == 1 && (c == '\n' || c == '\v' || c == '\f' || c == '\r')) ||
                            (n == 2 && chunk.compare(i, 2, "\xC2\x85") == 0) ||
                            (n == 3 && (chunk.compare(i, 3, "\xE2\x80\xA8") == 0 ||
                                        chunk.compare(i, 3, "\xE2\x80\xA9") == 0));
        if (breaks) flush();
        else line.append(chunk, i, n);
        i += n;
    }
    flush();
    return lines;
}

Child::Child(const std::string& tool, const std::vector<std::string>& arguments) {
    const std::string name = tool.substr(tool.find_last_of('/') + 1);
    auto fail = [&](int code) -> EnhanceError {
        return EnhanceError("Could not start " + name + ": " + std::strerror(code));
    };
    // Close-on-exec, so that a tool started later never inherits this one's
    // pipes (an inherited write end would keep our reader from ever seeing
    // the end of the stream).
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw fail(errno);
    if (pipe2(err, O_CLOEXEC) != 0) {
        const int code = errno;
        close(out[0]);
        close(out[1]);
        throw fail(code);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The service ignores SIGPIPE and an ignored signal survives exec; the
    // tool gets the default back so that it ends when its reader is gone.
    posix_spawnattr_t attributes;
    initChildSignals(attributes, {SIGPIPE, SIGTERM, SIGINT});

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(name.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, tool.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        pid_ = -1;
        throw fail(rc);
    }
    output_ = out[0];
    errors_ = err[0];
    try {
        reader_ = std::make_unique<JoinableThread>(name + " errors", 64 * 1024, [this] { readErrors(); });
    } catch (const std::exception&) {
        // Without a reader the tool could block on a full standard-error pipe.
        close(errors_);
        errors_ = -1;
        terminate();
        close(output_);
        output_ = -1;
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        throw EnhanceError("Could not start " + name + ": no thread for its messages");
    }
}

Child::~Child() {
    if (output_ >= 0) close(output_); // a tool still writing gets SIGPIPE
    if (pid_ > 0) {
        terminate();
        // ffmpeg ends within a few milliseconds of SIGTERM; one that does not
        // within 2 s is killed, so that no release ever hangs.
        int status = 0;
        bool reaped = false;
        for (int i = 0; i < 200 && !reaped; ++i) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) reaped = true;
            else std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!reaped) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    // The process is gone, so its standard error has reached its end.
    reader_.reset();
    if (errors_ >= 0) close(errors_);
}

void Child::terminate() {
    if (pid_ > 0) kill(pid_, SIGTERM);
}

void Child::readErrors() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(errors_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::lock_guard<std::mutex> guard(lock_);
            errorsEnded_ = true;
            errorsDone_.notify_all();
            return;
        }
        // A chunk that is not UTF-8 (or splits a character) leaves the last
        // line as it was; reading goes on so that the tool never blocks on a
        // full pipe.
        auto lines = errorLines(std::string(buffer, static_cast<size_t>(n)));
        if (!lines) continue;
        // ffmpeg's "    Last message repeated N times" names no reason: the
        // line it repeats is the one worth keeping.
        auto reason = std::find_if(lines->rbegin(), lines->rend(), [](const std::string& line) {
            return line.find_first_not_of(' ') == std::string::npos ||
                           line.compare(line.find_first_not_of(' '), 21, "Last message repeated") != 0;
        });
        if (reason == lines->rend()) continue;
        std::lock_guard<std::mutex> guard(lock_);
        lastError_ = *reason;
    }
}

std::string Child::lastError() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lastError_;
}

std::string Child::finalError(int waitMs) const {
    std::unique_lock<std::mutex> lock(lock_);
    errorsDone_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return errorsEnded_; });
    return lastError_;
}

size_t Child::read(void* into, size_t count) {
    auto* bytes = static_cast<uint8_t*>(into);
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(output_, bytes + got, count - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

std::optional<std::vector<uint8_t>> Child::read(size_t count) {
    std::vector<uint8_t> data(count);
    if (read(data.data(), count) != count) return std::nullopt;
    return data;
}

std::optional<std::vector<uint8_t>> readSome(Child& child) {
    std::vector<uint8_t> data(65536);
    for (;;) {
        const ssize_t n = ::read(child.outputDescriptor(), data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        data.resize(static_cast<size_t>(n));
        return data;
    }
}

} // namespace corvel
