#include "support/Loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvel::test {

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string readAll(int fd, std::chrono::milliseconds timeout) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

std::string askRaw(int port, const std::string& raw, std::chrono::milliseconds timeout) {
    int fd = connectTo(port);
    if (fd < 0) return {};
    sendAll(fd, raw);
    std::string answer = readAll(fd, timeout);
    close(fd);
    return answer;
}

std::string RawResponse::header(const std::string& name) const {
    for (const auto& line : headLines) {
        if (line.size() > name.size() + 1 && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
            line[name.size()] == ':') {
            size_t start = line.find_first_not_of(' ', name.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "";
}

RawResponse parseRaw(const std::string& raw) {
    RawResponse r;
    size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return r;
    r.status = std::atoi(raw.c_str() + 9);
    size_t pos = raw.find("\r\n") + 2;
    while (pos < headEnd) {
        size_t next = raw.find("\r\n", pos);
        r.headLines.push_back(raw.substr(pos, next - pos));
        pos = next + 2;
    }
    r.body = raw.substr(headEnd + 4);
    return r;
}

Process::~Process() {
    if (pid > 0 && !reaped) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

int Process::wait(std::chrono::milliseconds timeout) {
    if (reaped) return status;
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid) {
            reaped = true;
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return status;
        }
        if (std::chrono::steady_clock::now() > end) return -1;
        usleep(5000);
    }
}

bool Process::running() { return wait(std::chrono::milliseconds(0)) == -1; }

void Process::kill(int signal) {
    if (pid > 0 && !reaped) ::kill(pid, signal);
}

void spawn(Process& process, const std::vector<std::string>& argv,
           const std::vector<std::pair<std::string, std::string>>& env, const std::string& stdoutPath,
           const std::string& stderrPath) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) vars[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& s : argCopy) args.push_back(s.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    process.pid = rc == 0 ? pid : -1;
    process.reaped = rc != 0;
}

} // namespace corvel::test
