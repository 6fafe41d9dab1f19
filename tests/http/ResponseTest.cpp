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
