#include "http/RequestParser.h"

#include <gtest/gtest.h>

using namespace corvel;

namespace {
HTTPRequest parsed(const std::string& head) {
    auto result = parseRequestHead(head, "127.0.0.1:5000");
    auto* request = std::get_if<HTTPRequest>(&result);
    if (request == nullptr) {
        ADD_FAILURE() << "not parsed as a request: " << head;
        return {};
    }
    return *request;
}
HTTPResponse answered(const std::string& head) {
    auto result = parseRequestHead(head, "p");
    auto* answer = std::get_if<AnswerAtOnce>(&result);
    if (answer == nullptr) {
        ADD_FAILURE() << "no immediate answer for: " << head;
        return {};
    }
    return answer->response;
}
} // namespace

TEST(RequestParser, DecodesPathAndQueryWithRawFallback) {
    HTTPRequest r = parsed("GET /a%20b?x=1+2&y=%zz&x=3&flag HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/a b");
    EXPECT_EQ(r.peer, "127.0.0.1:5000");
    ASSERT_EQ(r.query.size(), 3u);
    EXPECT_EQ(r.query["x"], "3");
    EXPECT_EQ(r.query["y"], "%zz");
    EXPECT_EQ(r.query["flag"], "");
}

TEST(RequestParser, DecodingCornerCases) {
    EXPECT_EQ(decodeComponent("a+b%2Bc"), "a b+c");     // "+" first, then escapes
    EXPECT_EQ(decodeComponent("%C3%A9"), "\xC3\xA9");   // UTF-8 é
    EXPECT_EQ(decodeComponent("%C3"), "%C3");           // decodes to invalid UTF-8: raw
    EXPECT_EQ(decodeComponent("100%"), "100%");         // escape cut short: raw
    EXPECT_EQ(decodeComponent("%4"), "%4");
    EXPECT_EQ(decodeComponent("%41"), "A");
    HTTPRequest r = parsed("GET /x?a=1&&=v&b==2 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.query["a"], "1");
    EXPECT_EQ(r.query[""], "v");
    EXPECT_EQ(r.query["b"], "=2"); // split at the first "=" only
}

TEST(RequestParser, MethodsAndMalformedRequestLines) {
    EXPECT_EQ(parsed("HEAD /s HTTP/1.1\r\n\r\n").method, "HEAD");
    EXPECT_EQ(parsed("POST /s HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}").method, "POST");
    // Without a version word the request is still served.
    EXPECT_EQ(parsed("GET /only-target\r\n\r\n").path, "/only-target");

    HTTPResponse deleteAnswer = answered("DELETE / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(deleteAnswer.status, 405);
    EXPECT_EQ(deleteAnswer.body, "GET, HEAD or POST only\n");
    EXPECT_EQ(answered("get / HTTP/1.1\r\n\r\n").status, 405); // methods are case-sensitive
    HTTPResponse single = answered("GET\r\n\r\n");
    EXPECT_EQ(single.status, 400);
    EXPECT_EQ(single.body, "bad request\n");
}

TEST(RequestParser, SilentlyDropsHeadsThatAreNotText) {
    EXPECT_TRUE(std::holds_alternative<CloseSilently>(parseRequestHead("GET /\xff HTTP/1.1\r\n\r\n", "p")));
    EXPECT_TRUE(std::holds_alternative<CloseSilently>(parseRequestHead("\r\n\r\n", "p")));
    // A non-UTF-8 body byte that came along with the head drops it too.
    EXPECT_TRUE(std::holds_alternative<CloseSilently>(
        parseRequestHead("POST / HTTP/1.1\r\n\r\n\xc0\x80", "p")));
}

TEST(Utf8, StrictForms) {
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("\xE2\x82\xAC"));          // €
    EXPECT_TRUE(isValidUtf8("\xF0\x9F\x8E\xAC"));      // U+1F3AC
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));             // overlong "/"
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));         // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));     // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xE2\x82"));             // cut short
    EXPECT_FALSE(isValidUtf8("\x80"));                 // stray continuation
}

TEST(RequestParser, HeadCompleteNeedsTheEmptyLine) {
    EXPECT_FALSE(headComplete("GET / HTTP/1.1\r\nHost: x\r\n"));
    EXPECT_FALSE(headComplete("GET / HTTP/1.1\n\n"));
    EXPECT_TRUE(headComplete("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
}
