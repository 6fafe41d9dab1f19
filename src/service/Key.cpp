#include "service/Key.h"

#include "common/Env.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

namespace corvel {

namespace {

// Int(query value): a decimal integer with an optional sign; none when the
// key is absent, empty or unparsable. Values beyond Int are pinned to its
// ends (every user clamps them further).
std::optional<int> queryInt(const std::map<std::string, std::string>& query, const std::string& name) {
    auto it = query.find(name);
    if (it == query.end()) return std::nullopt;
    auto n = parseInt(it->second);
    if (!n) return std::nullopt;
    return static_cast<int>(std::clamp<int64_t>(*n, std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max()));
}

bool equals(const std::map<std::string, std::string>& query, const std::string& name,
            const std::string& value) {
    auto it = query.find(name);
    return it != query.end() && it->second == value;
}

} // namespace

bool Key::operator==(const Key& o) const {
    return item == o.item && quality == o.quality && hdr == o.hdr && blacks == o.blacks &&
           fi == o.fi && up == o.up && tone.peak == o.tone.peak && tv == o.tv &&
           audio == o.audio && maxHeight == o.maxHeight && abr == o.abr && seg == o.seg &&
           srcPq == o.srcPq && aac == o.aac;
}

ToneParams toneFromQuery(const std::map<std::string, std::string>& query, int mid, int peak, int con,
                         int sat, int str) {
    ToneParams tone;
    int p = queryInt(query, "peak").value_or(peak);
    tone.peak = p < 1 ? 406.0f : static_cast<float>(std::clamp(p, 400, 1400));
    tone.contrast = static_cast<float>(std::clamp(queryInt(query, "con").value_or(con), 0, 200));
    tone.middleGrey = static_cast<float>(std::clamp(queryInt(query, "mid").value_or(mid), 10, 100));
    tone.saturation =
        static_cast<float>(std::clamp(queryInt(query, "sat").value_or(sat), 0, 200)) / 100.0f;
    tone.strength = static_cast<float>(std::clamp(queryInt(query, "str").value_or(str), 0, 100));
    tone.bt601 = false;
    return tone;
}

Key keyFromQuery(const std::string& item, const std::map<std::string, std::string>& query) {
    Key key;
    key.item = item;
    key.quality = std::clamp(queryInt(query, "q").value_or(2), 1, 4);
    key.hdr = equals(query, "hdr", "1");
    key.fi = equals(query, "fi", "1");
    key.blacks = equals(query, "blacks", "1");
    if (equals(query, "tv", "1")) {
        key.tv = true;
        key.audio = std::max(queryInt(query, "audio").value_or(0), 0);
        key.aac = equals(query, "snd", "aac");
        key.maxHeight = std::max(queryInt(query, "maxh").value_or(2160), 144);
        key.abr = std::max(queryInt(query, "abr").value_or(0), 0);
        if (key.abr > 0) {
            key.seg = std::clamp(queryInt(query, "seg").value_or(4), 1, 4);
            key.srcPq = equals(query, "src", "pq");
        }
    }
    if (key.hdr) key.tone = toneFromQuery(query, 50, key.tv ? 1000 : 0, 100, 100, 100);
    auto up = query.find("up");
    // Every URI of a playlist repeats `up`: a value longer than any method
    // or shader name counts as unparsable (no upscaling) rather than be
    // echoed thousands of times.
    key.up = up == query.end() || up->second == "0" || up->second.size() > kMaxUpBytes ? std::string()
                                                                                       : up->second;
    if (key.abr > 0) {
        key.hdr = key.blacks = key.fi = false;
        key.up.clear();
        key.tone = ToneParams();
    }
    return key;
}

bool isRungSwitch(const Key& served, const Key& asked) {
    return served.abr >= 1 && asked.abr >= 1 && served.item == asked.item &&
           served.seg == asked.seg && !(served == asked);
}

std::string encodeQueryValue(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

namespace {
std::string suffix(const Key& key, bool subtitles) {
    auto whole = [](float v) { return std::to_string(static_cast<int>(v)); };
    std::string q = "?q=" + std::to_string(key.quality) + "&hdr=" + (key.hdr ? "1" : "0");
    if (key.hdr) {
        q += "&sat=" + std::to_string(static_cast<long>(std::lround(key.tone.saturation * 100.0))) +
             "&con=" + whole(key.tone.contrast) + "&mid=" + whole(key.tone.middleGrey) +
             "&peak=" + whole(key.tone.peak);
        if (!subtitles) q += "&str=" + whole(key.tone.strength);
    }
    if (key.fi && !subtitles) q += "&fi=1";
    if (!key.up.empty()) q += "&up=" + encodeQueryValue(key.up);
    if (key.blacks) q += "&blacks=1";
    if (key.tv) {
        q += "&tv=1&audio=" + std::to_string(key.audio);
        if (key.aac) q += "&snd=aac";
        q += "&maxh=" + std::to_string(key.maxHeight);
    }
    if (key.abr >= 1) q += "&abr=" + std::to_string(key.abr) + "&seg=" + std::to_string(key.seg);
    if (key.srcPq) q += "&src=pq";
    return q;
}
} // namespace

std::string querySuffix(const Key& key) { return suffix(key, false); }
std::string subtitleQuerySuffix(const Key& key) { return suffix(key, true); }

} // namespace corvel
