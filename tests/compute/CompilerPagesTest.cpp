// Building a program hands the compiler's code pages back: the process keeps
// running kernels and building programs, without the compiler's code
// resident in between.
#include "compute/CompilerPages.h"
#include "compute/ComputeContext.h"
#include "compute/ComputeQueue.h"
#include "compute/SharedBuffer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

using namespace corvel;
using namespace corvel::compute;

namespace {

// Resident kB of the executable mappings of libLLVM* and libclang*, read
// from /proc/self/smaps; none when no such library is mapped.
std::optional<size_t> compilerCodeKb() {
    std::ifstream smaps("/proc/self/smaps");
    size_t kb = 0;
    bool counting = false, mapped = false;
    for (std::string line; std::getline(smaps, line);) {
        std::istringstream in(line);
        std::string first, second;
        in >> first >> second;
        if (first.find('-') != std::string::npos && first.back() != ':') {
            std::string offset, device, inode, path;
            in >> offset >> device >> inode >> path;
            const std::string file = path.substr(path.rfind('/') + 1);
            counting = second == "r-xp" && (file.rfind("libLLVM", 0) == 0 || file.rfind("libclang", 0) == 0);
            mapped = mapped || counting;
        } else if (counting && first == "Rss:") {
            kb += std::stoul(second);
        }
    }
    if (!mapped) return std::nullopt;
    return kb;
}

// Less than this stays resident right after a build: the code that runs
// after the hand-back (returning from the build) and nothing more. The
// libraries' code is about 50 MB resident once loaded.
constexpr size_t kLeftKb = 2048;

// Runs `name` (one int argument array) over 16 ints 0..15 and returns them.
std::vector<int> run(const std::shared_ptr<ComputeContext>& context, cl_program program, const char* name) {
    Kernel kernel = context->kernel(program, name);
    ComputeQueue queue(context);
    SharedBuffer buffer(context, 16 * sizeof(int));
    int* host = static_cast<int*>(buffer.host());
    for (int i = 0; i < 16; ++i) host[i] = i;
    buffer.toDevice(queue);
    setArgs(kernel.get(), buffer.mem());
    queue.run(kernel.get(), 16, 1);
    queue.finish();
    buffer.toHost(queue);
    return std::vector<int>(host, host + 16);
}

} // namespace

TEST(CompilerPages, BuildsHandTheCompilerCodeBackAndEverythingStillWorks) {
    auto context = ComputeContext::create("cpu");
    if (!compilerCodeKb()) GTEST_SKIP() << "this device's runtime maps no compiler library";

    cl_program first = context->program(
        "plus7", {"__kernel void plus7(__global int* a) { a[get_global_id(0)] += 7; }"});
    EXPECT_LT(*compilerCodeKb(), kLeftKb);
    EXPECT_EQ(run(context, first, "plus7")[15], 22);

    // The compiler runs again from the page cache for the next build.
    cl_program second = context->program(
        "times3", {"__kernel void times3(__global int* a) { a[get_global_id(0)] *= 3; }"});
    EXPECT_LT(*compilerCodeKb(), kLeftKb);
    const std::vector<int> tripled = run(context, second, "times3");
    EXPECT_EQ(tripled[0], 0);
    EXPECT_EQ(tripled[15], 45);
    EXPECT_EQ(run(context, first, "plus7")[1], 8);

    // The first run of a kernel may compile its work-group function (when
    // the runtime's kernel cache has none): the pages come back, and the
    // next hand-back returns them.
    handBackCompilerCode();
    EXPECT_LT(*compilerCodeKb(), kLeftKb);
}

// A page of such a mapping that the process wrote to is its own copy: the
// hand-back leaves that mapping alone, and the written byte stays.
TEST(CompilerPages, AMappingWithAPageOfItsOwnIsLeftAlone) {
    char name[] = "libclang-written-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    const size_t bytes = 16 * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<char> pattern(bytes, 'a');
    ASSERT_EQ(::write(fd, pattern.data(), bytes), static_cast<ssize_t>(bytes));
    void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    ::close(fd);
    ::unlink(name);
    ASSERT_NE(mapped, MAP_FAILED);
    char* data = static_cast<char*>(mapped);
    data[0] = 'b'; // a private copy of the first page
    volatile char sum = 0;
    for (size_t i = 0; i < bytes; i += 4096) sum = static_cast<char>(sum + data[i]); // every page resident
    if (::mprotect(mapped, bytes, PROT_READ | PROT_EXEC) != 0) {
        ::munmap(mapped, bytes);
        GTEST_SKIP() << "no executable mapping of a file here";
    }
    handBackCompilerCode();
    EXPECT_EQ(data[0], 'b');
    EXPECT_EQ(data[1], 'a');
    ::munmap(mapped, bytes);
}
