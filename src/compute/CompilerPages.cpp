#include "compute/CompilerPages.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace corvel::compute {

namespace {

bool compilerLibrary(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    return file.rfind("libLLVM", 0) == 0 || file.rfind("libclang", 0) == 0;
}

struct Range {
    uintptr_t begin = 0, end = 0;
};

// The executable private mappings of the compiler libraries, from
// /proc/self/maps (which, unlike smaps, does not walk the page tables: the
// service's are hundreds of MB).
std::vector<Range> compilerCode() {
    std::vector<Range> found;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream in(line);
        std::string range, perms, offset, device, inode, path;
        in >> range >> perms >> offset >> device >> inode;
        std::getline(in >> std::ws, path);
        const size_t dash = range.find('-');
        if (perms != "r-xp" || dash == std::string::npos || !compilerLibrary(path)) continue;
        found.push_back({std::stoull(range.substr(0, dash), nullptr, 16), std::stoull(range.substr(dash + 1), nullptr, 16)});
    }
    return found;
}

// How many pages of `range` are resident, or none when one of them is the
// process's own copy (written to: a private page not backed by the file) or
// the page map cannot be read. /proc/self/pagemap has one 64-bit entry a
// page: bit 63 present, bit 61 a file page (or shared).
std::optional<size_t> residentFilePages(int pagemap, const Range& range, size_t pageBytes) {
    constexpr uint64_t kPresent = uint64_t{1} << 63;
    constexpr uint64_t kFilePage = uint64_t{1} << 61;
    size_t resident = 0;
    std::vector<uint64_t> entries(4096);
    for (uintptr_t page = range.begin / pageBytes; page < range.end / pageBytes;) {
        const size_t count = std::min<size_t>(entries.size(), range.end / pageBytes - page);
        const ssize_t got = ::pread(pagemap, entries.data(), count * sizeof(uint64_t),
                                    static_cast<off_t>(page * sizeof(uint64_t)));
        if (got != static_cast<ssize_t>(count * sizeof(uint64_t))) return std::nullopt;
        for (size_t i = 0; i < count; ++i) {
            if (!(entries[i] & kPresent)) continue;
            if (!(entries[i] & kFilePage)) return std::nullopt;
            ++resident;
        }
        page += count;
    }
    return resident;
}

} // namespace

size_t handBackCompilerCode() {
    const std::vector<Range> code = compilerCode();
    if (code.empty()) return 0;
    const int pagemap = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    if (pagemap < 0) return 0;
    const auto pageBytes = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size_t bytes = 0;
    for (const Range& range : code) {
        // Unchanged private file pages: dropping them loses nothing; the
        // next touch maps the file's page again.
        const std::optional<size_t> resident = residentFilePages(pagemap, range, pageBytes);
        if (!resident || *resident == 0) continue;
        if (::madvise(reinterpret_cast<void*>(range.begin), range.end - range.begin, MADV_DONTNEED) == 0)
            bytes += *resident * pageBytes;
    }
    ::close(pagemap);
    return bytes;
}

} // namespace corvel::compute
