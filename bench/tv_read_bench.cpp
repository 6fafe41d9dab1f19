// What reading TV pictures costs this process: the frames of a 1080p
// MPEG-TS clip read from ffmpeg's pipe straight into pooled pictures, against
// the same frames read into the scratch buffer and copied row by row. Both
// ways read the same clip in alternating rounds; the figure that matters is
// the reading thread's own CPU time per frame (ffmpeg decodes in its own
// process either way, and its speed sets the wall time).
//
//   tv_read_bench [rounds] [WIDTHxHEIGHT]
//
// Makes its 10 s clip with ffmpeg first (kept in the temp folder).
#include "common/SourceColor.h"
#include "source/FFmpegPictures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace {

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    int width = 1920, height = 1080;
    if (argc > 2) std::sscanf(argv[2], "%dx%d", &width, &height);
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "corvel_tv_read_bench";
    std::filesystem::create_directories(folder);
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string clip = (folder / ("clip" + size + ".ts")).string();
    if (!std::filesystem::exists(clip)) {
        const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + size +
                                 ":rate=25 -t 10 -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p '" +
                                 clip + "'";
        if (std::system(make.c_str()) != 0) return 1;
    }
    corvel::StreamInfo info;
    corvel::TitlePart part;
    part.localPath = clip;
    part.url = "file://" + clip;
    part.durationSec = 10;
    info.parts.push_back(part);
    info.partOffsets.push_back(0);
    info.width = width;
    info.height = height;
    info.sourceFpsNum = 25;
    info.sourceFpsDen = 1;
    info.sourceColor.primaries = corvel::color::kPrimaries709;
    info.sourceColor.matrix = corvel::color::kMatrix709;
    info.tv = true;

    std::printf("%s, %d rounds per way, reading thread CPU per frame and wall time per round\n",
                size.c_str(), rounds);
    std::vector<double> cpu[2], wall[2];
    for (int round = 0; round < rounds; ++round) {
        for (int way = 0; way < 2; ++way) {
            corvel::FFmpegPictures source(info);
            source.setReadThroughScratch(way == 1);
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = threadCpuMs();
            source.seek(0);
            int64_t frames = 0;
            while (auto frame = source.read()) ++frames;
            const double c1 = threadCpuMs();
            const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (frames == 0 || (way == 0 && source.directReads() != frames) ||
                (way == 1 && source.copiedReads() != frames)) {
                std::fprintf(stderr, "round %d: %lld frames, %lld direct, %lld copied\n", round,
                             static_cast<long long>(frames), static_cast<long long>(source.directReads()),
                             static_cast<long long>(source.copiedReads()));
                return 2;
            }
            cpu[way].push_back((c1 - c0) / static_cast<double>(frames));
            wall[way].push_back(w);
            std::printf("  round %d %-7s %lld frames: %.3f ms CPU per frame, %.2f s\n", round,
                        way == 0 ? "direct" : "scratch", static_cast<long long>(frames), cpu[way].back(), w);
        }
    }
    std::printf("median: direct %.3f ms CPU per frame (%.2f s), scratch + copy %.3f ms (%.2f s): "
                "the copy costs %.3f ms per frame\n",
                median(cpu[0]), median(wall[0]), median(cpu[1]), median(wall[1]), median(cpu[1]) - median(cpu[0]));
    return 0;
}
