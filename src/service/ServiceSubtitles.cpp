// The subtitle answers: the WebVTT rendition's playlist and segments, and the
// ASS header and event windows. They never go through admission and never
// touch the run: only the subtitle cache and the TV description.
#include "common/EnhanceError.h"
#include "common/Env.h"
#include "common/Fmt.h"
#include "service/Service.h"

#include <cmath>
#include <limits>

namespace corvel {

namespace {

HTTPResponse notFound() { return HTTPResponse::text(404, "not found\n"); }

std::optional<int> decimal(const std::string& digits) {
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    auto n = parseInt(digits);
    if (!n || *n > std::numeric_limits<int>::max()) return std::nullopt;
    return static_cast<int>(*n);
}

std::string subtitlePlaylist(const StreamInfo& info, int track, const std::string& suffix) {
    const double segment = static_cast<double>(info.fpsDen) * info.gop / info.fpsNum;
    std::string body = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:" +
                       std::to_string(std::max<long long>(1, std::llround(segment))) +
                       "\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n";
    for (int i = 0; i < info.segments; ++i) {
        const int64_t pictures = std::min<int64_t>(info.frames - static_cast<int64_t>(i) * info.gop, info.gop);
        body += "#EXTINF:" + fmt(6, static_cast<double>(pictures) * info.fpsDen / info.fpsNum) + ",\n";
        body += std::to_string(track) + "/" + std::to_string(i) + ".vtt" + suffix + "\n";
    }
    return body + "#EXT-X-ENDLIST\n";
}

} // namespace

HTTPResponse Service::subtitles(const Key& key, const std::string& name,
                                const std::map<std::string, std::string>& query) {
    size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
    const auto track = decimal(name.substr(0, digits));
    if (!track) return notFound();
    const std::string rest = name.substr(digits);

    StreamInfo info;
    try {
        info = tvInfo(key.item);
    } catch (const EnhanceError& error) {
        return HTTPResponse::text(503, error.description() + "\n");
    }
    static const std::string kNoAss = "no such ASS track\n";
    try {
        if (rest == ".m3u8") {
            return HTTPResponse::text(200, subtitlePlaylist(info, *track, subtitleQuerySuffix(key)),
                                      "application/vnd.apple.mpegurl");
        }
        if (rest == "/head.ass") {
            auto header = text_.assHeader(info, key.item, *track);
            if (!header) return HTTPResponse::text(404, kNoAss);
            return HTTPResponse::text(200, *header, "text/x-ssa; charset=utf-8");
        }
        if (rest == "/events") {
            if (!text_.assHeader(info, key.item, *track)) return HTTPResponse::text(404, kNoAss);
            auto number = [&](const char* what) -> std::optional<double> {
                auto it = query.find(what);
                return it == query.end() ? std::nullopt : parseDouble(it->second);
            };
            double from = number("from").value_or(0);
            if (!(from > 0)) from = 0;
            const double to = number("to").value_or(from + 10);
            if (!(from < to)) return HTTPResponse::text(400, "from must come before to\n");
            return HTTPResponse::text(200, text_.assEvents(info, key.item, *track, from, to),
                                      "text/plain; charset=utf-8");
        }
        const std::string ext = ".vtt";
        if (rest.size() > 1 + ext.size() && rest[0] == '/' &&
            rest.compare(rest.size() - ext.size(), ext.size(), ext) == 0) {
            const auto k = decimal(rest.substr(1, rest.size() - 1 - ext.size()));
            if (!k || *k >= info.segments) return notFound();
            const double length = static_cast<double>(info.gop) * info.fpsDen / info.fpsNum;
            const double from = length * *k;
            return HTTPResponse::text(200, text_.segment(info, key.item, *track, from, from + length),
                                      "text/vtt; charset=utf-8");
        }
    } catch (const EnhanceError& error) {
        return HTTPResponse::text(404, error.description() + "\n");
    }
    return notFound();
}

} // namespace corvel
