// The HTTP server over real loopback sockets.
#include "http/HTTPServer.h"
#include "support/Loopback.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace corvel;
using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

// Echoes what the parser made of the request, so tests see decoding results
// through the wire.
HTTPResponse echo(const HTTPRequest& r) {
    if (r.path == "/slow") {
        std::this_thread::sleep_for(15s);
        return HTTPResponse::text(200, "slow done\n");
    }
    if (r.path == "/throw") throw std::runtime_error("handler broke");
    if (r.path == "/busy") return HTTPResponse::text(503, "busy\n");
    if (r.path == "/shared") { // a body the answer shares with its owner, 3 MB of every byte value
        static const auto bytes = [] {
            auto v = std::make_shared<std::vector<uint8_t>>(3u << 20);
            for (size_t i = 0; i < v->size(); ++i) v->at(i) = static_cast<uint8_t>(i * 7 + i / 251);
            return std::shared_ptr<const std::vector<uint8_t>>(v);
        }();
        return HTTPResponse{200, "video/mp4", {}, bytes};
    }
    std::string body = r.method + " " + r.path;
    for (const auto& [k, v] : r.query) body += "|" + k + "=" + v;
    return HTTPResponse::text(200, body + "\n");
}

class ServerTest : public ::testing::Test {
protected:
    void startWith(HTTPServerLimits limits) {
        server = std::make_unique<HTTPServer>(limits);
        ASSERT_TRUE(server->start("127.0.0.1", 0, echo));
        port = server->boundPort();
        ASSERT_GT(port, 0);
    }
    void SetUp() override { startWith({}); }
    std::unique_ptr<HTTPServer> server;
    int port = 0;
};

} // namespace

TEST_F(ServerTest, AnswersAndClosesWithExactHead) {
    std::string raw = askRaw(port, "GET /a%20b?x=1+2&y=%zz&x=3&flag HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(raw, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 25\r\n"
                   "Cache-Control: no-store\r\nConnection: close\r\n\r\n"
                   "GET /a b|flag=|x=3|y=%zz\n");
}

TEST_F(ServerTest, HeadGetsTheSameHeadWithoutBody) {
    RawResponse get = parseRaw(askRaw(port, "GET /thing HTTP/1.1\r\n\r\n"));
    RawResponse head = parseRaw(askRaw(port, "HEAD /thing HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(head.status, 200);
    // The handler saw HEAD, so its body differs by one word; the length is
    // the length of what it returned.
    EXPECT_EQ(head.header("Content-Length"), std::to_string(std::string("HEAD /thing\n").size()));
    EXPECT_EQ(head.body, "");
}

// A shared body (a filed segment) is sent from where it is: every byte, after
// the head with its length; HEAD gets the same head and nothing more.
TEST_F(ServerTest, SharedBodiesArriveWhole) {
    const HTTPResponse expected = echo(HTTPRequest{"GET", "/shared", {}, ""});
    ASSERT_TRUE(expected.shared);
    RawResponse get = parseRaw(askRaw(port, "GET /shared HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.header("Content-Type"), "video/mp4");
    EXPECT_EQ(get.header("Content-Length"), std::to_string(3u << 20));
    EXPECT_TRUE(get.body == expected.bodyBytes()) << "the body differs (" << get.body.size() << " bytes)";
    RawResponse head = parseRaw(askRaw(port, "HEAD /shared HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(head.header("Content-Length"), std::to_string(3u << 20));
    EXPECT_EQ(head.body, "");
}

TEST_F(ServerTest, RefusedMethodsAndBadRequestLines) {
    RawResponse del = parseRaw(askRaw(port, "DELETE /x HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(del.status, 405);
    EXPECT_EQ(del.header("Content-Length"), "23");
    EXPECT_EQ(del.body, "GET, HEAD or POST only\n");
    RawResponse single = parseRaw(askRaw(port, "GET\r\n\r\n"));
    EXPECT_EQ(single.status, 400);
    EXPECT_EQ(single.body, "bad request\n");
}

TEST_F(ServerTest, HandlerFailureIsA503WithRetryAfter) {
    RawResponse r = parseRaw(askRaw(port, "GET /throw HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.header("Retry-After"), "1");
    EXPECT_EQ(parseRaw(askRaw(port, "GET /busy HTTP/1.1\r\n\r\n")).header("Retry-After"), "1");
    EXPECT_EQ(parseRaw(askRaw(port, "GET /ok HTTP/1.1\r\n\r\n")).header("Retry-After"), "");
}

TEST_F(ServerTest, HeadArrivingOneByteAtATime) {
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    std::string request = "GET /bytes?q=%41 HTTP/1.1\r\nHost: x\r\n\r\n";
    for (char c : request) {
        ASSERT_TRUE(sendAll(fd, std::string(1, c)));
        std::this_thread::sleep_for(2ms);
    }
    RawResponse r = parseRaw(readAll(fd));
    close(fd);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "GET /bytes|q=A\n");
}

TEST_F(ServerTest, OversizedOrNonTextHeadsGetNoAnswer) {
    // 16385 bytes without the empty line: the buffer limit is passed.
    std::string huge = "GET /x HTTP/1.1\r\nX: " + std::string(16385 - 20, 'a');
    ASSERT_EQ(huge.size(), 16385u);
    EXPECT_EQ(askRaw(port, huge, 5s), "");
    // Even a complete head is dropped when the first read already passes the limit.
    EXPECT_EQ(askRaw(port, "GET / HTTP/1.1\r\nX: " + std::string(17000, 'a') + "\r\n\r\n", 5s), "");
    EXPECT_EQ(askRaw(port, "GET /\xff\xfe HTTP/1.1\r\n\r\n", 5s), "");
    // And the server goes on serving.
    EXPECT_EQ(parseRaw(askRaw(port, "GET /after HTTP/1.1\r\n\r\n")).status, 200);
}

TEST_F(ServerTest, SlowHandlerIsStillAnswered) {
    auto begin = std::chrono::steady_clock::now();
    RawResponse r = parseRaw(askRaw(port, "GET /slow HTTP/1.1\r\n\r\n", 30s));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "slow done\n");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 15s);
}

TEST_F(ServerTest, SilentClientsNeitherBlockOthersNorStay) {
    // Restart with a short head time-out and a small connection bound, so
    // the test also shows that waiting connections are served as slots free.
    startWith({.headTimeoutMs = 1500, .sendTimeoutMs = 5000, .maxConnections = 64});
    std::vector<int> silent;
    for (int i = 0; i < 200; ++i) {
        int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        silent.push_back(fd);
    }
    EXPECT_TRUE(eventually([&] { return server->openConnections() == 64; }, 5s));
    // A normal request waits at most for one time-out's worth of slots.
    RawResponse r = parseRaw(askRaw(port, "GET /normal HTTP/1.1\r\n\r\n", 20s));
    EXPECT_EQ(r.status, 200);
    // Every silent connection is dropped after the time-out and its thread ends.
    EXPECT_TRUE(eventually([&] { return server->openConnections() == 0; }, 15s));
    for (int fd : silent) {
        EXPECT_EQ(readAll(fd, 1s), ""); // closed without an answer
        close(fd);
    }
}

TEST_F(ServerTest, ManyConcurrentClients) {
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 32; ++i) {
        clients.emplace_back([&, i] {
            std::string path = "/c" + std::to_string(i);
            RawResponse r = parseRaw(askRaw(port, "GET " + path + " HTTP/1.1\r\n\r\n"));
            if (r.status == 200 && r.body == "GET " + path + "\n") ++ok;
        });
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(ok.load(), 32);
}

TEST(HTTPServerStart, RefusesBadAddressesAndBusyPorts) {
    HTTPServer first;
    ASSERT_TRUE(first.start("127.0.0.1", 0, echo));
    HTTPServer second;
    EXPECT_FALSE(second.start("127.0.0.1", first.boundPort(), echo));
    HTTPServer third;
    EXPECT_FALSE(third.start("localhost", 0, echo)); // names are not resolved
    HTTPServer fourth;
    EXPECT_FALSE(fourth.start("127.0.0.1", 70000, echo));
}
