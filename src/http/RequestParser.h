#pragma once

#include "http/HTTPMessage.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvel {

// The largest request head buffer kept, in bytes; a buffer that grows past it
// is dropped without an answer, even when it already holds a complete head.
inline constexpr size_t kMaxHeadBytes = 16384;

// What the connection does with the bytes read so far.
struct CloseSilently {};                  // drop the connection, no answer
struct AnswerAtOnce { HTTPResponse response; }; // answer without calling the handler
using ParsedHead = std::variant<CloseSilently, AnswerAtOnce, HTTPRequest>;

// True when `buffer` holds the end of a head (CR LF CR LF).
bool headComplete(std::string_view buffer);

// Parses a complete head buffer (everything read so far, body bytes that came
// along included) from the client at `peer`.
ParsedHead parseRequestHead(std::string_view buffer, const std::string& peer);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// Decodes a path or query piece: "+" becomes a space, then %XX escapes are
// resolved. When an escape is malformed or the result is not UTF-8 the piece
// is returned exactly as it arrived.
std::string decodeComponent(std::string_view piece);

} // namespace corvel
