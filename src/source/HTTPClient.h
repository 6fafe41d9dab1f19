#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvel {

// Bytes fetched from the media server or cut out of them.
using Data = std::vector<uint8_t>;

// Every request goes straight to the media server: proxy variables of the
// environment (http_proxy, ALL_PROXY ...) are not applied to it.
//
// One blocking GET of `url` with a time-out of `timeoutSec` for the whole
// request. The body and the HTTP status, or none when the URL does not parse
// or no HTTP answer arrived. An answer without a body gives an empty body.
std::optional<std::pair<Data, int>> httpGet(const std::string& url, double timeoutSec);

// Fetches bytes [from, to) of `url` with one range request (30 s time-out)
// and returns them with the file's total length. A server that ignores the
// range (200) has the slice cut out of its whole-file answer, and the
// transfer ends once the slice is in when the answer announces its length
// (which is then the total); without a length the rest is counted, not kept.
// A 206 without a known total reports from + the bytes received. Throws EnhanceError
// "Corvel Server answered N for the part's bytes[ (error)]." otherwise.
// `to` must be above `from`.
std::pair<Data, uint64_t> httpRange(const std::string& url, uint64_t from, uint64_t to);

// While one lives, transfers on the thread that made it are abandoned when
// `stopped` returns true (asked about once a second while a transfer waits,
// and as bytes arrive): a request made for work that has been replaced ends
// at once instead of at its time-out. The abandoned request fails like a
// transport error. Scopes nest; the innermost one is asked.
class TransferStop {
public:
    explicit TransferStop(std::function<bool()> stopped);
    ~TransferStop();
    TransferStop(const TransferStop&) = delete;
    TransferStop& operator=(const TransferStop&) = delete;

private:
    std::function<bool()> stopped_;
    TransferStop* outer_;
    friend struct TransferStopAccess;
};

// Whether `url` parses as an absolute URL.
bool isURL(const std::string& url);

// Range requests made by this process so far (all threads), for the
// benchmarks' requests-per-megabyte figures.
uint64_t httpRangeCount();

} // namespace corvel
