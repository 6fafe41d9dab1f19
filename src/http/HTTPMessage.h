#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

// One parsed request: the currency between the HTTP server and the service.
struct HTTPRequest {
    std::string method;                       // the request line's first word, as sent
    std::string path;                         // decoded, without the query
    std::map<std::string, std::string> query; // decoded keys and values; a later key wins
    std::string peer;                         // "a.b.c.d:port" of the client
};

struct HTTPResponse {
    int status = 200;
    std::string type; // the Content-Type value
    std::string body; // bytes, not necessarily text
    // A body shared with its owner (a filed media segment), sent from where
    // it is instead of `body`: a segment is not copied for each answer.
    std::shared_ptr<const std::vector<uint8_t>> shared;

    // The body's bytes: `shared` when it is set, else `body`.
    std::string_view bodyBytes() const;

    // A response whose body is `text`. Every textual answer is built with it;
    // error answers use "text/plain".
    static HTTPResponse text(int status, std::string text, std::string type = "text/plain");
};

// The reason phrase of the status line; "Status" for codes without their own.
std::string reason(int status);

// The bytes sent for `response`: the head in its fixed order, then the body
// unless `headOnly` (a HEAD request, whose head still carries the full length).
std::string serializeResponse(const HTTPResponse& response, bool headOnly);
// The head alone, with the body's full length (the server sends the body
// after it from where it is).
std::string serializeHead(const HTTPResponse& response);

} // namespace corvel
