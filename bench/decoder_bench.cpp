// Decoding throughput of the Decoder (range reads from the stand-in over
// loopback + libavcodec + conversion to the picture layout) against
// `ffmpeg -threads N -i FILE -f null -` on the same file, side by side in one
// run, plus the range requests the Decoder made per 100 MB read.
//
//   decoder_bench [--file FILE.mp4] [--threads N] [--rounds R]
//
// Without --file it makes a 1080p H.264 clip (8 s, 24 fps) with ffmpeg first.
#include "source/Decoder.h"
#include "source/HTTPClient.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

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

} // namespace

int main(int argc, char** argv) {
    std::string file;
    int threads = 2, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--file") file = argv[i + 1];
        else if (a == "--threads") threads = std::atoi(argv[i + 1]);
        else if (a == "--rounds") rounds = std::atoi(argv[i + 1]);
    }
    if (file.empty()) {
        file = std::filesystem::temp_directory_path() / "corvel_bench_1080p_h264.mp4";
        if (!std::filesystem::exists(file)) {
            std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=24 -t 8 "
                               "-c:v libx264 -preset veryfast -crf 20 -bf 3 '" + file + "'";
            if (std::system(make.c_str()) != 0) return 1;
        }
    }
    std::filesystem::path path = std::filesystem::absolute(file);
    Standin server(path.parent_path().string());
    corvel::TitlePart part;
    part.url = "http://127.0.0.1:" + std::to_string(server.port) + "/media/" + path.filename().string();
    part.fileName = path.filename().string();
    uint64_t fileBytes = std::filesystem::file_size(path);

    double bestOurs = 0, bestTheirs = 0;
    std::vector<double> ratios;
    int frames = 0;
    uint64_t ranges = 0;
    for (int round = 0; round < rounds; ++round) {
        // Ours: a fresh decoder each round (track open + every window).
        uint64_t rangesBefore = corvel::httpRangeCount();
        auto start = Clock::now();
        corvel::Decoder decoder({part}, {0}, corvel::kPixelFormatX420);
        decoder.setThreads(threads);
        decoder.seek(0);
        frames = 0;
        while (decoder.read()) ++frames;
        double ours = frames / seconds(start);
        ranges = corvel::httpRangeCount() - rangesBefore;

        start = Clock::now();
        std::string command = "ffmpeg -nostdin -v error -threads " + std::to_string(threads) + " -i '" + path.string() +
                              "' -f null -";
        if (std::system(command.c_str()) != 0) return 1;
        double theirs = frames / seconds(start);
        std::printf("round %d: Decoder %.1f fps, ffmpeg %.1f fps\n", round + 1, ours, theirs);
        ratios.push_back(ours / theirs);
        bestOurs = std::max(bestOurs, ours);
        bestTheirs = std::max(bestTheirs, theirs);
    }
    std::printf("file %s: %d pictures, %.1f MB\n", path.string().c_str(), frames, static_cast<double>(fileBytes) / 1e6);
    std::printf("best of %d, %d threads: Decoder %.1f fps, ffmpeg %.1f fps, ratio %.2f\n", rounds, threads, bestOurs,
                bestTheirs, bestOurs / bestTheirs);
    std::sort(ratios.begin(), ratios.end());
    std::printf("median ratio of the rounds: %.2f\n", ratios[ratios.size() / 2]);
    std::printf("range requests per whole read: %llu, per 100 MB: %.1f\n", static_cast<unsigned long long>(ranges),
                static_cast<double>(ranges) / (static_cast<double>(fileBytes) / 1e8));
    return 0;
}
