#include "service/SegmentStore.h"

#include "service/Clock.h"

#include <algorithm>
#include <chrono>

namespace corvel {

SegmentStore::SegmentStore(std::condition_variable& changed, int keepBehind, int keepAhead)
    : changed_(changed), keepBehind_(keepBehind), keepAhead_(keepAhead) {}

void SegmentStore::file(int index, Bytes data) {
    segments_[index] = std::move(data);
    changed_.notify_all();
}

void SegmentStore::setInit(Bytes data) {
    init_ = std::move(data);
    changed_.notify_all();
}

SegmentStore::Bytes SegmentStore::find(int index) const {
    auto it = segments_.find(index);
    return it == segments_.end() ? nullptr : it->second;
}

void SegmentStore::trim(int centre) {
    // 64-bit bounds: a centre near the ends of int must not wrap.
    const int64_t low = static_cast<int64_t>(centre) - keepBehind_;
    const int64_t high = static_cast<int64_t>(centre) + keepAhead_;
    auto waited = [this](int index) {
        return std::any_of(waiters_.begin(), waiters_.end(), [&](const auto& w) { return w.second == index; });
    };
    for (auto it = segments_.begin(); it != segments_.end();) {
        if ((it->first < low || it->first > high) && !waited(it->first))
            it = segments_.erase(it);
        else
            ++it;
    }
}

bool SegmentStore::keepOnly(int index) {
    bool kept = false;
    for (auto it = segments_.begin(); it != segments_.end();) {
        if (it->first == index) {
            kept = true;
            ++it;
        } else {
            it = segments_.erase(it);
        }
    }
    return kept;
}

uint64_t SegmentStore::addWaiter(int index) {
    const uint64_t ticket = nextTicket_++;
    waiters_.emplace(ticket, index);
    return ticket;
}

void SegmentStore::removeWaiter(uint64_t ticket) { waiters_.erase(ticket); }

void SegmentStore::clear() {
    segments_.clear();
    init_.reset();
}

SegmentStore::Waited SegmentStore::waitForSegment(Lock& lock, int index, int64_t deadlineMs,
                                                  int64_t stepMs, const Checks& checks) {
    return waitFor(
        lock, [this, index] { return find(index); }, deadlineMs, stepMs, checks);
}

SegmentStore::Waited SegmentStore::waitForInit(Lock& lock, int64_t deadlineMs, int64_t stepMs,
                                               const Checks& checks) {
    return waitFor(
        lock, [this] { return init_; }, deadlineMs, stepMs, checks);
}

SegmentStore::Waited SegmentStore::waitFor(Lock& lock, const std::function<Bytes()>& slot,
                                           int64_t deadlineMs, int64_t stepMs,
                                           const Checks& checks) {
    for (;;) {
        if (checks.wanted && !checks.wanted()) return {WaitEnd::Gone, nullptr};
        if (Bytes bytes = slot()) return {WaitEnd::Ready, std::move(bytes)};
        if (checks.failed && checks.failed()) return {WaitEnd::Failed, nullptr};
        if (monotonicMs() >= deadlineMs) return {WaitEnd::TimedOut, nullptr};
        changed_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(stepMs, 1)));
    }
}

} // namespace corvel
