// The service's resident size around the idle release: a fresh service that
// has loaded the compute runtime, then CYCLES rounds of playing SEGMENTS
// segments of a 720p title and waiting for the idle release, with the
// resident size after each release. Run twice, with and without handing the
// freed heap back at the release, to see what the trim is worth.
//
//   service_memory [--cycles N] [--segments S] [--no-trim] [--maps] [--settle MS]
//                  [--arenas N] [--late-trim] [--x265-cleanup] [--keep-programs] [--plain]
//                  [--moving-mapping]
//
// --maps prints the heap and the largest mappings after each release;
// --settle is how long after the release has finished (no picture alive, no
// more threads than fresh) it is measured;
// --arenas bounds the allocator's arenas (M_ARENA_MAX) before anything runs
// (default: the service's own bound, kHeapArenas; 0: glibc's default);
// --moving-mapping leaves glibc's own mapping size for large blocks (it
// rises with the largest block freed) instead of the service's fixed one;
// --late-trim trims the heap once more just before each reading (what a
// trim after every thread's exit could at best return).
// Thread stacks are measured from outside: run it with
// GLIBC_TUNABLES=glibc.pthread.stack_cache_size=0 to keep no cached stacks.
//
// Makes its 720p H.264 clip with ffmpeg first (kept in the temp folder).
#include "common/Heap.h"
#include "compute/ComputeContext.h"
#include "output/Encoder.h"
#include "processing/PixelFormat.h"
#include "processing/Picture.h"
#include "service/Service.h"
#include "ProcessFigures.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <x265.h>

using corvel::bench::statusField;

extern char** environ;

namespace {

struct Standin {
    pid_t pid = -1;
    int port = 0;
    explicit Standin(const std::string& folder) {
        int fds[2];
        if (pipe(fds) != 0) std::exit(1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<std::string> args = {STANDIN_EXE, folder, "--port", "0"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::exit(1);
        close(fds[1]);
        std::string line;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n') line += c;
        close(fds[0]);
        port = std::atoi(line.substr(line.rfind(':') + 1).c_str());
    }
    ~Standin() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// Resident set size in MB, from /proc/self/status (VmRSS, kB).
double rssMb() { return statusField("VmRSS") / 1024.0; }

// Anonymous resident memory (heap arenas, stacks, device buffers), MB.
double anonMb() { return statusField("RssAnon") / 1024.0; }

// The heap as the allocator sees it, in MB: bytes handed out and not yet
// freed (in use), and bytes free but still held by its arenas.
void printHeap(const char* when) {
    const struct mallinfo2 m = mallinfo2();
    std::printf("  heap %s: in use %.1f MB (of which mmapped %.1f MB), free in arenas %.1f MB\n", when,
                (m.uordblks + m.hblkhd) / 1048576.0, m.hblkhd / 1048576.0, m.fordblks / 1048576.0);
}

// The mappings holding most resident memory (kB from /proc/self/smaps),
// grouped by what is mapped ("[anon]" for anonymous memory).
void printMaps() {
    std::ifstream in("/proc/self/smaps");
    std::string line, name;
    std::map<std::string, double> rss;
    while (std::getline(in, line)) {
        const bool header = line.find('-') < line.find(' ') && line.find(' ') != std::string::npos &&
                            std::isxdigit(static_cast<unsigned char>(line[0]));
        if (header) {
            // address perms offset dev inode [path]
            size_t pos = 0;
            for (int field = 0; field < 5 && pos != std::string::npos; ++field)
                pos = line.find_first_not_of(' ', line.find(' ', pos));
            name = pos == std::string::npos ? "[anon]" : line.substr(pos);
        } else if (line.rfind("Rss:", 0) == 0) {
            rss[name] += std::atof(line.c_str() + 4) / 1024.0;
        }
    }
    std::vector<std::pair<double, std::string>> top;
    for (auto& [n, mb] : rss) top.emplace_back(mb, n);
    std::sort(top.rbegin(), top.rend());
    for (size_t i = 0; i < top.size() && i < 8; ++i)
        std::printf("  %8.1f MB %s\n", top[i].first, top[i].second.c_str());
}

bool plain = false;

// A GET of `path` with deepened blacks asked (a stage with pools of its own)
// unless --plain.
corvel::HTTPResponse ask(corvel::Service& service, const std::string& path) {
    corvel::HTTPRequest request;
    request.method = "GET";
    request.path = path;
    if (!plain) request.query["blacks"] = "1";
    return service.handle(request);
}

} // namespace

int main(int argc, char** argv) {
    int cycles = 20, segments = 4;
    bool trim = true, maps = false;
    int settleMs = 1000, arenas = corvel::kHeapArenas;
    bool lateTrim = false, x265Cleanup = false, keepPrograms = false, movingMapping = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--cycles" && i + 1 < argc) cycles = std::atoi(argv[++i]);
        else if (a == "--segments" && i + 1 < argc) segments = std::atoi(argv[++i]);
        else if (a == "--no-trim") trim = false;
        else if (a == "--maps") maps = true;
        else if (a == "--settle" && i + 1 < argc) settleMs = std::atoi(argv[++i]);
        else if (a == "--arenas" && i + 1 < argc) arenas = std::atoi(argv[++i]);
        else if (a == "--late-trim") lateTrim = true;
        else if (a == "--x265-cleanup") x265Cleanup = true;
        else if (a == "--keep-programs") keepPrograms = true;
        else if (a == "--plain") plain = true;
        else if (a == "--moving-mapping") movingMapping = true;
        else if (a == "--encoders" && i + 1 < argc) {
            mallopt(M_ARENA_MAX, corvel::kHeapArenas);
            const int n = std::atoi(argv[++i]);
            corvel::EncoderConfig config;
            config.width = 1280;
            config.height = 720;
            config.fpsNum = 25;
            config.bitrate = 4000000;
            for (int e = 0; e <= n; ++e) {
                {
                    corvel::Encoder encoder(config);
                    encoder.prime(corvel::kPixelFormatX420);
                }
                if (x265Cleanup) x265_cleanup();
                malloc_trim(0);
                const struct mallinfo2 m = mallinfo2();
                std::printf("encoder %d opened and closed: heap in use %.3f MB\n", e,
                            static_cast<double>(m.uordblks + m.hblkhd) / 1048576.0);
            }
            return 0;
        }
    }
    mallopt(M_ARENA_MAX, arenas); // 0: as many as glibc makes by default
    if (!movingMapping) corvel::mapLargeBlocks(); // as the service's main does
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "corvel_memory_bench";
    std::filesystem::create_directories(folder);
    const std::string clip = (folder / "m720.mp4").string();
    if (!std::filesystem::exists(clip)) {
        std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -t 8 "
                           "-c:v libx264 -preset veryfast -bf 2 -g 25 -pix_fmt yuv420p '" + clip + "'";
        if (std::system(make.c_str()) != 0) return 1;
    }
    std::ofstream(folder / "m720.json")
        << R"({"video":{"width":1280,"height":720,"fps":25,"codec":"h264"},"parts":[{"id":"1",)"
        << R"("playable":{"mode":"direct"},"media_path":"/media/m720.mp4","file_name":"m720.mp4",)"
        << R"("duration_sec":8}]})";
    Standin server(folder.string());

    corvel::ServiceOptions options;
    options.companion = "http://127.0.0.1:" + std::to_string(server.port);
    options.ahead = 1;
    options.trimOnRelease = trim;
    options.forgetProgramsOnRelease = !keepPrograms;
    corvel::ServiceTiming timing;
    timing.idleMs = 3000; // longer than a preparation takes here
    timing.initWaitMs = 60000; // a busy machine: waits never decide the figures
    timing.waitMs = 60000;
    timing.watchdogStepMs = 50;
    corvel::compute::ComputeContext::shared(); // the compute runtime, loaded once
    corvel::Service service(options, timing);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double fresh = rssMb();
    const double freshAnon = anonMb();
    const double freshThreads = statusField("Threads");
    std::printf("fresh service with the compute runtime: %.1f MB, anonymous %.1f MB, %.0f threads (%s%s%s)\n",
                fresh, freshAnon, statusField("Threads"), trim ? "trim at release" : "no trim",
                (", arenas " + (arenas > 0 ? std::to_string(arenas) : std::string("unbounded"))).c_str(),
                (std::string(lateTrim ? ", late trim" : "") + (x265Cleanup ? ", x265_cleanup" : "") +
                 (keepPrograms ? ", programs kept" : "") + (plain ? ", no blacks" : "") +
                 (movingMapping ? ", glibc's moving mapping size" : "")).c_str());
    if (maps) {
        printHeap("fresh");
        printMaps();
    }

    const std::string q;
    double peak = fresh, first = 0, last = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        auto must = [&](const std::string& path) {
            corvel::HTTPResponse r = ask(service, path);
            if (r.status == 200) return true;
            std::fprintf(stderr, "%s: %d %s", path.c_str(), r.status, r.body.c_str());
            return false;
        };
        if (!must("/v1/enhanced/m720/index.m3u8" + q)) return 2;
        // A player retries a 503 answer; so does this one, a few times.
        bool init = false;
        for (int tries = 0; tries < 5 && !init; ++tries) init = must("/v1/enhanced/m720/init.mp4" + q);
        if (!init) return 2;
        for (int s = 0; s < segments; ++s) {
            if (!must("/v1/enhanced/m720/seg/" + std::to_string(s) + ".m4s" + q)) return 3;
            peak = std::max(peak, rssMb());
        }
        // Released when the status no longer names the title.
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (ask(service, "/v1/enhanced/status").body.find("\"item\":null") != std::string::npos) break;
        }
        // The status answers "no item" at once; the pipeline thread then
        // closes the encoder and drops the stages, which takes a while (many
        // seconds on a loaded machine): wait until no picture is alive and
        // the encoder's and decoder's threads are gone, then settle.
        for (int waited = 0; waited < 120000; waited += 100) {
            if (corvel::Picture::liveBytes() == 0 && statusField("Threads") <= freshThreads) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
        if (x265Cleanup) x265_cleanup(); // the released service holds no encoder
        if (lateTrim) malloc_trim(0);
        last = rssMb();
        if (cycle == 1) first = last;
        std::printf("cycle %2d: after the release %.1f MB, anonymous +%.1f MB over fresh, %.0f threads "
                    "(peak so far %.1f MB)\n",
                    cycle, last, anonMb() - freshAnon, statusField("Threads"), peak);
        if (maps) {
            std::printf("  pictures alive: %.1f MB\n", corvel::Picture::liveBytes() / 1048576.0);
            printHeap("after the release");
            printMaps();
        }
    }
    std::printf("fresh %.1f MB, peak %.1f MB, after release: first %.1f MB, last %.1f MB; "
                "above fresh %.1f MB, growth over the cycles %.1f MB\n",
                fresh, peak, first, last, last - fresh, last - first);
    return 0;
}
