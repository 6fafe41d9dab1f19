#include "http/HTTPMessage.h"

#include <gtest/gtest.h>

using namespace corvel;

TEST(Response, ExactHeadOrder) {
    EXPECT_EQ(serializeResponse(HTTPResponse::text(200, "{}\n", "application/json"), false),
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: application/json\r\n"
              "Content-Length: 3\r\n"
              "Cache-Control: no-store\r\n"
              "Connection: close\r\n"
              "\r\n"
              "{}\n");
}

TEST(Response, RetryAfterOnlyOn503) {
    std::string busy = serializeResponse(HTTPResponse::text(503, "wait\n"), false);
    EXPECT_EQ(busy, "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                    "Content-Length: 5\r\nCache-Control: no-store\r\nConnection: close\r\n"
                    "Retry-After: 1\r\n\r\nwait\n");
    for (int status : {200, 400, 404, 405, 409, 500}) {
        EXPECT_EQ(serializeResponse(HTTPResponse::text(status, "x"), false).find("Retry-After"),
                  std::string::npos)
            << status;
    }
}

TEST(Response, HeadOnlyKeepsTheFullLength) {
    std::string body(1000, 'b');
    std::string head = serializeResponse(HTTPResponse::text(200, body), true);
    EXPECT_NE(head.find("Content-Length: 1000\r\n"), std::string::npos);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
}

TEST(Response, ReasonPhrases) {
    EXPECT_EQ(reason(409), "Conflict");
    EXPECT_EQ(reason(405), "Method Not Allowed");
    EXPECT_EQ(reason(206), "Status");
}

// A body shared with its owner serializes exactly as the same bytes held in
// `body`, and wins over it.
TEST(Response, SharedBodySerializesLikeItsBytes) {
    const std::string text = std::string("\0\1moof", 6) + std::string(5000, 'm');
    auto bytes = std::make_shared<const std::vector<uint8_t>>(text.begin(), text.end());
    const HTTPResponse shared{200, "video/mp4", "ignored", bytes};
    const HTTPResponse held{200, "video/mp4", text, nullptr};
    EXPECT_EQ(shared.bodyBytes(), text);
    EXPECT_EQ(serializeResponse(shared, false), serializeResponse(held, false));
    EXPECT_EQ(serializeResponse(shared, true), serializeHead(held));
    EXPECT_EQ(serializeHead(shared) + text, serializeResponse(held, false));
}
