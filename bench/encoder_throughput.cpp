// Encoder throughput against the ffmpeg command line with libx265 and the
// same settings, on the same raw 10-bit pictures, side by side in one run.
//
//   encoder_throughput [--frames N] [--runs N] [--sizes 1280x720,1920x1080]
//   encoder_throughput --presets ultrafast,superfast,veryfast [--frames N]
//
// The first form prints, per size, frames per second of Encoder (from its
// construction to the last picture delivered) and of ffmpeg (process start
// to exit, reading the raw file from the page cache), best of --runs each,
// and their ratio. The second measures Encoder at 1920x1080 with each x265
// preset and reports frames per second, bit rate and the PSNR of the
// decoded stream against the input.
#include "output/Encoder.h"
#include "output/InitSegment.h"
#include "output/MediaSegment.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

using namespace corvel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kKeyInterval = 48; // one key picture per two-second segment at 24/1
constexpr const char* kContent = "testsrc2=size=%dx%d:rate=24,noise=alls=4:allf=t";

std::string tempDir;

int shell(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::vector<char> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// The clip as raw yuv420p10le in a file (what ffmpeg reads) and as Pictures
// (what Encoder takes), converted before any timing.
std::string makeRaw(int w, int h, int frames) {
    char graph[128];
    std::snprintf(graph, sizeof graph, kContent, w, h);
    std::string path = tempDir + "/clip_" + std::to_string(w) + "x" + std::to_string(h) + ".yuv";
    std::string cmd = std::string("ffmpeg -hide_banner -loglevel error -y -f lavfi -i '") + graph + "' -frames:v " +
                      std::to_string(frames) + " -pix_fmt yuv420p10le -f rawvideo '" + path + "'";
    if (shell(cmd) != 0) {
        std::fprintf(stderr, "ffmpeg could not make the clip\n");
        std::exit(1);
    }
    return path;
}

std::vector<PictureRef> toPictures(const std::string& path, int w, int h, int frames) {
    auto bytes = readAll(path);
    const size_t ww = static_cast<size_t>(w), hh = static_cast<size_t>(h);
    const size_t frameWords = ww * hh * 3 / 2;
    std::vector<PictureRef> out;
    for (int f = 0; f < frames; ++f) {
        const uint16_t* y = reinterpret_cast<const uint16_t*>(bytes.data()) + frameWords * static_cast<size_t>(f);
        const uint16_t* cb = y + ww * hh;
        const uint16_t* cr = cb + ww * hh / 4;
        PictureRef p = makePicture(w, h);
        for (size_t r = 0; r < hh; ++r)
            for (size_t x = 0; x < ww; ++x) p->row(0, static_cast<int>(r))[x] = static_cast<uint16_t>(y[r * ww + x] << 6);
        for (size_t r = 0; r < hh / 2; ++r)
            for (size_t x = 0; x < ww / 2; ++x) {
                p->row(1, static_cast<int>(r))[2 * x] = static_cast<uint16_t>(cb[r * ww / 2 + x] << 6);
                p->row(1, static_cast<int>(r))[2 * x + 1] = static_cast<uint16_t>(cr[r * ww / 2 + x] << 6);
            }
        out.push_back(p);
    }
    return out;
}

EncoderConfig configFor(int w, int h) {
    EncoderConfig c;
    c.width = w;
    c.height = h;
    c.fpsNum = 24;
    c.fpsDen = 1;
    c.quality = EncoderConfig::defaultQuality();
    c.color = {color::kPrimaries709, color::kTransfer709, color::kMatrix709};
    return c;
}

struct Result {
    double seconds = 0;
    int64_t bytes = 0;
    std::vector<EncodedPicture> pictures;
    EncoderFormat format;
};

Result runEncoder(const std::vector<PictureRef>& clip, int w, int h, bool keep) {
    Result r;
    std::mutex lock;
    auto start = Clock::now();
    {
        Encoder encoder(configFor(w, h));
        for (size_t i = 0; i < clip.size(); ++i)
            encoder.encode(clip[i], i % kKeyInterval == 0, [&](std::optional<EncodedPicture> p) {
                if (!p) return;
                std::lock_guard<std::mutex> guard(lock);
                r.bytes += static_cast<int64_t>(p->data.size());
                if (keep) r.pictures.push_back(std::move(*p));
            });
        encoder.completeFrames();
        r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (keep) r.format = *encoder.format();
    }
    return r;
}

// The same settings on the command line: preset, zerolatency, the CRF of
// the default quality, IDR pictures forced at the same places, no scene
// cuts, no open GOP, BT.709 in the VUI.
double runFFmpeg(const std::string& raw, int w, int h, int frames, const std::string& preset) {
    char crf[32];
    std::snprintf(crf, sizeof crf, "%g", crfForQuality(EncoderConfig::defaultQuality()));
    std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f rawvideo -pix_fmt yuv420p10le -s " +
                      std::to_string(w) + "x" + std::to_string(h) + " -r 24 -i '" + raw + "' -frames:v " +
                      std::to_string(frames) + " -c:v libx265 -preset " + preset + " -tune zerolatency -crf " + crf +
                      " -forced-idr 1 -force_key_frames 'expr:eq(mod(n," + std::to_string(kKeyInterval) +
                      "),0)' -x265-params 'log-level=error:bframes=0:rc-lookahead=0:keyint=100000:min-keyint=1:"
                      "scenecut=0:open-gop=0:info=0:repeat-headers=0:colorprim=bt709:transfer=bt709:"
                      "colormatrix=bt709:range=limited' -f null -";
    auto start = Clock::now();
    if (shell(cmd) != 0) {
        std::fprintf(stderr, "ffmpeg failed: %s\n", cmd.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) out.push_back(item);
    return out;
}

double psnrOf(const Result& r, const std::string& raw, int w, int h) {
    VideoTrack track;
    track.width = w;
    track.height = h;
    track.timescale = 24;
    track.frameDuration = 1;
    track.hvcC = r.format.hvcC;
    track.color = configFor(w, h).color;
    auto bytes = makeInitSegment(track, r.pictures.size());
    auto seg = makeMediaSegment(1, track, 0, r.pictures, {});
    bytes.insert(bytes.end(), seg.begin(), seg.end());
    std::string mp4 = tempDir + "/out.mp4";
    std::ofstream(mp4, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
    std::string log = tempDir + "/psnr.txt";
    std::string cmd = "ffmpeg -hide_banner -nostats -loglevel info -i '" + mp4 + "' -f rawvideo -pix_fmt yuv420p10le -r 24 -s " +
                      std::to_string(w) + "x" + std::to_string(h) + " -i '" + raw +
                      "' -lavfi psnr -f null - 2>&1 | grep -o 'average:[0-9.inf]*' > '" + log + "'";
    shell(cmd);
    auto text = readAll(log);
    std::string s(text.begin(), text.end());
    return s.size() > 8 ? std::atof(s.c_str() + 8) : 0;
}

} // namespace

int main(int argc, char** argv) {
    int frames = 48;
    int runs = 2;
    std::string sizes = "1280x720,1920x1080";
    std::string presets;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--frames") frames = std::atoi(argv[i + 1]);
        else if (a == "--runs") runs = std::atoi(argv[i + 1]);
        else if (a == "--sizes") sizes = argv[i + 1];
        else if (a == "--presets") presets = argv[i + 1];
    }
    char pattern[] = "/tmp/encoder_bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    tempDir = pattern;

    if (!presets.empty()) {
        const int w = 1920, h = 1080;
        std::string raw = makeRaw(w, h, frames);
        auto clip = toPictures(raw, w, h, frames);
        std::printf("preset      fps    kbit/s  PSNR(dB)  (%dx%d, %d frames, crf %.0f)\n", w, h, frames,
                    crfForQuality(EncoderConfig::defaultQuality()));
        for (const auto& preset : split(presets)) {
            setenv("CORVEL_ENHANCE_X265_PRESET", preset.c_str(), 1);
            Result r = runEncoder(clip, w, h, true);
            double kbps = double(r.bytes) * 8 / (double(frames) / 24.0) / 1000;
            std::printf("%-10s %5.2f %9.0f %9.2f\n", preset.c_str(), frames / r.seconds, kbps, psnrOf(r, raw, w, h));
            std::fflush(stdout);
        }
    } else {
        std::string preset = Encoder::presetFromEnv();
        std::printf("size        Encoder fps  ffmpeg fps  ratio   (preset %s, %d frames, best of %d)\n", preset.c_str(),
                    frames, runs);
        for (const auto& size : split(sizes)) {
            int w = 0, h = 0;
            if (std::sscanf(size.c_str(), "%dx%d", &w, &h) != 2) return 1;
            std::string raw = makeRaw(w, h, frames);
            auto clip = toPictures(raw, w, h, frames);
            runEncoder({clip.begin(), clip.begin() + std::min(8, frames)}, w, h, false); // warm-up
            double ours = 1e9, theirs = 1e9;
            for (int r = 0; r < runs; ++r) { // alternate, so both see the same load
                ours = std::min(ours, runEncoder(clip, w, h, false).seconds);
                theirs = std::min(theirs, runFFmpeg(raw, w, h, frames, preset));
            }
            std::printf("%-11s %11.2f %11.2f %6.2f\n", size.c_str(), frames / ours, frames / theirs, theirs / ours);
            std::fflush(stdout);
        }
    }
    shell("rm -rf '" + tempDir + "'");
    return 0;
}
