// The program builder's request as read from its standard input: arbitrary
// bytes end in a request or none, never in a crash or a huge allocation, and
// a request decoded is encoded back to the very bytes it came from.
#include "compute/ProgramBuilder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (const auto request = corvel::compute::decodeBuildRequest(bytes)) {
        if (request->sources.empty() || corvel::compute::encodeBuildRequest(*request) != bytes)
            std::abort();
    }
    return 0;
}
