#include "http/HTTPMessage.h"

#include <utility>

namespace corvel {

HTTPResponse HTTPResponse::text(int status, std::string text, std::string type) {
    return HTTPResponse{status, std::move(type), std::move(text)};
}

std::string reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

std::string_view HTTPResponse::bodyBytes() const {
    if (shared) return {reinterpret_cast<const char*>(shared->data()), shared->size()};
    return body;
}

std::string serializeHead(const HTTPResponse& response) {
    std::string out;
    out.reserve(200);
    out += "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    out += "Content-Type: " + response.type + "\r\n";
    out += "Content-Length: " + std::to_string(response.bodyBytes().size()) + "\r\n";
    out += "Cache-Control: no-store\r\n";
    out += "Connection: close\r\n";
    if (response.status == 503) out += "Retry-After: 1\r\n";
    out += "\r\n";
    return out;
}

std::string serializeResponse(const HTTPResponse& response, bool headOnly) {
    std::string out = serializeHead(response);
    if (!headOnly) out += response.bodyBytes();
    return out;
}

} // namespace corvel
