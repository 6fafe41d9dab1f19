#include "compute/CompilerPages.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <vector>

namespace corvel::compute {

namespace {

bool compilerLibrary(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    return file.rfind("libLLVM", 0) == 0 || file.rfind("libclang", 0) == 0;
}

// The size in kB of a "Name:   N kB" line of /proc/self/smaps.
size_t kilobytes(const std::string& line) {
    std::istringstream in(line.substr(line.find(':') + 1));
    size_t kb = 0;
    in >> kb;
    return kb;
}

struct Mapping {
    uintptr_t begin = 0, end = 0;
    bool candidate = false; // executable, private, a compiler library
    size_t rssKb = 0, anonymousKb = 0;
};

} // namespace

size_t handBackCompilerCode() {
    std::ifstream smaps("/proc/self/smaps");
    std::vector<Mapping> found;
    Mapping current;
    bool have = false;
    const auto finish = [&] {
        if (have && current.candidate && current.rssKb > 0 && current.anonymousKb == 0) found.push_back(current);
    };
    for (std::string line; std::getline(smaps, line);) {
        const size_t dash = line.find('-');
        const size_t space = line.find(' ');
        if (dash != std::string::npos && space != std::string::npos && dash < space && line.find(':') > space) {
            // A mapping's header: "begin-end perms offset dev inode path".
            finish();
            current = Mapping{};
            have = true;
            std::istringstream in(line);
            std::string range, perms, offset, device, inode, path;
            in >> range >> perms >> offset >> device >> inode;
            std::getline(in >> std::ws, path);
            current.begin = std::stoull(range.substr(0, dash), nullptr, 16);
            current.end = std::stoull(range.substr(dash + 1), nullptr, 16);
            current.candidate = perms == "r-xp" && compilerLibrary(path);
        } else if (line.rfind("Rss:", 0) == 0) {
            current.rssKb = kilobytes(line);
        } else if (line.rfind("Anonymous:", 0) == 0) {
            current.anonymousKb = kilobytes(line);
        }
    }
    finish();
    size_t bytes = 0;
    for (const Mapping& m : found) {
        // Unchanged private file pages: dropping them loses nothing; the
        // next touch maps the file's page again.
        if (::madvise(reinterpret_cast<void*>(m.begin), m.end - m.begin, MADV_DONTNEED) == 0)
            bytes += m.rssKb * 1024;
    }
    return bytes;
}

} // namespace corvel::compute
