#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvel {

// Bytes fetched from the media server or cut out of them.
using Data = std::vector<uint8_t>;

// One blocking GET of `url` with a time-out of `timeoutSec` for the whole
// request. The body and the HTTP status, or none when the URL does not parse
// or no HTTP answer arrived. An answer without a body gives an empty body.
std::optional<std::pair<Data, int>> httpGet(const std::string& url, double timeoutSec);

// Fetches bytes [from, to) of `url` with one range request (30 s time-out)
// and returns them with the file's total length. A server that ignores the
// range (200) has the slice cut out of its whole-file answer; a 206 without a
// known total reports from + the bytes received. Throws EnhanceError
// "Corvel Server answered N for the part's bytes[ (error)]." otherwise.
// `to` must be above `from`.
std::pair<Data, uint64_t> httpRange(const std::string& url, uint64_t from, uint64_t to);

// Whether `url` parses as an absolute URL.
bool isURL(const std::string& url);

// Range requests made by this process so far (all threads), for the
// benchmarks' requests-per-megabyte figures.
uint64_t httpRangeCount();

} // namespace corvel
