#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace corvel::test {

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and
// released), for starting servers in tests.
int freePort();

// A connected loopback client socket, or -1.
int connectTo(int port);

// Sends `bytes` (all of them; false on error).
bool sendAll(int fd, const std::string& bytes);

// Reads until the peer closes or `timeout` passes; the bytes read.
std::string readAll(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// One request on a fresh connection: sends `raw`, returns everything answered.
std::string askRaw(int port, const std::string& raw,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The same; call it qualified (test::exchange), since an unqualified call
// with a std::string argument finds std::exchange.
inline std::string exchange(int port, const std::string& raw,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return askRaw(port, raw, timeout);
}

// The parts of a raw HTTP answer.
struct RawResponse {
    int status = 0;
    std::vector<std::string> headLines; // without the status line and CRLFs
    std::string body;
    std::string header(const std::string& name) const; // "" when absent
};
RawResponse parseRaw(const std::string& raw);

// Runs a child process with its stdout and stderr captured into files.
struct Process {
    int pid = -1;
    ~Process(); // kills and reaps when still running
    // Waits up to `timeout` for the exit; the exit status, or -1 on timeout
    // (128 + signal for a signalled child).
    int wait(std::chrono::milliseconds timeout);
    bool running();
    void kill(int signal = 9);
    int status = -1;
    bool reaped = false;
};
// Starts `argv` with `env` added to (or replacing in) the current environment
// and stdout/stderr written to the given files.
void spawn(Process& process, const std::vector<std::string>& argv,
           const std::vector<std::pair<std::string, std::string>>& env, const std::string& stdoutPath,
           const std::string& stderrPath);

// Polls `predicate` every 10 ms until it holds or `timeout` passes.
template <typename F> bool eventually(F predicate, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        struct timespec ts{0, 10'000'000};
        nanosleep(&ts, nullptr);
    }
}

} // namespace corvel::test
