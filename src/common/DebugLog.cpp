#include "common/DebugLog.h"

#include "common/Log.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace corvel {

bool debugLogging() {
    const char* level = std::getenv("CORVEL_ENHANCE_LOG_LEVEL");
    return level != nullptr && std::strcmp(level, "debug") == 0;
}

void debugf(std::string_view message) {
    if (!debugLogging()) return;
    std::string line = "debug: ";
    line += message;
    logf(line);
}

} // namespace corvel
