#include "Clip.h"

#include "support/TempDir.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/wait.h>

namespace corvel::test {

std::string run(const std::string& command, int* status) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
    std::string out;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int rc = pclose(pipe);
    if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::vector<uint16_t> readPlanar(const std::string& path) {
    std::string bytes = readFile(path);
    std::vector<uint16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

std::vector<PictureRef> makeClip(int width, int height, int frames, const std::string& source,
                                 const std::string& filter) {
    TempDir dir;
    std::string raw = dir.file("clip.yuv");
    std::string graph = source + "=size=" + std::to_string(width) + "x" + std::to_string(height) + ":rate=24";
    if (!filter.empty()) graph += "," + filter;
    int status = 0;
    run("ffmpeg -hide_banner -loglevel error -y -f lavfi -i '" + graph + "' -frames:v " + std::to_string(frames) +
            " -pix_fmt yuv420p10le -f rawvideo '" + raw + "' 2>&1",
        &status);
    if (status != 0) throw std::runtime_error("ffmpeg could not make the clip");
    std::vector<uint16_t> samples = readPlanar(raw);
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    const size_t frameSize = w * h * 3 / 2;
    if (samples.size() < frameSize * static_cast<size_t>(frames)) throw std::runtime_error("short clip");
    std::vector<PictureRef> out;
    for (int f = 0; f < frames; ++f) {
        const uint16_t* y = samples.data() + frameSize * static_cast<size_t>(f);
        const uint16_t* cb = y + w * h;
        const uint16_t* cr = cb + w * h / 4;
        PictureRef p = makePicture(width, height);
        for (size_t r = 0; r < h; ++r)
            for (size_t x = 0; x < w; ++x) p->row(0, static_cast<int>(r))[x] = static_cast<uint16_t>(y[r * w + x] << 6);
        for (size_t r = 0; r < h / 2; ++r)
            for (size_t x = 0; x < w / 2; ++x) {
                p->row(1, static_cast<int>(r))[2 * x] = static_cast<uint16_t>(cb[r * w / 2 + x] << 6);
                p->row(1, static_cast<int>(r))[2 * x + 1] = static_cast<uint16_t>(cr[r * w / 2 + x] << 6);
            }
        out.push_back(p);
    }
    return out;
}

void appendPlanar(const Picture& p, std::vector<uint16_t>& out) {
    for (int r = 0; r < p.height; ++r)
        for (int x = 0; x < p.width; ++x) out.push_back(static_cast<uint16_t>(p.row(0, r)[x] >> 6));
    for (int c = 0; c < 2; ++c)
        for (int r = 0; r < p.height / 2; ++r)
            for (int x = 0; x < p.width / 2; ++x) out.push_back(static_cast<uint16_t>(p.row(1, r)[2 * x + c] >> 6));
}

double psnr10(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    double mse = sum / double(a.size());
    if (mse == 0) return 99;
    return 10 * std::log10(1023.0 * 1023.0 / mse);
}

} // namespace corvel::test
