#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace corvel {

// The finished media segments of the key being served, by segment index
// (0-based), and its init segment; plus the timed waits of the requests that
// want one of them.
//
// The store has no lock of its own: it lives under its owner's lock (the
// service's `cond`), and every member is called with that lock held. Filing
// broadcasts the owner's condition, so that every waiter re-checks; a waiter
// also re-checks at every step of its wait, which bounds its reaction to a
// change nobody broadcast.
//
// Bytes are shared and immutable: an answer takes its reference under the
// lock and writes the bytes to the network after releasing it.
class SegmentStore {
  public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    using Lock = std::unique_lock<std::mutex>;

    // Trimming keeps `keepBehind` segments below the centre and `keepAhead`
    // above it. `changed` is the owner's condition, waited on with its lock.
    SegmentStore(std::condition_variable& changed, int keepBehind, int keepAhead);

    // Files segment `index` (replacing one of that index) and wakes the waiters.
    void file(int index, Bytes data);
    // The segment's bytes, or null when it is not held.
    Bytes find(int index) const;
    bool has(int index) const { return segments_.count(index) != 0; }
    size_t size() const { return segments_.size(); }
    // Drops every segment outside centre - keepBehind ... centre + keepAhead,
    // except those a registered waiter waits for: a segment made for a
    // request stays until that request took it.
    void trim(int centre);
    // Drops every segment except `index`; returns whether that one was held.
    bool keepOnly(int index);
    // Drops the segments and the init segment (another key, an idle stop).
    void clear();

    // The init segment of the current key, null until a preparation made it.
    // Setting it wakes the waiters.
    void setInit(Bytes data);
    const Bytes& init() const { return init_; }

    // How a wait ended.
    enum class WaitEnd {
        Ready,    // the bytes are there
        Gone,     // the waiter no longer wants them (another key is served)
        Failed,   // they will not come (the run or the preparation failed)
        TimedOut, // the deadline passed
    };
    struct Waited {
        WaitEnd end = WaitEnd::TimedOut;
        Bytes bytes; // set only when Ready
    };
    // What a waiter checks at every wake, in this order: `wanted` (false
    // ends the wait as Gone, before a held segment is looked at: after a key
    // change the store may hold another key's segment of that index), then
    // the slot, then `failed` (true ends it as Failed), then the deadline.
    // Both checks run with the lock held and may keep state of their own.
    struct Checks {
        std::function<bool()> wanted;
        std::function<bool()> failed;
    };

    // The requests waiting for a segment, registered by their owner for
    // the length of their wait: ticket (arrival order) -> segment index.
    uint64_t addWaiter(int index);
    void removeWaiter(uint64_t ticket);
    const std::map<uint64_t, int>& waiters() const { return waiters_; }

    // Waits for segment `index` until `deadlineMs` (monotonic milliseconds),
    // waking at least every `stepMs`. `lock` holds the owner's mutex; it is
    // released while waiting and held again on return.
    Waited waitForSegment(Lock& lock, int index, int64_t deadlineMs, int64_t stepMs,
                          const Checks& checks);
    // The same for the init segment.
    Waited waitForInit(Lock& lock, int64_t deadlineMs, int64_t stepMs, const Checks& checks);

  private:
    Waited waitFor(Lock& lock, const std::function<Bytes()>& slot, int64_t deadlineMs,
                   int64_t stepMs, const Checks& checks);

    std::condition_variable& changed_;
    const int keepBehind_;
    const int keepAhead_;
    std::map<int, Bytes> segments_;
    std::map<uint64_t, int> waiters_;
    uint64_t nextTicket_ = 0;
    Bytes init_;
};

} // namespace corvel
