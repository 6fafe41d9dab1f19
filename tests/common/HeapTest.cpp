#include "common/Heap.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

// The anonymous part of the resident size (heap, stacks), MB.
double anonMb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("RssAnon:", 0) == 0) return std::atof(line.c_str() + 8) / 1024.0;
    return -1;
}

} // namespace

// An encoder per segment frees and allocates its frame buffers (megabytes
// each) every second. With the mapping size fixed they go back to the
// system when freed, even with a small live block allocated after them
// that keeps an arena from shrinking; glibc's own moving size would have
// put them in the arena after the first large block was freed, and 48 MB
// would stay resident here.
TEST(Heap, FreedLargeBlocksGoBackToTheSystem) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator has its own rules for large blocks";
#endif
    ASSERT_TRUE(mapLargeBlocks());
    constexpr size_t kBlock = 2u << 20;
    // A large block freed first: what moved glibc's size past kBlock.
    void* first = std::malloc(2 * kBlock);
    ASSERT_NE(first, nullptr);
    std::memset(first, 1, 2 * kBlock);
    std::free(first);
    malloc_trim(0);
    const double before = anonMb();
    ASSERT_GT(before, 0);
    std::vector<void*> blocks;
    for (int i = 0; i < 24; ++i) {
        blocks.push_back(std::malloc(kBlock));
        ASSERT_NE(blocks.back(), nullptr);
        std::memset(blocks.back(), 1, kBlock);
    }
    void* pin = std::malloc(64); // after the blocks, still alive when they are freed
    ASSERT_GT(anonMb(), before + 40); // the 48 MB were really touched
    for (void* b : blocks) std::free(b);
    EXPECT_LT(anonMb(), before + 4);
    std::free(pin);
}

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
