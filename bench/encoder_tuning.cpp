// What x265's zero-latency tuning costs against the preset's default tuning
// (still no B-frames), and what an encoder per segment, flushed at the
// segment's end, buys back. Same raw 10-bit pictures, same preset and CRF,
// one key picture per segment, three ways side by side in each round:
//
//   zerolatency   one encoder for the whole clip, one frame thread, no
//                 lookahead (what the service runs)
//   default       one encoder for the whole clip, the preset's default
//                 tuning with bframes=0 and forced IDRs (the ceiling)
//   per-segment   a new default-tuned encoder for each segment, flushed at
//                 its end (what a segment-parallel design would run)
//
// Prints wall-clock frames per second and CPU milliseconds per frame (the
// process's user+system time over the run), best of --rounds.
//
//   encoder_tuning [--size 1280x720] [--frames 96] [--segment 24] [--rounds 3] [--preset ultrafast]
#include <x265.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

struct Figures {
    double fps = 0;
    double cpuMsPerFrame = 1e30;
    size_t bytes = 0;
};

struct Options {
    int width = 1280, height = 720, frames = 96, segment = 24, rounds = 3;
    std::string preset = "ultrafast";
};

// Encodes pictures [from, to) with one encoder; IDR at every segment start.
size_t encodeRange(const x265_api* api, const Options& o, const std::vector<uint16_t>& raw, int from, int to,
                   bool zeroLatency) {
    x265_param* p = api->param_alloc();
    api->param_default_preset(p, o.preset.c_str(), zeroLatency ? "zerolatency" : nullptr);
    p->logLevel = X265_LOG_ERROR;
    p->internalCsp = X265_CSP_I420;
    p->sourceWidth = o.width;
    p->sourceHeight = o.height;
    p->fpsNum = 24;
    p->fpsDenom = 1;
    p->bframes = 0;
    p->bOpenGOP = 0;
    p->keyframeMax = 100000;
    p->keyframeMin = 1;
    p->scenecutThreshold = 0;
    p->bRepeatHeaders = 0;
    p->rc.rateControlMode = X265_RC_CRF;
    p->rc.rfConstant = 19;
    api->param_apply_profile(p, "main10");
    x265_encoder* encoder = api->encoder_open(p);
    if (!encoder) {
        std::fprintf(stderr, "x265 did not open\n");
        std::exit(1);
    }
    const size_t frameWords = static_cast<size_t>(o.width) * o.height * 3 / 2;
    size_t bytes = 0;
    x265_picture in, out;
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    for (int f = from; f < to; ++f) {
        api->picture_init(p, &in);
        in.bitDepth = 10;
        in.colorSpace = X265_CSP_I420;
        in.pts = f;
        in.sliceType = (f % o.segment == 0) ? X265_TYPE_IDR : X265_TYPE_AUTO;
        const uint16_t* base = raw.data() + frameWords * static_cast<size_t>(f % 48);
        in.planes[0] = const_cast<uint16_t*>(base);
        in.planes[1] = const_cast<uint16_t*>(base + static_cast<size_t>(o.width) * o.height);
        in.planes[2] = const_cast<uint16_t*>(base + static_cast<size_t>(o.width) * o.height * 5 / 4);
        in.stride[0] = o.width * 2;
        in.stride[1] = o.width;
        in.stride[2] = o.width;
        api->picture_init(p, &out);
        if (api->encoder_encode(encoder, &nals, &count, &in, &out) > 0)
            for (uint32_t i = 0; i < count; ++i) bytes += nals[i].sizeBytes;
    }
    for (;;) { // the flush at the end of the range
        api->picture_init(p, &out);
        if (api->encoder_encode(encoder, &nals, &count, nullptr, &out) <= 0) break;
        for (uint32_t i = 0; i < count; ++i) bytes += nals[i].sizeBytes;
    }
    api->encoder_close(encoder);
    api->param_free(p);
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--size") std::sscanf(argv[i + 1], "%dx%d", &o.width, &o.height);
        else if (a == "--frames") o.frames = std::atoi(argv[i + 1]);
        else if (a == "--segment") o.segment = std::atoi(argv[i + 1]);
        else if (a == "--rounds") o.rounds = std::atoi(argv[i + 1]);
        else if (a == "--preset") o.preset = argv[i + 1];
    }
    const x265_api* api = x265_api_get(10);
    if (!api) return 1;
    // 48 distinct pictures (testsrc2 with temporal noise), reused in turn.
    char tmp[] = "/tmp/encoder-tuning-XXXXXX";
    if (!mkdtemp(tmp)) return 1;
    const std::string path = std::string(tmp) + "/clip.yuv";
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i 'testsrc2=size=" +
                            std::to_string(o.width) + "x" + std::to_string(o.height) +
                            ":rate=24,noise=alls=4:allf=t' -frames:v 48 -pix_fmt yuv420p10le -f rawvideo '" + path +
                            "'";
    if (std::system(cmd.c_str()) != 0) return 1;
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
    std::vector<uint16_t> raw(bytes.size() / 2);
    std::memcpy(raw.data(), bytes.data(), raw.size() * 2);
    std::remove(path.c_str());
    std::remove(tmp);

    const char* names[3] = {"zerolatency", "default", "per-segment"};
    Figures best[3];
    for (int round = 0; round < o.rounds; ++round) {
        for (int way = 0; way < 3; ++way) {
            const double cpu0 = cpuMs();
            const auto t0 = Clock::now();
            size_t out = 0;
            if (way == 2) {
                for (int s = 0; s < o.frames; s += o.segment)
                    out += encodeRange(api, o, raw, s, std::min(o.frames, s + o.segment), false);
            } else {
                out = encodeRange(api, o, raw, 0, o.frames, way == 0);
            }
            const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
            const double cpu = (cpuMs() - cpu0) / o.frames;
            best[way].fps = std::max(best[way].fps, o.frames / wall);
            best[way].cpuMsPerFrame = std::min(best[way].cpuMsPerFrame, cpu);
            best[way].bytes = out;
            std::printf("round %d %-12s %6.2f fps %7.1f CPU ms/frame %8zu bytes\n", round + 1, names[way],
                        o.frames / wall, cpu, out);
            std::fflush(stdout);
        }
    }
    std::printf("\n%dx%d, %d frames, segments of %d, preset %s, CRF 19, best of %d\n", o.width, o.height, o.frames,
                o.segment, o.preset.c_str(), o.rounds);
    for (int way = 0; way < 3; ++way)
        std::printf("%-12s %6.2f fps (%.2fx zerolatency) %7.1f CPU ms/frame (%.2fx) %8zu bytes\n", names[way],
                    best[way].fps, best[way].fps / best[0].fps, best[way].cpuMsPerFrame,
                    best[way].cpuMsPerFrame / best[0].cpuMsPerFrame, best[way].bytes);
    return 0;
}
