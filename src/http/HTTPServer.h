#pragma once

#include "http/HTTPMessage.h"

#include <functional>
#include <memory>
#include <string>

namespace corvel {

// Bounds that keep silent or slow clients from pinning threads or memory.
struct HTTPServerLimits {
    // The whole request head must arrive within this many milliseconds of the
    // accept; a client that is slower is dropped without an answer.
    int headTimeoutMs = 10000;
    // A single send that makes no progress for this long ends the answer (a
    // client that stopped reading). Segment answers are sent in one go over
    // loopback, so this never cuts a live player.
    int sendTimeoutMs = 60000;
    // Connection threads alive at once; the accept loop waits for a free slot
    // beyond it (the kernel's backlog keeps the waiting connections).
    int maxConnections = 1024;
};

// A minimal HTTP/1.1 server: one IPv4 listening socket, an accept thread named
// "http", one thread (1 MiB stack) per connection, exactly one request per
// connection, and every answer closes the connection. It knows nothing of the
// service: it parses the request line and query and calls the handler, which
// runs concurrently on many connection threads.
class HTTPServer {
public:
    using Handler = std::function<HTTPResponse(const HTTPRequest&)>;

    explicit HTTPServer(HTTPServerLimits limits = {});
    // The service's server lives until the process exits; tests make servers
    // of their own, which stop accepting when destroyed (connections already
    // being served finish on their own threads).
    ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Opens the socket on `bind` (a dotted IPv4 address) and `port`, and
    // starts the accept thread. False when the socket cannot be made, the
    // address is not dotted IPv4, the port is outside 0 ... 65535, or bind or
    // listen fails. Call once.
    bool start(const std::string& bind, int port, Handler handler);

    // The listening socket, -1 before a successful start.
    int listener() const;
    // The port actually bound (differs from the asked one only for port 0).
    int boundPort() const;
    // Connection threads alive now.
    int openConnections() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace corvel
