// Feeds arbitrary bytes to the request-head parser. It must never crash, and
// a parsed request must satisfy the parser's own promises.
#include "http/RequestParser.h"

#include <cstdlib>
#include <string_view>

using namespace corvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)headComplete(bytes);
    auto result = parseRequestHead(bytes, "127.0.0.1:1");
    if (auto* request = std::get_if<HTTPRequest>(&result)) {
        if (request->method != "GET" && request->method != "HEAD" && request->method != "POST")
            std::abort();
        if (!isValidUtf8(request->path)) std::abort();
    }
    return 0;
}
