#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvel {

// The value of environment variable `name` when it is set and not empty, else
// `fallback`. Read afresh on every call.
std::string env(const std::string& name, const std::string& fallback);

// The raw value of `name`, or none when it is not set (an empty value is
// returned as an empty string). For the variables that are "read directly".
std::optional<std::string> rawEnv(const std::string& name);

// A decimal integer with an optional leading sign and nothing else (no
// spaces); none when the text is not one or does not fit in 64 bits.
std::optional<int64_t> parseInt(std::string_view text);

// parseInt's number when it lies in lo..hi; none otherwise.
std::optional<int> parseIntIn(std::string_view text, int lo, int hi);

// The environment variable `name` as a number in lo..hi. None when it is
// unset or empty; any other text gives none too and is logged as
// "<who>: NAME TEXT is not LO to HI: <otherwise>" (what is done instead).
std::optional<int> envIntIn(const std::string& name, int lo, int hi, const std::string& who,
                            const std::string& otherwise);

// A finite decimal floating-point number ("12.6", "-3", "1e3", ".5"), the
// whole text and nothing else; none otherwise. Infinities and NaN are refused:
// every user of these numbers clamps or compares them, which NaN defeats.
std::optional<double> parseDouble(std::string_view text);

} // namespace corvel
