// What x265's zero-latency tuning costs against the preset's default tuning
// (still no B-frames), and what an encoder per segment, flushed at the
// segment's end, gives per bit. Same raw 10-bit pictures, same preset and
// CRF, one key picture per segment, three ways side by side at each CRF:
//
//   zerolatency   one encoder for the whole clip, one frame thread, no
//                 lookahead (the service with segmentEncoders off)
//   default       one encoder for the whole clip, the preset's default
//                 tuning with bframes=0 and forced IDRs (the ceiling)
//   per-segment   a new default-tuned encoder for each segment, flushed at
//                 its end (the service's default)
//
// For each way and CRF it prints wall-clock frames per second, CPU
// milliseconds per frame (the process's user+system time over the run, best
// of --rounds), the bit rate in kbit/s at the clip's frame rate, and luma
// PSNR in dB against the 10-bit source. The PSNR is taken on x265's
// reconstructed pictures, which a conforming decoder reproduces bit for bit
// (--keep writes the streams and the source so that a decoder can confirm
// it); it is the PSNR of the mean squared error over all pictures, as
// ffmpeg's psnr filter reports its average.
//
// With two or more CRFs it then compares the ways at equal quality: the
// bit rate difference at equal PSNR (piecewise linear in log rate over the
// PSNR range both ways cover, BD-rate style; negative = fewer bits), and the
// CRF at which the per-segment encoder matches zerolatency's PSNR at each
// CRF.
//
//   encoder_tuning [--size 1280x720] [--frames 240] [--segment 24] [--rounds 1]
//                  [--preset ultrafast] [--crf 15,17,19,21,23]
//                  [--source mandelbrot|testsrc2] [--grain 4] [--keep DIR]
#include "ProcessFigures.h"

#include <x265.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using corvel::bench::processCpuMs;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFps = 24;

struct Options {
    int width = 1280, height = 720, frames = 240, segment = 24, rounds = 1;
    std::string preset = "ultrafast";
    std::vector<double> crfs = {15, 17, 19, 21, 23};
    std::string source = "mandelbrot";
    int grain = 4; // strength of the temporal noise on the clip, 0: none
    std::string keep; // folder for the streams and the source, empty: none
};

// The clip's raw yuv420p10le pictures, mapped from a file ffmpeg wrote.
struct Source {
    const uint16_t* words = nullptr;
    size_t length = 0; // bytes mapped
    size_t frameWords = 0;
    const uint16_t* frame(int f) const { return words + frameWords * static_cast<size_t>(f); }
};

// Sums of squared luma errors over a run, so the PSNR is that of the mean
// error (ffmpeg's psnr average), not the mean of per-picture PSNRs.
struct Distortion {
    double squaredError = 0;
    uint64_t samples = 0;
    int pictures = 0;
    double psnr() const {
        if (samples == 0) return 0;
        const double mse = squaredError / static_cast<double>(samples);
        return mse <= 0 ? 100.0 : 10.0 * std::log10(1023.0 * 1023.0 / mse);
    }
};

struct Result {
    double fps = 0;
    double cpuMsPerFrame = 1e30;
    size_t bytes = 0;
    double psnrY = 0;
    double kbps(int frames) const { return static_cast<double>(bytes) * 8.0 * kFps / frames / 1000.0; }
};

// Adds the luma error of a reconstructed picture against its source.
void measure(const Options& o, const Source& src, const x265_picture& out, Distortion& d) {
    if (out.planes[0] == nullptr || out.pts < 0 || out.pts >= o.frames) return;
    const uint16_t* ref = src.frame(static_cast<int>(out.pts));
    const auto* recon = static_cast<const uint8_t*>(out.planes[0]);
    double sum = 0;
    for (int y = 0; y < o.height; ++y) {
        const auto* row = reinterpret_cast<const uint16_t*>(recon + static_cast<size_t>(y) * out.stride[0]);
        const uint16_t* refRow = ref + static_cast<size_t>(y) * o.width;
        int64_t rowSum = 0;
        for (int x = 0; x < o.width; ++x) {
            const int e = static_cast<int>(row[x]) - static_cast<int>(refRow[x]);
            rowSum += static_cast<int64_t>(e) * e;
        }
        sum += static_cast<double>(rowSum);
    }
    d.squaredError += sum;
    d.samples += static_cast<uint64_t>(o.width) * o.height;
    ++d.pictures;
}

// Encodes pictures [from, to) with one encoder; IDR at every segment start.
// The parameters follow src/output/Encoder.cpp's: bframes 0, closed GOPs,
// no scene cuts, lookahead 0 for zerolatency.
size_t encodeRange(const x265_api* api, const Options& o, const Source& src, double crf, int from, int to,
                   bool zeroLatency, Distortion& d, std::FILE* stream) {
    x265_param* p = api->param_alloc();
    api->param_default_preset(p, o.preset.c_str(), zeroLatency ? "zerolatency" : nullptr);
    p->logLevel = X265_LOG_ERROR;
    p->internalCsp = X265_CSP_I420;
    p->sourceWidth = o.width;
    p->sourceHeight = o.height;
    p->fpsNum = kFps;
    p->fpsDenom = 1;
    p->bframes = 0;
    if (zeroLatency) p->lookaheadDepth = 0;
    p->bOpenGOP = 0;
    p->keyframeMax = 100000;
    p->keyframeMin = 1;
    p->scenecutThreshold = 0;
    p->bRepeatHeaders = 0;
    p->rc.rateControlMode = X265_RC_CRF;
    p->rc.rfConstant = crf;
    api->param_apply_profile(p, "main10");
    x265_encoder* encoder = api->encoder_open(p);
    if (!encoder) {
        std::fprintf(stderr, "x265 did not open\n");
        std::exit(1);
    }
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    size_t bytes = 0;
    auto take = [&](const x265_picture& out) {
        for (uint32_t i = 0; i < count; ++i) {
            bytes += nals[i].sizeBytes;
            if (stream) std::fwrite(nals[i].payload, 1, nals[i].sizeBytes, stream);
        }
        measure(o, src, out, d);
    };
    if (stream && api->encoder_headers(encoder, &nals, &count) >= 0) // a decodable stream: headers first
        for (uint32_t i = 0; i < count; ++i) std::fwrite(nals[i].payload, 1, nals[i].sizeBytes, stream);
    const size_t luma = static_cast<size_t>(o.width) * o.height;
    x265_picture in, out;
    for (int f = from; f < to; ++f) {
        api->picture_init(p, &in);
        in.bitDepth = 10;
        in.colorSpace = X265_CSP_I420;
        in.pts = f;
        in.sliceType = (f % o.segment == 0) ? X265_TYPE_IDR : X265_TYPE_AUTO;
        const uint16_t* base = src.frame(f);
        in.planes[0] = const_cast<uint16_t*>(base);
        in.planes[1] = const_cast<uint16_t*>(base + luma);
        in.planes[2] = const_cast<uint16_t*>(base + luma * 5 / 4);
        in.stride[0] = o.width * 2;
        in.stride[1] = o.width;
        in.stride[2] = o.width;
        api->picture_init(p, &out);
        if (api->encoder_encode(encoder, &nals, &count, &in, &out) > 0) take(out);
    }
    for (;;) { // the flush at the end of the range
        api->picture_init(p, &out);
        if (api->encoder_encode(encoder, &nals, &count, nullptr, &out) <= 0) break;
        take(out);
    }
    api->encoder_close(encoder);
    api->param_free(p);
    return bytes;
}

// log10 of the bit rate at `psnr` on a curve of (psnr, kbps) points sorted by
// PSNR, linear between points; the caller keeps psnr inside the curve.
double logRateAt(const std::vector<std::pair<double, double>>& curve, double psnr) {
    for (size_t i = 1; i < curve.size(); ++i) {
        if (psnr <= curve[i].first || i + 1 == curve.size()) {
            const auto& [p0, r0] = curve[i - 1];
            const auto& [p1, r1] = curve[i];
            const double t = p1 > p0 ? (psnr - p0) / (p1 - p0) : 0.0;
            return std::log10(r0) + t * (std::log10(r1) - std::log10(r0));
        }
    }
    return std::log10(curve.front().second);
}

// Mean bit rate difference of `test` against `anchor` at equal PSNR, in
// percent, over the PSNR range both cover; NaN where they do not overlap.
double bdRate(std::vector<std::pair<double, double>> anchor, std::vector<std::pair<double, double>> test) {
    if (anchor.size() < 2 || test.size() < 2) return std::nan("");
    std::sort(anchor.begin(), anchor.end());
    std::sort(test.begin(), test.end());
    const double lo = std::max(anchor.front().first, test.front().first);
    const double hi = std::min(anchor.back().first, test.back().first);
    if (hi <= lo) return std::nan("");
    constexpr int kSteps = 1000;
    double sum = 0;
    for (int i = 0; i <= kSteps; ++i) {
        const double psnr = lo + (hi - lo) * i / kSteps;
        const double w = (i == 0 || i == kSteps) ? 0.5 : 1.0; // trapezoids
        sum += w * (logRateAt(test, psnr) - logRateAt(anchor, psnr));
    }
    return (std::pow(10.0, sum / kSteps) - 1.0) * 100.0;
}

// The CRF at which a curve of (crf, psnr) points gives `psnr`, linear
// between neighbouring CRFs; NaN outside the measured range.
double crfForPsnr(const std::vector<std::pair<double, double>>& byCrf, double psnr) {
    for (size_t i = 1; i < byCrf.size(); ++i) {
        const auto& [c0, p0] = byCrf[i - 1];
        const auto& [c1, p1] = byCrf[i];
        if ((psnr <= p0 && psnr >= p1) || (psnr >= p0 && psnr <= p1))
            return p0 == p1 ? c0 : c0 + (psnr - p0) / (p1 - p0) * (c1 - c0);
    }
    return std::nan("");
}

std::vector<double> parseList(const char* text) {
    std::vector<double> out;
    for (const char* at = text; *at;) {
        char* end = nullptr;
        const double v = std::strtod(at, &end);
        if (end == at) break;
        out.push_back(v);
        at = *end == ',' ? end + 1 : end;
    }
    return out;
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
        else if (a == "--crf") o.crfs = parseList(argv[i + 1]);
        else if (a == "--source") o.source = argv[i + 1];
        else if (a == "--grain") o.grain = std::atoi(argv[i + 1]);
        else if (a == "--keep") o.keep = argv[i + 1];
    }
    if (o.width <= 0 || o.height <= 0 || (o.width & 1) || (o.height & 1) || o.frames <= 0 || o.segment <= 0 ||
        o.rounds <= 0 || o.crfs.empty() || o.grain < 0 || o.grain > 100) {
        std::fprintf(stderr, "encoder_tuning: bad options\n");
        return 2;
    }
    std::sort(o.crfs.begin(), o.crfs.end());
    const x265_api* api = x265_api_get(10);
    if (!api) return 1;

    // Motion and texture: a zooming fractal (fine detail that keeps
    // changing) or the moving test card, with temporal grain unless --grain 0.
    const std::string size = std::to_string(o.width) + "x" + std::to_string(o.height);
    std::string filter;
    if (o.source == "testsrc2") filter = "testsrc2=size=" + size + ":rate=24";
    else if (o.source == "mandelbrot") filter = "mandelbrot=size=" + size + ":rate=24";
    else {
        std::fprintf(stderr, "encoder_tuning: --source is mandelbrot or testsrc2\n");
        return 2;
    }
    if (o.grain > 0) filter += ",noise=alls=" + std::to_string(o.grain) + ":allf=t";
    char tmp[] = "/tmp/encoder-tuning-XXXXXX";
    if (!mkdtemp(tmp)) return 1;
    const std::string dir = o.keep.empty() ? std::string(tmp) : o.keep;
    const std::string path = dir + "/source-" + size + ".yuv";
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i '" + filter + "' -frames:v " +
                            std::to_string(o.frames) + " -pix_fmt yuv420p10le -f rawvideo '" + path + "'";
    if (std::system(cmd.c_str()) != 0) return 1;
    Source src;
    src.frameWords = static_cast<size_t>(o.width) * o.height * 3 / 2;
    {
        const int fd = open(path.c_str(), O_RDONLY);
        struct stat st{};
        if (fd < 0 || fstat(fd, &st) != 0 ||
            static_cast<size_t>(st.st_size) < src.frameWords * 2 * static_cast<size_t>(o.frames)) {
            std::fprintf(stderr, "encoder_tuning: ffmpeg wrote too few pictures\n");
            return 1;
        }
        src.length = static_cast<size_t>(st.st_size);
        void* map = mmap(nullptr, src.length, PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (map == MAP_FAILED) return 1;
        src.words = static_cast<const uint16_t*>(map);
    }
    if (o.keep.empty()) std::remove(path.c_str()); // the mapping stays
    std::remove(tmp);

    const char* names[3] = {"zerolatency", "default", "per-segment"};
    std::vector<std::vector<Result>> results(o.crfs.size(), std::vector<Result>(3));
    for (size_t c = 0; c < o.crfs.size(); ++c) {
        const double crf = o.crfs[c];
        for (int round = 0; round < o.rounds; ++round) {
            for (int way = 0; way < 3; ++way) {
                std::FILE* stream = nullptr;
                if (!o.keep.empty() && round == 0) {
                    char name[64];
                    std::snprintf(name, sizeof name, "/%s-crf%g.hevc", names[way], crf);
                    stream = std::fopen((o.keep + name).c_str(), "wb");
                }
                Distortion d;
                const double cpu0 = processCpuMs();
                const auto t0 = Clock::now();
                size_t out = 0;
                if (way == 2) {
                    for (int s = 0; s < o.frames; s += o.segment)
                        out += encodeRange(api, o, src, crf, s, std::min(o.frames, s + o.segment), false, d, stream);
                } else {
                    out = encodeRange(api, o, src, crf, 0, o.frames, way == 0, d, stream);
                }
                const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
                const double cpu = (processCpuMs() - cpu0) / o.frames;
                if (stream) std::fclose(stream);
                if (d.pictures != o.frames) {
                    std::fprintf(stderr, "encoder_tuning: %d of %d pictures came back\n", d.pictures, o.frames);
                    return 1;
                }
                Result& r = results[c][static_cast<size_t>(way)];
                r.fps = std::max(r.fps, o.frames / wall);
                r.cpuMsPerFrame = std::min(r.cpuMsPerFrame, cpu);
                r.bytes = out;
                r.psnrY = d.psnr();
                std::printf("crf %4.1f round %d %-12s %6.2f fps %7.1f CPU ms/frame %8.1f kbit/s %6.3f dB\n", crf,
                            round + 1, names[way], o.frames / wall, cpu, r.kbps(o.frames), r.psnrY);
                std::fflush(stdout);
            }
        }
    }
    munmap(const_cast<uint16_t*>(src.words), src.length);

    std::printf("\n%s (grain %d) %s, %d frames at %d fps, segments of %d, preset %s, best CPU of %d\n",
                o.source.c_str(), o.grain, size.c_str(), o.frames, kFps, o.segment, o.preset.c_str(), o.rounds);
    std::printf("| CRF | tuning | kbit/s | PSNR-Y dB | CPU ms/frame | fps |\n|---|---|---|---|---|---|\n");
    for (size_t c = 0; c < o.crfs.size(); ++c)
        for (int way = 0; way < 3; ++way) {
            const Result& r = results[c][static_cast<size_t>(way)];
            std::printf("| %g | %s | %.1f | %.3f | %.1f | %.2f |\n", o.crfs[c], names[way], r.kbps(o.frames),
                        r.psnrY, r.cpuMsPerFrame, r.fps);
        }
    if (o.crfs.size() < 2) return 0;
    std::vector<std::pair<double, double>> rate[3], byCrf[3];
    for (size_t c = 0; c < o.crfs.size(); ++c)
        for (int way = 0; way < 3; ++way) {
            const Result& r = results[c][static_cast<size_t>(way)];
            rate[way].push_back({r.psnrY, r.kbps(o.frames)});
            byCrf[way].push_back({o.crfs[c], r.psnrY});
        }
    std::printf("\nbit rate at equal PSNR against zerolatency (negative: fewer bits):\n");
    for (int way = 1; way < 3; ++way)
        std::printf("  %-12s %+.1f %%\n", names[way], bdRate(rate[0], rate[way]));
    std::printf("per-segment CRF giving zerolatency's PSNR:\n");
    for (size_t c = 0; c < o.crfs.size(); ++c) {
        const double match = crfForPsnr(byCrf[2], results[c][0].psnrY);
        if (std::isnan(match))
            std::printf("  zerolatency crf %g (%.3f dB): outside the measured CRFs\n", o.crfs[c], results[c][0].psnrY);
        else
            std::printf("  zerolatency crf %g (%.3f dB): per-segment crf %.2f (offset %+.2f)\n", o.crfs[c],
                        results[c][0].psnrY, match, match - o.crfs[c]);
    }
    return 0;
}
