#include "http/RequestParser.h"

#include <vector>

namespace corvel {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecode(std::string_view piece) {
    std::string out;
    out.reserve(piece.size());
    for (size_t i = 0; i < piece.size(); ++i) {
        const char c = piece[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= piece.size()) return std::nullopt; // needs two hex digits
            const int hi = hexValue(piece[i + 1]);
            const int lo = hexValue(piece[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    if (!isValidUtf8(out)) return std::nullopt;
    return out;
}

// Pieces of `text` between occurrences of `separator`, empty pieces dropped.
std::vector<std::string_view> splitNonEmpty(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t at = text.find(separator, start);
        if (at == std::string_view::npos) at = text.size();
        if (at > start) pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    return pieces;
}

} // namespace

bool headComplete(std::string_view buffer) {
    return buffer.find("\r\n\r\n") != std::string_view::npos;
}

bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t code;
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            code = c & 0x07;
        } else {
            return false;
        }
        if (n - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length]) return false;                 // overlong
        if (code > 0x10FFFF) return false;                         // past Unicode
        if (code >= 0xD800 && code <= 0xDFFF) return false;        // surrogate
        i += length;
    }
    return true;
}

std::string decodeComponent(std::string_view piece) {
    if (auto decoded = percentDecode(piece)) return std::move(*decoded);
    return std::string(piece);
}

ParsedHead parseRequestHead(std::string_view buffer, const std::string& peer) {
    if (!isValidUtf8(buffer)) return CloseSilently{};
    const auto lines = splitNonEmpty(buffer, "\r\n");
    if (lines.empty()) return CloseSilently{};

    const auto words = splitNonEmpty(lines.front(), " ");
    if (words.size() < 2) return AnswerAtOnce{HTTPResponse::text(400, "bad request\n")};

    HTTPRequest request;
    request.method = std::string(words[0]);
    request.peer = peer;
    const std::string_view target = words[1];
    const size_t question = target.find('?');
    request.path = decodeComponent(target.substr(0, question));
    if (question != std::string_view::npos) {
        for (const std::string_view item : splitNonEmpty(target.substr(question + 1), "&")) {
            const size_t equals = item.find('=');
            std::string key = decodeComponent(item.substr(0, equals));
            std::string value =
                equals == std::string_view::npos ? std::string() : decodeComponent(item.substr(equals + 1));
            request.query[std::move(key)] = std::move(value);
        }
    }
    if (request.method != "GET" && request.method != "HEAD" && request.method != "POST")
        return AnswerAtOnce{HTTPResponse::text(405, "GET, HEAD or POST only\n")};
    return request;
}

} // namespace corvel
