// What a benchmark reads about its own process: CPU time and the kernel's
// memory figures.
#pragma once

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace corvel::bench {

// User + system CPU time of this process (all its threads), milliseconds.
inline double processCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// A field of /proc/self/status as a number ("VmRSS", "VmHWM", "RssAnon" in
// kB; "Threads"); -1 when the field is missing.
inline double statusField(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::atof(line.c_str() + n + 1);
    return -1;
}

} // namespace corvel::bench
