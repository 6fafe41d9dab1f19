#pragma once

#include "processing/ToneParams.h"

#include <map>
#include <string>

namespace corvel {

// What one enhanced-title URL asks for: which title, and with which
// enhancements.
struct Key {
    std::string item;
    int quality = 2;
    bool hdr = false;
    bool blacks = false;
    bool fi = false;
    std::string up; // empty, "1", or a scale method name
    ToneParams tone;
    bool tv = false;
    int audio = 0;
    int maxHeight = 2160;
    int abr = 0; // kbit/s of an adaptive rung; 0 = not adaptive
    int seg = 0; // segment seconds of an adaptive rendition
    bool srcPq = false;
    bool aac = false;

    // Every field, except that of the tone only the peak counts: the other
    // tone values are live controls that never make a new key.
    bool operator==(const Key& other) const;

    // Where the title's description is cached.
    std::string cacheKey() const { return tv ? "tv/" + item : item; }
};

// The longest "up" value taken, in bytes; a longer one counts as absent.
inline constexpr size_t kMaxUpBytes = 64;

// The key a request's query asks for, every default and clamp applied.
Key keyFromQuery(const std::string& item, const std::map<std::string, std::string>& query);

// Whether asking for `asked` while `served` plays is a switch between two
// bit-rate rungs of one adaptive rendition (the only change a segment
// request may make).
bool isRungSwitch(const Key& served, const Key& asked);

// The query the playlist appends to every URI it lists, so that those
// requests carry the same key.
std::string querySuffix(const Key& key);
// The same for the subtitle playlist's URIs, which carry no "&str=" and no
// "&fi=1".
std::string subtitleQuerySuffix(const Key& key);

// `text` with the characters that would break a playlist line or a query
// (anything but letters, digits and "-._~") percent-encoded.
std::string encodeQueryValue(const std::string& text);

// The tone a query's "mid", "peak", "con", "sat" and "str" numbers ask for,
// each defaulting to the given value, clamped as keys are.
ToneParams toneFromQuery(const std::map<std::string, std::string>& query, int mid, int peak, int con,
                         int sat, int str);

} // namespace corvel
