// The segment store: filing and lookup, the window that trimming keeps, and
// the timed waits of the requests (woken by filing, ended by a key change, a
// failure or the deadline), with real threads on a real lock.
#include "service/SegmentStore.h"

#include "service/Clock.h"

#include <chrono>
#include <climits>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace corvel;
using namespace std::chrono_literals;

namespace {

SegmentStore::Bytes bytes(uint8_t value, size_t size = 3) {
    return std::make_shared<const std::vector<uint8_t>>(size, value);
}

std::vector<int> held(const SegmentStore& store, int from, int to) {
    std::vector<int> out;
    for (int i = from; i <= to; ++i)
        if (store.has(i)) out.push_back(i);
    return out;
}

// A store under its owner's lock, as the service holds it.
struct Owner {
    std::mutex mu;
    std::condition_variable cv;
    SegmentStore store{cv, 4, 10};
    int key = 1; // stands for the served key; guarded by mu
};

} // namespace

TEST(SegmentStore, FilingLookupAndDropping) {
    Owner o;
    std::lock_guard<std::mutex> guard(o.mu);
    EXPECT_EQ(o.store.size(), 0u);
    EXPECT_EQ(o.store.find(0), nullptr);
    EXPECT_EQ(o.store.init(), nullptr);

    const auto five = bytes(5), seven = bytes(7);
    o.store.file(5, five);
    o.store.file(7, seven);
    EXPECT_EQ(o.store.find(5), five); // the same shared bytes, not a copy
    EXPECT_EQ(o.store.find(7), seven);
    EXPECT_EQ(o.store.find(6), nullptr);
    EXPECT_TRUE(o.store.has(7));
    EXPECT_FALSE(o.store.has(6));
    EXPECT_EQ(o.store.size(), 2u);

    // Filing an index again replaces it.
    const auto again = bytes(9, 5);
    o.store.file(5, again);
    EXPECT_EQ(o.store.find(5), again);
    EXPECT_EQ(o.store.size(), 2u);

    // Keeping one: true when it was held, and the others go either way.
    EXPECT_TRUE(o.store.keepOnly(7));
    EXPECT_EQ(held(o.store, 0, 10), std::vector<int>{7});
    EXPECT_FALSE(o.store.keepOnly(3));
    EXPECT_EQ(o.store.size(), 0u);

    // Clearing drops the init segment with the segments.
    o.store.file(1, five);
    o.store.setInit(seven);
    EXPECT_EQ(o.store.init(), seven);
    o.store.clear();
    EXPECT_EQ(o.store.size(), 0u);
    EXPECT_EQ(o.store.init(), nullptr);
}

TEST(SegmentStore, TrimKeepsTheWindowAroundTheCentre) {
    Owner o; // 4 behind, 10 ahead
    std::lock_guard<std::mutex> guard(o.mu);
    for (int i = 0; i <= 40; ++i)
        o.store.file(i, bytes(static_cast<uint8_t>(i)));
    o.store.trim(20);
    std::vector<int> want;
    for (int i = 16; i <= 30; ++i)
        want.push_back(i);
    EXPECT_EQ(held(o.store, 0, 40), want);
    EXPECT_EQ(o.store.size(), 15u);

    // Near the start nothing below 0 exists; the bound above still holds.
    for (int i = 0; i <= 40; ++i)
        o.store.file(i, bytes(1));
    o.store.trim(2);
    want.clear();
    for (int i = 0; i <= 12; ++i)
        want.push_back(i);
    EXPECT_EQ(held(o.store, 0, 40), want);

    // A window with nothing ahead kept, and a centre at the top of int: the
    // bounds do not wrap.
    std::mutex mu;
    std::condition_variable cv;
    SegmentStore tight(cv, 1, 0);
    std::lock_guard<std::mutex> tightGuard(mu);
    for (int i : {INT_MAX, INT_MAX - 1, INT_MAX - 2, 0})
        tight.file(i, bytes(2));
    tight.trim(INT_MAX);
    EXPECT_TRUE(tight.has(INT_MAX));
    EXPECT_TRUE(tight.has(INT_MAX - 1));
    EXPECT_FALSE(tight.has(INT_MAX - 2));
    EXPECT_FALSE(tight.has(0));
    tight.trim(INT_MAX - 1);
    EXPECT_FALSE(tight.has(INT_MAX));
    EXPECT_TRUE(tight.has(INT_MAX - 1));
}

TEST(SegmentStore, WaitsWakeOnFilingAndOnAnInitSegment) {
    Owner o;
    SegmentStore::Checks checks;
    checks.wanted = [&] { return o.key == 1; };
    const int64_t t0 = monotonicMs();
    std::thread filer([&] {
        std::this_thread::sleep_for(100ms);
        std::lock_guard<std::mutex> guard(o.mu);
        o.store.file(3, bytes(3)); // some other segment first: the waiter sleeps on
        o.store.file(4, bytes(4));
    });
    SegmentStore::Lock lock(o.mu);
    // A step far longer than the test: only the broadcast can wake it early.
    const auto got = o.store.waitForSegment(lock, 4, t0 + 20000, 20000, checks);
    const int64_t took = monotonicMs() - t0;
    EXPECT_TRUE(lock.owns_lock());
    lock.unlock();
    filer.join();
    EXPECT_EQ(got.end, SegmentStore::WaitEnd::Ready);
    ASSERT_NE(got.bytes, nullptr);
    EXPECT_EQ(got.bytes->front(), 4);
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 5000);

    // The init segment: setting it wakes its waiters too.
    const int64_t t1 = monotonicMs();
    std::thread preparer([&] {
        std::this_thread::sleep_for(50ms);
        std::lock_guard<std::mutex> guard(o.mu);
        o.store.setInit(bytes(8, 10));
    });
    lock.lock();
    const auto init = o.store.waitForInit(lock, t1 + 20000, 20000, checks);
    lock.unlock();
    preparer.join();
    EXPECT_EQ(init.end, SegmentStore::WaitEnd::Ready);
    ASSERT_NE(init.bytes, nullptr);
    EXPECT_EQ(init.bytes->size(), 10u);
    EXPECT_LT(monotonicMs() - t1, 5000);
}

TEST(SegmentStore, WaitsEndWhenTheKeyChangesOrTheRunFails) {
    Owner o;
    std::string runError;
    SegmentStore::Checks checks;
    checks.wanted = [&] { return o.key == 1; };
    checks.failed = [&] { return !runError.empty(); };

    // Another key put into force: its store may already hold a segment of the
    // asked index, which must not be handed to the old key's waiter.
    std::thread switcher([&] {
        std::this_thread::sleep_for(50ms);
        std::lock_guard<std::mutex> guard(o.mu);
        o.key = 2;
        o.store.clear();
        o.store.file(6, bytes(2));
        o.cv.notify_all();
    });
    SegmentStore::Lock lock(o.mu);
    const int64_t t0 = monotonicMs();
    auto got = o.store.waitForSegment(lock, 6, t0 + 20000, 20000, checks);
    lock.unlock();
    switcher.join();
    EXPECT_EQ(got.end, SegmentStore::WaitEnd::Gone);
    EXPECT_EQ(got.bytes, nullptr);
    EXPECT_LT(monotonicMs() - t0, 5000);

    // A run that stops with an error ends the wait with Failed; a segment
    // that is held wins over an error of a later moment.
    o.key = 1;
    std::thread failer([&] {
        std::this_thread::sleep_for(50ms);
        std::lock_guard<std::mutex> guard(o.mu);
        runError = "The title ended before this segment.";
        o.cv.notify_all();
    });
    lock.lock();
    got = o.store.waitForSegment(lock, 9, monotonicMs() + 20000, 20000, checks);
    EXPECT_EQ(got.end, SegmentStore::WaitEnd::Failed);
    failer.join();
    o.store.file(9, bytes(9));
    got = o.store.waitForSegment(lock, 9, monotonicMs() + 20000, 20000, checks);
    EXPECT_EQ(got.end, SegmentStore::WaitEnd::Ready);
    lock.unlock();
}

TEST(SegmentStore, WaitsTimeOutAtTheDeadline) {
    Owner o;
    int checked = 0;
    SegmentStore::Checks checks;
    checks.wanted = [&] {
        ++checked;
        return true;
    };
    SegmentStore::Lock lock(o.mu);
    const int64_t t0 = monotonicMs();
    const auto got = o.store.waitForSegment(lock, 0, t0 + 200, 20, checks);
    const int64_t took = monotonicMs() - t0;
    EXPECT_EQ(got.end, SegmentStore::WaitEnd::TimedOut);
    EXPECT_EQ(got.bytes, nullptr);
    EXPECT_GE(took, 200);
    EXPECT_LT(took, 3000);
    // Every step re-checked: nobody broadcast, yet the waiter looked about
    // ten times.
    EXPECT_GE(checked, 5);

    // A deadline already passed still looks once: a held segment is served.
    o.store.file(0, bytes(1));
    EXPECT_EQ(o.store.waitForSegment(lock, 0, t0, 20, checks).end, SegmentStore::WaitEnd::Ready);
    EXPECT_EQ(o.store.waitForInit(lock, t0, 20, checks).end, SegmentStore::WaitEnd::TimedOut);
}

TEST(SegmentStore, TrimKeepsWhatAWaitingRequestWaitsFor) {
    Owner o; // 4 behind, 10 ahead
    std::lock_guard<std::mutex> guard(o.mu);
    const uint64_t early = o.store.addWaiter(3);
    const uint64_t late = o.store.addWaiter(40);
    EXPECT_LT(early, late); // tickets follow arrival
    EXPECT_EQ(o.store.waiters().size(), 2u);
    o.store.file(2, bytes(2));
    o.store.file(3, bytes(3));
    // Another request far ahead moves the window: segment 3 was made for a
    // request that has not taken it yet, so it stays; 2 was nobody's.
    o.store.trim(40);
    EXPECT_EQ(held(o.store, 0, 10), std::vector<int>{3});
    o.store.removeWaiter(early);
    o.store.trim(40);
    EXPECT_EQ(held(o.store, 0, 10), std::vector<int>{});
    o.store.removeWaiter(late);
    EXPECT_TRUE(o.store.waiters().empty());
}
