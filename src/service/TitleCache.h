#pragma once

#include "source/StreamInfo.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace corvel {

// The titles' descriptions as loaded from the media server, by cache key
// ("tv/" + item for TV keys, else the item). Bounded two ways, so that
// neither many distinct item names nor a long life make it grow, and a title
// the server changed is read again:
// - at most `capacity` entries; storing into a full cache drops the entry
//   used least recently;
// - an entry older than `maxAgeMs` (since it was loaded) is not handed out
//   any more: the next use loads the title afresh.
// Not locked: the service keeps it under its own lock.
class TitleCache {
public:
    static constexpr size_t kCapacity = 64;
    static constexpr int64_t kMaxAgeMs = 5 * 60 * 1000;

    explicit TitleCache(size_t capacity = kCapacity, int64_t maxAgeMs = kMaxAgeMs)
        : capacity_(capacity < 1 ? 1 : capacity), maxAgeMs_(maxAgeMs) {}

    // The description stored under `key` when it is younger than the age
    // limit at `nowMs` (monotonic milliseconds); an expired one is dropped.
    std::optional<StreamInfo> find(const std::string& key, int64_t nowMs);

    // Stores (or replaces) `info` under `key`, loaded at `nowMs`.
    void store(const std::string& key, StreamInfo info, int64_t nowMs);

    size_t size() const { return entries_.size(); }

private:
    struct Entry {
        StreamInfo info;
        int64_t loadedMs = 0;
        uint64_t used = 0; // the use count at its last use: larger is more recent
    };
    size_t capacity_;
    int64_t maxAgeMs_;
    // Counts finds and stores; orders uses even within one millisecond.
    uint64_t uses_ = 0;
    std::map<std::string, Entry> entries_;
};

} // namespace corvel
