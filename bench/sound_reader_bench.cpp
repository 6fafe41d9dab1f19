// CPU cost of a TV title's sound reader per minute of title: the real
// SoundReader (its ffmpeg child and the box parsing on its thread) reads a
// whole title's sound while a consumer takes it one second at a time, once
// per treatment, side by side in one run.
//
// Usage: sound_reader_bench [MINUTES]   (default 2; needs ffmpeg on PATH)
#include "source/Sound.h"
#include "source/SoundPlan.h"
#include "source/StreamInfo.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using namespace corvel;

namespace {

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// User + system CPU seconds of this process and of its reaped children.
struct Cpu {
    double self = 0, children = 0;
    static Cpu now() {
        rusage s{}, c{};
        getrusage(RUSAGE_SELF, &s);
        getrusage(RUSAGE_CHILDREN, &c);
        return {seconds(s.ru_utime) + seconds(s.ru_stime), seconds(c.ru_utime) + seconds(c.ru_stime)};
    }
};

void measure(const char* label, const std::string& file, double titleSeconds, SoundPlan plan) {
    StreamInfo info;
    TitlePart part;
    part.url = "file:" + file;
    part.localPath = file;
    part.durationSec = titleSeconds;
    info.parts = {part};
    info.partOffsets = {0};
    info.tv = true;

    const Cpu before = Cpu::now();
    const auto start = std::chrono::steady_clock::now();
    size_t samples = 0, bytes = 0;
    {
        SoundReader reader(info, plan, 0);
        for (int64_t tick = 0; !(reader.finished() && tick > reader.reachedTick()); tick += 48000) {
            auto got = reader.take(tick, tick + 48000, 10000);
            samples += got.size();
            for (const auto& s : got) bytes += s.data.size();
        }
    } // the reader's ffmpeg is reaped here, so its CPU shows in RUSAGE_CHILDREN
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Cpu after = Cpu::now();
    const double minutes = titleSeconds / 60;
    const double child = after.children - before.children, self = after.self - before.self;
    std::printf("%-34s %8zu samples %10zu bytes  wall %6.2f s  ffmpeg %6.2f s  reader %5.2f s  "
                "=> %5.2f CPU s per title minute\n",
                label, samples, bytes, wall, child, self, (child + self) / minutes);
}

} // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 2;
    if (minutes <= 0) {
        std::fprintf(stderr, "usage: sound_reader_bench [MINUTES]\n");
        return 2;
    }
    const double titleSeconds = minutes * 60;
    char folder[] = "/tmp/sound-bench-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string dir = folder;
    // A small picture so that the file is mostly sound; AC-3 5.1 and AAC
    // stereo at 48 kHz, the two kinds a copy carries unchanged.
    const std::string t = std::to_string(titleSeconds);
    const std::string ac3 = dir + "/ac3.ts", aac = dir + "/aac.ts";
    const std::string common = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x90:rate=25:duration=" + t +
                               " -f lavfi -i sine=f=440:r=48000:d=" + t +
                               " -map 0 -map 1 -c:v libx264 -preset ultrafast -g 50 -pix_fmt yuv420p ";
    if (std::system((common + "-c:a ac3 -ac 6 -b:a 448k -f mpegts " + ac3).c_str()) != 0 ||
        std::system((common + "-c:a aac -ac 2 -b:a 160k -f mpegts " + aac).c_str()) != 0) {
        std::fprintf(stderr, "could not make the titles with ffmpeg\n");
        return 1;
    }
    std::printf("title: %.0f s, MPEG-TS, sound at 48 kHz\n", titleSeconds);

    SoundPlan ac3Plan{0, "ac3", 6, 48000};
    SoundPlan aacPlan{0, "aac", 2, 48000};
    SoundPlan ac3ToAac = ac3Plan;
    ac3ToAac.aacOnly = true;
    // A plan that does not copy but keeps 5.1 goes to E-AC-3; a rate other
    // than 48 kHz in the plan is one such, and the same file then measures it.
    SoundPlan ac3ToEac3 = ac3Plan;
    ac3ToEac3.rateHz = 44100;

    measure("AC-3 5.1 copied", ac3, titleSeconds, ac3Plan);
    measure("AAC stereo copied", aac, titleSeconds, aacPlan);
    measure("AC-3 5.1 to E-AC-3 5.1", ac3, titleSeconds, ac3ToEac3);
    measure("AC-3 5.1 to AAC stereo", ac3, titleSeconds, ac3ToAac);
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
