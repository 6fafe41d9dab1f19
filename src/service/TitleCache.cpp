#include "service/TitleCache.h"

#include <algorithm>

namespace corvel {

std::optional<StreamInfo> TitleCache::find(const std::string& key, int64_t nowMs) {
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    if (nowMs - it->second.loadedMs > maxAgeMs_) {
        entries_.erase(it);
        return std::nullopt;
    }
    it->second.used = ++uses_;
    return it->second.info;
}

void TitleCache::store(const std::string& key, StreamInfo info, int64_t nowMs) {
    auto it = entries_.find(key);
    if (it == entries_.end() && entries_.size() >= capacity_) {
        // Expired entries go first, then the one used least recently. A
        // linear walk: the cache holds a few dozen entries.
        for (auto e = entries_.begin(); e != entries_.end();) {
            if (nowMs - e->second.loadedMs > maxAgeMs_) e = entries_.erase(e);
            else ++e;
        }
        if (entries_.size() >= capacity_) {
            auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
                return a.second.used < b.second.used;
            });
            entries_.erase(oldest);
        }
    }
    entries_.insert_or_assign(key, Entry{std::move(info), nowMs, ++uses_});
}

} // namespace corvel
