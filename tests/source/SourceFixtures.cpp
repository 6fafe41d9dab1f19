#include "SourceFixtures.h"

#include <cstdio>
#include <filesystem>
#include <unistd.h>
#include <sstream>
#include <stdexcept>

namespace corvel::test {

Standin::Standin(const std::string& folder) {
    spawn(process_, {STANDIN_EXE, folder, "--port", "0"}, {}, logs_.file("out"), logs_.file("err"));
    const std::string marker = "standin: listening on 127.0.0.1:";
    bool up = eventually(
        [&] {
            std::string out = readFile(logs_.file("out"));
            size_t at = out.find(marker);
            if (at == std::string::npos || out.find('\n', at) == std::string::npos) return false;
            port_ = std::stoi(out.substr(at + marker.size()));
            return true;
        },
        std::chrono::seconds(10));
    if (!up) throw std::runtime_error("the stand-in did not start: " + readFile(logs_.file("err")));
}

std::string Standin::base() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string Standin::post(const std::string& path) {
    auto answer = parseRaw(test::exchange(port_, "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"));
    if (answer.status != 200) throw std::runtime_error("stand-in control " + path + " answered " + std::to_string(answer.status));
    return answer.body;
}

void Standin::fault(const std::string& query) { post("/control/fault?" + query); }
void Standin::clear() { post("/control/clear"); }
void Standin::resetStats() { post("/control/reset"); }

nlohmann::json Standin::stats() {
    auto answer = parseRaw(test::exchange(port_, "GET /control/stats HTTP/1.1\r\nHost: x\r\n\r\n"));
    return nlohmann::json::parse(answer.body);
}

std::vector<std::string> Standin::targets() {
    auto answer = parseRaw(test::exchange(port_, "GET /control/targets HTTP/1.1\r\nHost: x\r\n\r\n"));
    return nlohmann::json::parse(answer.body).get<std::vector<std::string>>();
}

std::string capture(const std::string& command) {
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    if (pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
    return out;
}

void ffmpeg(const std::string& folder, const std::string& args) {
    capture("cd '" + folder + "' && ffmpeg -nostdin -v error -y " + args + " 2>&1");
}

std::string cachedClip(const std::string& name, const std::string& args) {
    std::string folder = TEST_MEDIA_DIR;
    std::filesystem::create_directories(folder);
    std::string path = folder + "/" + name;
    if (std::filesystem::exists(path)) return path;
    // Made under a private name and renamed into place, so a racing test
    // never sees half a file.
    std::string ext = std::filesystem::path(name).extension().string();
    std::string temporary = folder + "/tmp-" + std::to_string(getpid()) + "-" + name;
    std::string command = args;
    for (size_t at; (at = command.find("{out}")) != std::string::npos;) command.replace(at, 5, "'" + temporary + "'");
    ffmpeg(folder, command);
    std::filesystem::rename(temporary, path);
    return path;
}

namespace clips {
static const std::string kTestsrc = "-f lavfi -i testsrc2=size=320x180:rate=24 -t 2 ";
static const std::string kH264 = "-c:v libx264 -preset veryfast -bf 2 -g 12 -pix_fmt yuv420p ";
std::string h264Front() { return cachedClip("h264_front.mp4", kTestsrc + kH264 + "-movflags +faststart {out}"); }
std::string h264End() { return cachedClip("h264_end.mp4", kTestsrc + kH264 + "{out}"); }
std::string h264Copy() { return cachedClip("h264_copy.mp4", "-i '" + h264Front() + "' -c copy {out}"); }
std::string h264Small() {
    return cachedClip("h264_small.mp4", "-f lavfi -i testsrc2=size=256x144:rate=24 -t 1 " + kH264 + "{out}");
}
std::string hevc10() {
    return cachedClip("hevc10.mp4", kTestsrc +
                                        "-c:v libx265 -preset ultrafast -x265-params log-level=error:bframes=2:keyint=12 "
                                        "-pix_fmt yuv420p10le -tag:v hvc1 -color_primaries bt2020 -color_trc smpte2084 "
                                        "-colorspace bt2020nc {out}");
}
std::string bigNoise() {
    return cachedClip("big_noise.mp4", "-f lavfi -i nullsrc=s=640x360:r=25 -vf geq=lum='random(1)*255':cb=128:cr=128 "
                                       "-t 1.2 -c:v libx264 -preset ultrafast -qp 0 {out}");
}
std::string audioOnly() { return cachedClip("audio.mp4", "-f lavfi -i sine=d=1 -c:a aac {out}"); }
std::string mpeg4() { return cachedClip("mpeg4.mp4", kTestsrc + "-c:v mpeg4 {out}"); }
std::string fragmented() {
    return cachedClip("fragmented.mp4", kTestsrc + kH264 + "-movflags frag_keyframe+empty_moov {out}");
}
std::string matroska() { return cachedClip("matroska.mkv", kTestsrc + kH264 + "{out}"); }
namespace {
const std::string kOneSecond = "-f lavfi -i testsrc2=size=320x180:rate=24 -t 1 ";
const std::string kX265 = "-c:v libx265 -preset ultrafast -x265-params log-level=error:bframes=2:keyint=12 -tag:v hvc1 ";
} // namespace
std::string fullRange() {
    return cachedClip("full_range.mp4", kOneSecond + kH264 + "-pix_fmt yuvj420p {out}");
}
std::string hevcFullRange() {
    return cachedClip("hevc_full_range.mp4", kOneSecond + kX265 + "-pix_fmt yuv420p -color_range pc {out}");
}
std::string h264FourTwoTwo() { return cachedClip("h264_422.mp4", kOneSecond + kH264 + "-pix_fmt yuv422p {out}"); }
std::string h264FourFourFour() { return cachedClip("h264_444.mp4", kOneSecond + kH264 + "-pix_fmt yuv444p {out}"); }
std::string hevcGrey() { return cachedClip("hevc_grey.mp4", kOneSecond + kX265 + "-pix_fmt gray {out}"); }
std::string hevc12() { return cachedClip("hevc12.mp4", kOneSecond + kX265 + "-pix_fmt yuv420p12le {out}"); }
std::string pillar() {
    return cachedClip("pillar.mp4", "-f lavfi -i testsrc2=size=240x180:rate=24 -t 1 " + kH264 + "{out}");
}
std::string anamorphic() {
    return cachedClip("anamorphic.mp4",
                      "-f lavfi -i testsrc2=size=360x240:rate=24 -t 1 -vf setsar=32/27 " + kH264 + "{out}");
}
std::string rotated() {
    return cachedClip("rotated.mp4", "-i '" + h264Small() + "' -c copy -metadata:s:v:0 rotate=90 {out}");
}
std::string rotated270() {
    return cachedClip("rotated270.mp4", "-i '" + h264Small() + "' -c copy -metadata:s:v:0 rotate=270 {out}");
}
static const std::string kTv = "-f lavfi -i testsrc2=size=320x180:rate=25:duration=4 ";
std::string tvTs() {
    return cachedClip("tv.ts", kTv +
                                   "-f lavfi -i sine=f=440:r=48000:d=4 -f lavfi -i sine=f=660:r=44100:d=4 "
                                   "-map 0 -map 1 -map 2 -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p "
                                   "-c:a:0 ac3 -ac:a:0 6 -c:a:1 aac -ac:a:1 2 -f mpegts {out}");
}
std::string tvMkv() {
    const std::string folder = TEST_MEDIA_DIR;
    std::filesystem::create_directories(folder);
    writeFile(folder + "/tv.srt", "1\n00:00:00,500 --> 00:00:01,500\nFirst <i>line</i>\n\n"
                                  "2\n00:00:02,000 --> 00:00:03,250\nSecond line\n\n");
    writeFile(folder + "/tv.ass",
              "[Script Info]\nScriptType: v4.00+\nPlayResX: 320\nPlayResY: 180\n\n[V4+ Styles]\n"
              "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
              "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, "
              "Alignment, MarginL, MarginR, MarginV, Encoding\n"
              "Style: Default,Arial,20,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,1,0,2,"
              "10,10,10,1\n\n[Events]\n"
              "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
              "Dialogue: 0,0:00:01.00,0:00:02.00,Default,,0,0,0,,{\\i1}Styled{\\i0} words\\Nsecond row\n");
    return cachedClip("tv.mkv", kTv +
                                    "-f lavfi -i sine=f=440:r=48000:d=4 -i tv.srt -i tv.ass "
                                    "-map 0 -map 1 -map 2 -map 3 -c:v libx264 -preset veryfast -g 25 "
                                    "-pix_fmt yuv420p -c:a pcm_s16le "
                                    "-af \"pan=7.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0|c6=c0|c7=c0\" "
                                    "-c:s:0 srt -c:s:1 ass {out}");
}
std::string tvSar() {
    return cachedClip("tv_sar.ts", "-f lavfi -i testsrc2=size=352x288:rate=25:duration=2 -vf setsar=4/3 "
                                   "-c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p10le -f mpegts {out}");
}
} // namespace clips

std::vector<double> ffprobeFrameTimes(const std::string& file) {
    std::stringstream lines(capture("ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 '" +
                                    file + "'"));
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line != "N/A") times.push_back(std::stod(line));
    return times;
}

} // namespace corvel::test
