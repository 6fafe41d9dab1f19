// What an hour of a busy title's cues costs the subtitle cache, which keeps
// everything for the life of the process: makes a one-hour Matroska title
// whose SubRip stream has a cue every 2 s (40-80 characters, two lines),
// asks for every one-second WebVTT window in order (as a player does), and
// reports extractions, time and the bytes held. Needs ffmpeg.
//
//   build/bench/subtitle_cache_bench [minutes]
#include "ProcessFigures.h"
#include "subtitles/TextSubtitles.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

using corvel::bench::statusField;

using namespace corvel;

namespace {

std::string srtTime(int ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d,%03d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int seconds = minutes * 60;
    const std::string folder = "/tmp/subtitle-bench-" + std::to_string(getpid());
    std::system(("mkdir -p " + folder).c_str());
    {
        std::ofstream srt(folder + "/busy.srt");
        for (int i = 0; i < seconds / 2; ++i) {
            const int start = i * 2000 + 100;
            srt << i + 1 << "\n" << srtTime(start) << " --> " << srtTime(start + 1800) << "\n"
                << "Line " << i << " of a busy title, said quickly" << (i % 2 ? ",\nand a second row of words" : "")
                << "\n\n";
        }
    }
    const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i color=size=64x64:rate=1:duration=" +
                             std::to_string(seconds) + " -i " + folder + "/busy.srt -c:v libx264 -preset ultrafast -c:s srt " +
                             folder + "/busy.mkv";
    if (std::system(make.c_str()) != 0) return 1;

    StreamInfo info;
    TitlePart part;
    part.localPath = folder + "/busy.mkv";
    part.durationSec = seconds;
    info.parts = {part};
    info.partOffsets = {0};
    info.durationSec = seconds;
    info.fpsNum = 25;
    info.fpsDen = 1;
    info.layOut(1.0);

    TextSubtitles cache;
    const double before = statusField("VmRSS"); // kB
    const auto t0 = std::chrono::steady_clock::now();
    size_t cues = 0;
    for (int k = 0; k < info.segments; ++k) {
        const std::string vtt = cache.segment(info, "busy", 0, k, k + 1.0);
        for (size_t at = 0; (at = vtt.find(" --> ", at)) != std::string::npos; at += 5) ++cues;
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("title %d min, %d one-second windows, %zu cues written, %d extractions, %.0f ms (%.2f ms a window)\n",
                minutes, info.segments, cues, cache.reads(), ms, ms / info.segments);
    std::printf("cache holds %zu bytes (%.1f KiB a title hour); resident memory grew %.0f KiB\n", cache.heldBytes(),
                static_cast<double>(cache.heldBytes()) / 1024.0 * 60 / minutes, statusField("VmRSS") - before);
    std::system(("rm -rf " + folder).c_str());
    return 0;
}
