#include "common/Heap.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <string>
#include <thread>
#include <vector>

using namespace corvel;

namespace {

// The allocator's arenas, counted in its own report.
int arenas() {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (out == nullptr) return -1;
    malloc_info(0, out);
    std::fclose(out);
    const std::string report(text, size);
    std::free(text);
    int n = 0;
    for (size_t at = report.find("<heap nr="); at != std::string::npos; at = report.find("<heap nr=", at + 1)) ++n;
    return n;
}

} // namespace

// Eight threads allocating at the same time would each get an arena of
// their own; bounded, they share at most kHeapArenas (counted in a fresh
// process, as ctest runs each case; arenas made before the bound stay).
TEST(Heap, ThreadsShareTheBoundedArenas) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator has no glibc arenas to bound";
#endif
    const int before = arenas();
    ASSERT_GE(before, 1);
    ASSERT_TRUE(boundHeapArenas());
    constexpr int threads = 8;
    std::barrier allHold(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            std::vector<void*> blocks;
            for (int i = 0; i < 64; ++i) blocks.push_back(std::malloc(4096));
            allHold.arrive_and_wait(); // every thread holds its blocks at once
            for (void* b : blocks) std::free(b);
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_LE(arenas(), std::max(before, kHeapArenas));
}
