// The title cache's two bounds, on a clock the test moves.
#include "service/TitleCache.h"

#include <gtest/gtest.h>

using namespace corvel;

namespace {

StreamInfo titled(double seconds) {
    StreamInfo info;
    info.durationSec = seconds;
    return info;
}

double seconds(const std::optional<StreamInfo>& info) { return info ? info->durationSec : -1; }

} // namespace

TEST(TitleCache, EntriesExpireAfterTheirAge) {
    TitleCache cache(8, 1000);
    cache.store("a", titled(1), 0);
    EXPECT_EQ(seconds(cache.find("a", 1000)), 1); // exactly the age: still good
    EXPECT_EQ(seconds(cache.find("a", 1001)), -1);
    EXPECT_EQ(cache.size(), 0u); // an expired entry is dropped, not kept
    // Use does not extend the age: a changed title is read again in time.
    cache.store("b", titled(2), 5000);
    EXPECT_EQ(seconds(cache.find("b", 5900)), 2);
    EXPECT_EQ(seconds(cache.find("b", 6001)), -1);
    // Storing again starts the age afresh with the new description.
    cache.store("c", titled(3), 0);
    cache.store("c", titled(4), 900);
    EXPECT_EQ(seconds(cache.find("c", 1800)), 4);
    EXPECT_EQ(cache.size(), 1u);
}

TEST(TitleCache, FullCacheDropsTheLeastRecentlyUsed) {
    TitleCache cache(3, 1'000'000);
    cache.store("a", titled(1), 10);
    cache.store("b", titled(2), 20);
    cache.store("c", titled(3), 30);
    ASSERT_TRUE(cache.find("a", 40)); // a is now the most recently used
    cache.store("d", titled(4), 50);  // b goes
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_FALSE(cache.find("b", 60));
    EXPECT_EQ(seconds(cache.find("a", 60)), 1);
    EXPECT_EQ(seconds(cache.find("c", 60)), 3);
    EXPECT_EQ(seconds(cache.find("d", 60)), 4);
    // Replacing a present key never drops another.
    cache.store("c", titled(5), 70);
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_EQ(seconds(cache.find("a", 80)), 1);
}

TEST(TitleCache, ExpiredEntriesMakeRoomBeforeLiveOnes) {
    TitleCache cache(2, 100);
    cache.store("old", titled(1), 0);
    cache.store("new", titled(2), 150);
    ASSERT_TRUE(cache.find("old", 90)); // used recently, but loaded long ago
    cache.store("next", titled(3), 160);
    EXPECT_EQ(seconds(cache.find("new", 170)), 2);
    EXPECT_EQ(seconds(cache.find("next", 170)), 3);
    // Uses within one millisecond still count in their order.
    TitleCache same(2, 1000);
    same.store("x", titled(1), 5);
    same.store("y", titled(2), 5);
    ASSERT_TRUE(same.find("x", 5));
    same.store("z", titled(3), 5); // y goes, though all share one time
    EXPECT_TRUE(same.find("x", 5));
    EXPECT_FALSE(same.find("y", 5));
    // Many distinct names never grow it past its capacity.
    for (int i = 0; i < 3000; ++i) cache.store("name" + std::to_string(i), titled(i), 200 + i);
    EXPECT_EQ(cache.size(), 2u);
}
