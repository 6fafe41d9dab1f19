// The service's encoding alone (src/output/Encoder, x265): an encoder per
// segment with the preset's own tuning, and 1, 2, ... such encoders working
// on consecutive segments at once, fed in order as the run feeds them (at
// each segment's end the encoder drains on its own thread and the next
// segment goes to a new encoder; with N at work, the oldest is waited for).
//
// One configuration per process, so that the peak resident size is this
// configuration's: wall-clock pictures per second, CPU milliseconds per
// picture (user+system of the process), the first segment's time (first
// picture in to its last picture back: what a viewer waits for after a
// seek, less decoding), the resident size before encoding and the peak.
// CORVEL_ENHANCE_X265_THREADS sets each encoder's x265 pool (default: every
// core), CORVEL_ENHANCE_ENCODER_QUEUE the pictures waiting for each encoder.
// `--kept 1`: one encoder takes every segment (a key picture at each
// segment's start) and is drained once at the end, as the service's kept
// encoder while its run does not pause.
//
//   parallel_encoders [--size 1280x720] [--frames 240] [--segment 24] [--encoders 2]
//                     [--distinct 48] [--kept 1]
#include "output/Encoder.h"
#include "processing/Picture.h"
#include "ProcessFigures.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using corvel::bench::processCpuMs;
using corvel::bench::statusField;

using namespace corvel;

namespace {

using Clock = std::chrono::steady_clock;

// `count` pictures of a moving test card with temporal grain, made by ffmpeg.
std::vector<PictureRef> makeClip(int w, int h, int count) {
    const std::string command = "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=" + std::to_string(w) + "x" +
                                std::to_string(h) + ":rate=24 -vf noise=alls=8:allf=t -frames:v " +
                                std::to_string(count) + " -pix_fmt yuv420p10le -f rawvideo -";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    const size_t frameWords = static_cast<size_t>(w) * h * 3 / 2;
    std::vector<uint16_t> words(frameWords);
    std::vector<PictureRef> clip;
    while (static_cast<int>(clip.size()) < count &&
           fread(words.data(), 2, frameWords, pipe) == frameWords) {
        PictureRef picture = makePicture(w, h);
        const uint16_t* y = words.data();
        const uint16_t* cb = y + static_cast<size_t>(w) * h;
        const uint16_t* cr = cb + static_cast<size_t>(w / 2) * (h / 2);
        for (int row = 0; row < h; ++row) {
            uint16_t* out = picture->row(0, row);
            for (int x = 0; x < w; ++x) out[x] = static_cast<uint16_t>(y[static_cast<size_t>(row) * w + x] << 6);
        }
        for (int row = 0; row < h / 2; ++row) {
            uint16_t* out = picture->row(1, row);
            for (int x = 0; x < w / 2; ++x) {
                out[2 * x] = static_cast<uint16_t>(cb[static_cast<size_t>(row) * (w / 2) + x] << 6);
                out[2 * x + 1] = static_cast<uint16_t>(cr[static_cast<size_t>(row) * (w / 2) + x] << 6);
            }
        }
        clip.push_back(std::move(picture));
    }
    pclose(pipe);
    return clip;
}

} // namespace

int main(int argc, char** argv) {
    int w = 1280, h = 720, frames = 240, segment = 24, slots = 2, distinct = 48;
    bool kept = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string value = argv[i + 1];
        if (flag == "--size") {
            if (std::sscanf(value.c_str(), "%dx%d", &w, &h) != 2) return 2;
        } else if (flag == "--frames") {
            frames = std::atoi(value.c_str());
        } else if (flag == "--segment") {
            segment = std::atoi(value.c_str());
        } else if (flag == "--encoders") {
            slots = std::atoi(value.c_str());
        } else if (flag == "--distinct") {
            distinct = std::atoi(value.c_str());
        } else if (flag == "--kept") {
            kept = value == "1";
        } else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    if (slots < 1 || segment < 1 || frames < 1) return 2;
    const std::vector<PictureRef> clip = makeClip(w, h, distinct);
    if (clip.empty()) {
        std::fprintf(stderr, "no pictures from ffmpeg\n");
        return 1;
    }
    EncoderConfig config;
    config.width = w;
    config.height = h;
    config.fpsNum = 24;
    config.fpsDen = 1;
    config.quality = 0.75;
    config.segmentTuned = true;
    config.color = {color::kPrimaries709, color::kTransfer709, color::kMatrix709};

    const double rssBefore = statusField("VmRSS") / 1024.0;
    std::atomic<int> firstBack{0};
    std::atomic<int64_t> firstDoneNs{0};
    std::atomic<int64_t> bytes{0};
    const auto t0 = Clock::now();
    const double cpu0 = processCpuMs();
    std::deque<std::unique_ptr<Encoder>> draining;
    auto current = std::make_unique<Encoder>(config, false);
    for (int f = 0; f < frames; ++f) {
        if (f % segment == 0 && f > 0 && !kept) {
            current->finish();
            draining.push_back(std::move(current));
            while (static_cast<int>(draining.size()) >= slots) {
                draining.front()->close();
                draining.pop_front();
            }
            current = std::make_unique<Encoder>(config, false);
        }
        const bool first = f < segment;
        current->encode(clip[static_cast<size_t>(f % static_cast<int>(clip.size()))], f % segment == 0,
                        [&, first](std::optional<EncodedPicture> p) {
                            if (p) bytes += static_cast<int64_t>(p->data.size());
                            if (first && ++firstBack == std::min(segment, frames))
                                firstDoneNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  Clock::now() - t0)
                                                  .count();
                        });
    }
    current->close();
    while (!draining.empty()) {
        draining.front()->close();
        draining.pop_front();
    }
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    const double cpu = processCpuMs() - cpu0;
    const int threads = Encoder::threadsFromEnv();
    std::printf("%dx%d encoders %d%s queue %zu x265-threads %s: %.2f fps, %.1f CPU ms/picture, first segment %.0f ms, "
                "RSS before %.0f MB, peak %.0f MB, %.0f kbit/s\n",
                w, h, kept ? 1 : slots, kept ? " (kept)" : "", Encoder::queueFromEnv(), threads > 0 ? std::to_string(threads).c_str() : "all", frames * 1000.0 / wallMs,
                cpu / frames, static_cast<double>(firstDoneNs.load()) / 1e6, rssBefore, statusField("VmHWM") / 1024.0,
                static_cast<double>(bytes.load()) * 8.0 / (frames / 24.0) / 1000.0);
    return 0;
}
