// What the compute runtime and the upscaler's resample program keep
// resident on the device's host side (the anonymous memory, kB, that
// /proc/self/status counts as RssAnon): the runtime brought up (platform,
// context, queue), then the resample kernels of a 2x ratio built and
// made, either as one program for both plane kinds (as ShaderScaler builds
// them) or as one program per kind (one copy of the same sources each).
// Each way runs in a fresh process, so that nothing one way built is
// already there for the other; `rounds` processes each, alternated.
//
// Usage: program_memory [--cold] [rounds]   (default 3 rounds; --cold: an
// empty kernel cache per process, every program compiled from source: by
// the child builder first, as the service does, unless
// CORVEL_ENHANCE_PROGRAM_BUILDER=none, the way before it)
#include "ProcessFigures.h"

#include "compute/ComputeContext.h"
#include "processing/ShaderScaler.h"

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace corvel;

namespace {

constexpr const char* kRatios = "-DPHASES_X=2 -DSTEP_X=1 -DPHASES_Y=2 -DSTEP_Y=1";
const char* const kPasses[] = {"resampleRowsPhased", "resampleColumnsPhased"};

// The child: prints the growth of RssAnon (kB) with the runtime up, with
// the kernels built and made, and after handing the heap's free pages back.
int child(bool oneProgram) {
    const double before = bench::statusField("RssAnon");
    auto context = compute::ComputeContext::create("cpu");
    const double up = bench::statusField("RssAnon");
    const std::vector<const char*> sources = ShaderScaler::resampleSources();
    std::vector<compute::Kernel> kernels;
    if (oneProgram) {
        cl_program program = context->program("resample", sources, kRatios);
        for (const std::string kind : {"Luma", "Chroma"})
            for (const char* pass : kPasses)
                kernels.push_back(context->kernel(program, (pass + kind).c_str()));
    } else {
        // sources: common, luma lines, resample, chroma lines, resample.
        const std::pair<const char*, std::vector<const char*>> kinds[] = {
            {"Luma", {sources[0], sources[1], sources[2]}},
            {"Chroma", {sources[0], sources[3], sources[4]}}};
        for (const auto& [kind, list] : kinds) {
            cl_program program = context->program(std::string("resample") + kind, list, kRatios);
            for (const char* pass : kPasses)
                kernels.push_back(context->kernel(program, (pass + std::string(kind)).c_str()));
        }
    }
    const double built = bench::statusField("RssAnon");
    malloc_trim(0);
    const double trimmed = bench::statusField("RssAnon");
    std::printf("%.0f %.0f %.0f\n", up - before, built - up, trimmed - up);
    return 0;
}

struct Figures {
    double runtime = -1; // kB when the runtime is up
    double program = -1; // kB more once the kernels are built and made
    double trimmed = -1; // the same after malloc_trim(0)
};

// Runs this program as a child in the given way; `cold` gives the child an
// empty kernel cache of its own (PoCL's POCL_CACHE_DIR), so that every
// program is compiled from its source.
Figures measure(const char* self, bool oneProgram, bool cold) {
    std::string cache;
    if (cold) {
        char name[] = "/tmp/program-memory-XXXXXX";
        if (!mkdtemp(name)) std::exit(1);
        cache = name;
    }
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        if (cold) {
            setenv("POCL_CACHE_DIR", cache.c_str(), 1);
            // The builder's marks of this cache go with it.
            setenv("CORVEL_ENHANCE_PROGRAM_MARKS", (cache + "/marks").c_str(), 1);
        }
        execl(self, self, "--child", oneProgram ? "one" : "per-kind", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    char text[128] = {};
    const ssize_t got = read(pipeEnds[0], text, sizeof text - 1);
    close(pipeEnds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (cold) std::system(("rm -rf '" + cache + "'").c_str());
    Figures f;
    if (got <= 0 || std::sscanf(text, "%lf %lf %lf", &f.runtime, &f.program, &f.trimmed) != 3) {
        std::fprintf(stderr, "the child gave no figures\n");
        std::exit(1);
    }
    return f;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--child") return child(std::string(argv[2]) == "one");
    bool cold = false;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--cold")
            cold = true;
        else
            rounds = std::max(1, std::atoi(argv[i]));
    }
    std::printf("%s kernel cache\n", cold ? "empty" : "the user's");
    std::printf("%-22s %12s %12s %14s\n", "resample kernels", "runtime kB", "program kB",
                "after trim kB");
    for (int round = 0; round < rounds; ++round) {
        for (bool one : {round % 2 == 0, round % 2 != 0}) {
            const Figures f = measure("/proc/self/exe", one, cold);
            std::printf("%-22s %12.0f %12.0f %14.0f\n",
                        one ? "one program, 2 kinds" : "a program per kind", f.runtime, f.program,
                        f.trimmed);
        }
    }
    return 0;
}
