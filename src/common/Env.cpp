#include "common/Env.h"

#include "common/Log.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace corvel {

std::string env(const std::string& name, const std::string& fallback) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0') return fallback;
    return value;
}

std::optional<std::string> rawEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<int64_t> parseInt(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    // Accumulate as a negative number so that INT64_MIN fits.
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value < (INT64_MIN + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == INT64_MIN) return std::nullopt;
        value = -value;
    }
    return value;
}

std::optional<int> parseIntIn(std::string_view text, int lo, int hi) {
    const std::optional<int64_t> value = parseInt(text);
    if (!value || *value < lo || *value > hi) return std::nullopt;
    return static_cast<int>(*value);
}

std::optional<int> envIntIn(const std::string& name, int lo, int hi, const std::string& who,
                            const std::string& otherwise) {
    const auto value = rawEnv(name);
    if (!value || value->empty()) return std::nullopt;
    if (const auto n = parseIntIn(*value, lo, hi)) return n;
    logf(who + ": " + name + " " + *value + " is not " + std::to_string(lo) + " to " + std::to_string(hi) + ": " +
         otherwise);
    return std::nullopt;
}

std::optional<double> parseDouble(std::string_view text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
    const std::string copy(text); // strtod needs a terminated string
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size()) return std::nullopt;
    if (!std::isfinite(value)) return std::nullopt;
    // Hexadecimal floats are strtod's extension, not decimal text.
    if (copy.find_first_of("xX") != std::string::npos) return std::nullopt;
    return value;
}

} // namespace corvel
