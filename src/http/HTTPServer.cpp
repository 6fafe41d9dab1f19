#include "http/HTTPServer.h"

#include "common/Thread.h"
#include "http/RequestParser.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace corvel {

namespace {
constexpr size_t kConnectionStack = 1024 * 1024; // bytes
constexpr size_t kReadStep = 4096;               // bytes per read
} // namespace

struct HTTPServer::State {
    HTTPServerLimits limits;
    Handler handler;                 // set once in start, before the accept thread exists
    std::atomic<int> listener{-1};
    std::atomic<int> port{0};
    std::atomic<bool> stopping{false};

    std::mutex slotsLock;
    std::condition_variable slotFreed;
    int active = 0; // guarded by slotsLock; connection threads alive

    void acceptLoop(const std::shared_ptr<State>& self);
    void serve(int fd, const std::string& peer) const;
    void releaseSlot() {
        std::lock_guard guard(slotsLock);
        --active;
        slotFreed.notify_one();
    }
};

namespace {

// Sends all of `bytes`; a failed or zero-progress send silently ends it.
// `more`: further bytes follow at once (the kernel holds a partial packet
// for them instead of sending it alone).
void sendAll(int fd, std::string_view bytes, bool more = false) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// Reads until the buffer holds a complete head. False when the client closed,
// failed, sent too much, or did not finish within the deadline.
bool readHead(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline) {
    char chunk[kReadStep];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(n));
        // The size check comes before the search: an oversized buffer is
        // dropped even when it holds a complete head.
        if (buffer.size() > kMaxHeadBytes) return false;
        if (headComplete(buffer)) return true;
    }
}

std::string peerText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

} // namespace

void HTTPServer::State::serve(int fd, const std::string& peer) const {
    timeval sendTimeout{limits.sendTimeoutMs / 1000, (limits.sendTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);

    std::string buffer;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(limits.headTimeoutMs);
    if (!readHead(fd, buffer, deadline)) return;

    ParsedHead parsed = parseRequestHead(buffer, peer);
    if (std::holds_alternative<CloseSilently>(parsed)) return;
    if (auto* answer = std::get_if<AnswerAtOnce>(&parsed)) {
        sendAll(fd, serializeResponse(answer->response, false));
        return;
    }
    const HTTPRequest& request = std::get<HTTPRequest>(parsed);
    HTTPResponse response;
    try {
        response = handler(request);
    } catch (const std::exception& error) {
        // The handler turns its own failures into answers; this only guards
        // the connection against a programming slip.
        response = HTTPResponse::text(503, std::string(error.what()) + "\n");
    }
    // The head, then the body from where the answer holds it (a media
    // segment is sent from the store, not from a copy).
    const std::string_view body = request.method == "HEAD" ? std::string_view() : response.bodyBytes();
    sendAll(fd, serializeHead(response), !body.empty());
    sendAll(fd, body);
}

void HTTPServer::State::acceptLoop(const std::shared_ptr<State>& self) {
    while (!stopping.load()) {
        {
            std::unique_lock lock(slotsLock);
            slotFreed.wait(lock, [&] { return active < limits.maxConnections || stopping.load(); });
        }
        sockaddr_in client{};
        socklen_t length = sizeof client;
        const int fd = ::accept4(listener.load(), reinterpret_cast<sockaddr*>(&client), &length,
                                 SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping.load()) return;
            // Out of descriptors or memory: retrying at once would spin the
            // core while nothing can change; a short pause lets slots free.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        std::string peer = peerText(client);
        {
            std::lock_guard guard(slotsLock);
            ++active;
        }
        const bool started = startDetachedThread("http-conn", kConnectionStack, [self, fd, peer] {
            self->serve(fd, peer);
            ::close(fd);
            self->releaseSlot();
        });
        if (!started) {
            ::close(fd);
            releaseSlot();
        }
    }
}

HTTPServer::HTTPServer(HTTPServerLimits limits) : state_(std::make_shared<State>()) {
    state_->limits = limits;
}

HTTPServer::~HTTPServer() {
    state_->stopping = true;
    const int fd = state_->listener.exchange(-1);
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR); // wakes the accept thread
        ::close(fd);
    }
    std::lock_guard guard(state_->slotsLock);
    state_->slotFreed.notify_all();
}

bool HTTPServer::start(const std::string& bind, int port, Handler handler) {
    // Writing to a connection the client closed must fail, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (port < 0 || port > 65535) return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, bind.c_str(), &address.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
        ::close(fd);
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    state_->port = ntohs(bound.sin_port);
    state_->handler = std::move(handler);
    state_->listener = fd;
    auto self = state_;
    if (!startDetachedThread("http", 0, [self] { self->acceptLoop(self); })) {
        state_->listener = -1;
        ::close(fd);
        return false;
    }
    return true;
}

int HTTPServer::listener() const { return state_->listener.load(); }
int HTTPServer::boundPort() const { return state_->port.load(); }
int HTTPServer::openConnections() const {
    std::lock_guard guard(state_->slotsLock);
    return state_->active;
}

} // namespace corvel
