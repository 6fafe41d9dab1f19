#include "source/HTTPClient.h"

#include "common/EnhanceError.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

namespace corvel {

namespace {
// The stop scope in force on this thread (innermost), if any.
thread_local TransferStop* currentStop = nullptr;
} // namespace

// Asks the innermost stop scope of this thread (for perform and the progress
// callback).
struct TransferStopAccess {
    static bool stopped() { return currentStop && currentStop->stopped_ && currentStop->stopped_(); }
};

namespace {

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

std::atomic<uint64_t> rangeRequests{0};

// One easy handle per thread, so that consecutive requests of the thread that
// drives a decoder reuse their connection where the server allows it.
CURL* threadHandle() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    thread_local CurlHandle handle(curl_easy_init());
    if (handle) curl_easy_reset(handle.get());
    return handle.get();
}

bool parsesAsURL(const std::string& url) {
    CURLU* parsed = curl_url();
    if (!parsed) return false;
    bool ok = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    curl_url_cleanup(parsed);
    return ok;
}

// Where a transfer's body goes. For a range request, a server that ignores
// the range answers 200 with the whole file: then only the wanted slice is
// kept, and once it is complete the transfer is ended when the answer's
// announced length says more would follow (which is all that is needed of
// the rest: the total). A 4 MiB window thus costs about 4 MiB of a large
// part, not the part.
struct Sink {
    CURL* curl = nullptr;
    Data* body = nullptr;
    bool ranged = false;  // the request asked for [from, to)
    uint64_t from = 0;
    uint64_t to = 0;
    bool looked = false;  // the status was looked at (first body bytes)
    bool whole = false;   // 200 to a range request: bytes count from 0
    uint64_t seen = 0;    // body bytes of a whole-file answer so far
    int64_t announced = -1; // its Content-Length, -1 when not given
    bool endedEarly = false; // the transfer was ended after the slice
};

size_t appendBody(char* data, size_t size, size_t count, void* target) {
    auto* sink = static_cast<Sink*>(target);
    const size_t n = size * count;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    if (sink->ranged && !sink->looked) {
        sink->looked = true;
        long status = 0;
        curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
        if (status == 200) {
            sink->whole = true;
            curl_off_t length = -1;
            if (curl_easy_getinfo(sink->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
                sink->announced = length;
        }
    }
    if (!sink->whole) {
        sink->body->insert(sink->body->end(), bytes, bytes + n);
        return n;
    }
    // Keep the part of [seen, seen + n) that lies in [from, to).
    const uint64_t begin = sink->seen, end = sink->seen + n;
    const uint64_t keepFrom = std::max(begin, sink->from), keepTo = std::min(end, sink->to);
    if (keepFrom < keepTo) sink->body->insert(sink->body->end(), bytes + (keepFrom - begin), bytes + (keepTo - begin));
    sink->seen = end;
    if (sink->announced >= 0 && sink->seen >= sink->to && sink->seen < static_cast<uint64_t>(sink->announced)) {
        sink->endedEarly = true;
        return 0; // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    return n;
}

// Keeps the value of the last Content-Range header seen.
size_t keepContentRange(char* data, size_t size, size_t count, void* target) {
    std::string line(data, size * count);
    static const std::string name = "content-range:";
    if (line.size() > name.size()) {
        std::string lower = line.substr(0, name.size());
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower == name) {
            std::string value = line.substr(name.size());
            value.erase(0, value.find_first_not_of(" \t"));
            while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
                value.pop_back();
            *static_cast<std::string*>(target) = value;
        }
    }
    return size * count;
}

struct Answer {
    CURLcode code = CURLE_OK;
    long status = 0; // 0: no HTTP answer
    Data body;
    std::string contentRange;
    std::string error;
    // For a 200 to a range request (the body is then the slice already):
    uint64_t seen = 0;       // the whole answer's body bytes that arrived
    int64_t announced = -1;  // its Content-Length, -1 when not given
    bool endedEarly = false; // ended once the slice was in
};

const char* kAbandoned = "the request was abandoned";

// libcurl's progress callback: non-zero ends the transfer.
int checkStop(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return TransferStopAccess::stopped() ? 1 : 0;
}

// [from, to) of a range request; both 0 for a plain GET.
Answer perform(const std::string& url, long timeoutMs, uint64_t from = 0, uint64_t to = 0) {
    Answer answer;
    const bool ranged = to > from;
    // Room for the expected body up front: a 4 MiB window then arrives
    // without the vector being copied as it grows.
    if (ranged) answer.body.reserve(static_cast<size_t>(std::min<uint64_t>(to - from, 64u << 20)));
    if (TransferStopAccess::stopped()) {
        answer.code = CURLE_ABORTED_BY_CALLBACK;
        answer.error = kAbandoned;
        return answer;
    }
    CURL* curl = threadHandle();
    if (!curl) {
        answer.code = CURLE_FAILED_INIT;
        return answer;
    }
    Sink sink;
    sink.curl = curl;
    sink.body = &answer.body;
    sink.ranged = ranged;
    sink.from = from;
    sink.to = to;
    const std::string range = ranged ? std::to_string(from) + "-" + std::to_string(to - 1) : std::string();
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    // The media server is talked to directly: an empty proxy overrides
    // http_proxy, ALL_PROXY and the like, which would otherwise send even
    // loopback requests to whatever they name.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, keepContentRange);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.contentRange);
    if (ranged) curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    if (currentStop) {
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, checkStop);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }
    answer.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    if (answer.code == CURLE_ABORTED_BY_CALLBACK) answer.error = kAbandoned;
    else if (answer.code != CURLE_OK) answer.error = errorText[0] ? errorText : curl_easy_strerror(answer.code);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    answer.seen = sink.seen;
    answer.announced = sink.announced;
    answer.endedEarly = sink.endedEarly;
    return answer;
}

} // namespace

TransferStop::TransferStop(std::function<bool()> stopped) : stopped_(std::move(stopped)), outer_(currentStop) {
    currentStop = this;
}

TransferStop::~TransferStop() { currentStop = outer_; }

std::optional<std::pair<Data, int>> httpGet(const std::string& url, double timeoutSec) {
    if (!parsesAsURL(url)) return std::nullopt;
    Answer answer = perform(url, static_cast<long>(timeoutSec * 1000));
    if (answer.code != CURLE_OK || answer.status == 0) return std::nullopt;
    return std::make_pair(std::move(answer.body), static_cast<int>(answer.status));
}

std::pair<Data, uint64_t> httpRange(const std::string& url, uint64_t from, uint64_t to) {
    to = std::max(to, from + 1); // callers ask for at least one byte
    ++rangeRequests;
    Answer answer;
    if (parsesAsURL(url)) {
        answer = perform(url, 30000, from, to);
    } else {
        answer.code = CURLE_URL_MALFORMAT;
        answer.error = curl_easy_strerror(answer.code);
    }
    // A body cut short by the server still counts as received: the caller
    // finds out that it lacks bytes ("The part ended inside a picture.").
    bool received = answer.code == CURLE_OK || answer.code == CURLE_PARTIAL_FILE ||
                    (answer.code == CURLE_WRITE_ERROR && answer.endedEarly);
    if (received && answer.status == 206) {
        uint64_t total = from + answer.body.size();
        size_t slash = answer.contentRange.rfind('/');
        if (slash != std::string::npos) {
            std::string digits = answer.contentRange.substr(slash + 1);
            if (!digits.empty() && digits.size() < 20 &&
                std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
                total = std::stoull(digits);
        }
        return {std::move(answer.body), total};
    }
    if (received && answer.status == 200) {
        // The body holds the slice already (see Sink). The total is the
        // announced length when the transfer stopped after the slice, else
        // what arrived.
        const uint64_t total = answer.endedEarly ? static_cast<uint64_t>(answer.announced) : answer.seen;
        if (from >= total) return {Data{}, total};
        return {std::move(answer.body), total};
    }
    std::string text = "Corvel Server answered " + std::to_string(answer.status) + " for the part's bytes";
    if (!answer.error.empty()) text += " (" + answer.error + ")";
    throw EnhanceError(text + ".");
}

bool isURL(const std::string& url) { return parsesAsURL(url); }

uint64_t httpRangeCount() { return rangeRequests.load(); }

} // namespace corvel
