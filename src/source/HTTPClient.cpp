#include "source/HTTPClient.h"

#include "common/EnhanceError.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

namespace corvel {

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

size_t appendBody(char* data, size_t size, size_t count, void* target) {
    auto* body = static_cast<Data*>(target);
    body->insert(body->end(), reinterpret_cast<uint8_t*>(data), reinterpret_cast<uint8_t*>(data) + size * count);
    return size * count;
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
};

Answer perform(const std::string& url, long timeoutMs, const std::string& range, size_t expected = 0) {
    Answer answer;
    // Room for the expected body up front: a 4 MiB window then arrives
    // without the vector being copied as it grows.
    answer.body.reserve(std::min<size_t>(expected, 64u << 20));
    CURL* curl = threadHandle();
    if (!curl) {
        answer.code = CURLE_FAILED_INIT;
        return answer;
    }
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, keepContentRange);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.contentRange);
    if (!range.empty()) curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    answer.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    if (answer.code != CURLE_OK) answer.error = errorText[0] ? errorText : curl_easy_strerror(answer.code);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    return answer;
}

} // namespace

std::optional<std::pair<Data, int>> httpGet(const std::string& url, double timeoutSec) {
    if (!parsesAsURL(url)) return std::nullopt;
    Answer answer = perform(url, static_cast<long>(timeoutSec * 1000), {});
    if (answer.code != CURLE_OK || answer.status == 0) return std::nullopt;
    return std::make_pair(std::move(answer.body), static_cast<int>(answer.status));
}

std::pair<Data, uint64_t> httpRange(const std::string& url, uint64_t from, uint64_t to) {
    to = std::max(to, from + 1); // callers ask for at least one byte
    ++rangeRequests;
    Answer answer;
    if (parsesAsURL(url)) {
        answer = perform(url, 30000, std::to_string(from) + "-" + std::to_string(to - 1), static_cast<size_t>(to - from));
    } else {
        answer.code = CURLE_URL_MALFORMAT;
        answer.error = curl_easy_strerror(answer.code);
    }
    // A body cut short by the server still counts as received: the caller
    // finds out that it lacks bytes ("The part ended inside a picture.").
    bool received = answer.code == CURLE_OK || answer.code == CURLE_PARTIAL_FILE;
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
        uint64_t total = answer.body.size();
        if (from >= total) return {Data{}, total};
        uint64_t end = std::min(to, total);
        return {Data(answer.body.begin() + static_cast<ptrdiff_t>(from), answer.body.begin() + static_cast<ptrdiff_t>(end)),
                total};
    }
    std::string text = "Corvel Server answered " + std::to_string(answer.status) + " for the part's bytes";
    if (!answer.error.empty()) text += " (" + answer.error + ")";
    throw EnhanceError(text + ".");
}

bool isURL(const std::string& url) { return parsesAsURL(url); }

uint64_t httpRangeCount() { return rangeRequests.load(); }

} // namespace corvel
