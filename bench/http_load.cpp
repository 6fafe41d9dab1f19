// Loopback load on the service's status route: N client threads each open a
// fresh connection per request (the server answers one request per
// connection), for a fixed duration. Prints requests per second, latency
// percentiles and failures (anything but a complete 200 answer).
//
//   http_load PORT [connections=50] [seconds=10] [path=/v1/enhanced/status]
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool oneRequest(int port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    std::string answer;
    char buffer[4096];
    while (ok) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) ok = false;
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (!ok || answer.compare(0, 12, "HTTP/1.1 200") != 0) return false;
    size_t head = answer.find("\r\n\r\n");
    size_t length = answer.find("Content-Length: ");
    if (head == std::string::npos || length == std::string::npos) return false;
    return answer.size() - head - 4 == std::strtoul(answer.c_str() + length + 16, nullptr, 10);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: http_load PORT [connections] [seconds] [path]\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    int connections = argc > 2 ? std::atoi(argv[2]) : 50;
    double seconds = argc > 3 ? std::atof(argv[3]) : 10.0;
    std::string path = argc > 4 ? argv[4] : "/v1/enhanced/status";
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

    std::atomic<long> failures{0};
    std::vector<std::vector<double>> latencies(static_cast<size_t>(connections));
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
            auto& mine = latencies[static_cast<size_t>(c)];
            while (std::chrono::steady_clock::now() < end) {
                auto t0 = std::chrono::steady_clock::now();
                bool ok = oneRequest(port, request);
                auto t1 = std::chrono::steady_clock::now();
                if (ok) mine.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
                else ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) {
        return all.empty() ? 0.0 : all[std::min(all.size() - 1, static_cast<size_t>(p * static_cast<double>(all.size())))];
    };
    std::printf("connections %d, %.1f s: %zu requests, %.0f requests/s, p50 %.2f ms, p99 %.2f ms, "
                "max %.2f ms, failures %ld\n",
                connections, elapsed, all.size(), static_cast<double>(all.size()) / elapsed, pct(0.50), pct(0.99),
                all.empty() ? 0.0 : all.back(), failures.load());
    return failures.load() == 0 ? 0 : 1;
}
