#pragma once

#include "support/Loopback.h"
#include "support/TempDir.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace corvel::test {

// The stand-in media server as a child process serving `folder`.
class Standin {
public:
    explicit Standin(const std::string& folder);
    int port() const { return port_; }
    // "http://127.0.0.1:PORT"
    std::string base() const;
    // POST /control/fault?query (e.g. "target=media&status=500").
    void fault(const std::string& query);
    void clear();
    void resetStats();
    nlohmann::json stats();
    // The raw targets of the item and media requests since the last reset.
    std::vector<std::string> targets();

private:
    std::string post(const std::string& path);
    TempDir logs_;
    Process process_;
    int port_ = 0;
};

// Runs "ffmpeg -v error -y ARGS" in `folder`; throws when it fails.
void ffmpeg(const std::string& folder, const std::string& args);
// Standard output of a shell command; throws when it fails.
std::string capture(const std::string& command);
// A clip made once per build tree and shared by every test process: runs
// ffmpeg with ARGS, where "{out}" stands for the output file, unless the clip
// already exists. Returns its path. Safe when several tests race for it.
std::string cachedClip(const std::string& name, const std::string& args);
// The clips the source tests share (made once per build tree).
namespace clips {
std::string h264Front();  // 320x180, 24 fps, 2 s, B-frames (edit list), moov at the front
std::string h264End();    // the same with the moov box at the end
std::string h264Copy();   // h264Front remuxed with the moov at the end: equal settings
std::string h264Small();  // 256x144, 24 fps, 1 s: other settings than h264Front
std::string hevc10();     // 320x180, 10-bit HEVC, 24 fps, 2 s, BT.2020 PQ colour box
std::string bigNoise();   // 640x360 lossless noise, about 10 MB, moov at the end
std::string audioOnly();  // AAC only
std::string mpeg4();      // MPEG-4 part 2 video
std::string fragmented(); // fragmented MP4 (empty moov)
std::string matroska();   // H.264 in Matroska
std::string fullRange();  // 320x180 H.264 yuvj420p (full range), 24 fps, 1 s
std::string hevcFullRange(); // 320x180 8-bit HEVC tagged full range (color_range pc), 24 fps, 1 s
std::string h264FourTwoTwo();  // 320x180 H.264 4:2:2, 24 fps, 1 s
std::string h264FourFourFour(); // 320x180 H.264 4:4:4, 24 fps, 1 s
std::string hevcGrey();   // 320x180 HEVC 4:0:0 (grey), 24 fps, 1 s
std::string hevc12();     // 320x180 12-bit HEVC 4:2:0, 24 fps, 1 s
std::string pillar();     // 240x180 H.264 (4:3), 24 fps, 1 s
std::string anamorphic(); // 360x240 H.264 with samples 32:27 wide (pasp and VUI), 24 fps, 1 s
std::string rotated();    // h264Small with a track matrix that tools call a 90-degree rotation
std::string rotated270(); // the same with the matrix of a 270-degree rotation
// TV titles. MPEG-TS: 320x180 H.264 at 25 fps, 4 s, with AC-3 5.1 at 48 kHz
// and AAC stereo at 44.1 kHz.
std::string tvTs();
// Matroska: 320x180 H.264 at 25 fps, 4 s, with 7.1 PCM at 48 kHz (ffmpeg's
// own E-AC-3 encoder stops at 5.1), a SubRip and an ASS subtitle stream.
std::string tvMkv();
// MPEG-TS, 352x288 with a 4:3 sample aspect ratio (shown 469 wide), 10-bit.
std::string tvSar();
} // namespace clips

// Presentation times (seconds) of the video frames ffprobe decodes, in order.
std::vector<double> ffprobeFrameTimes(const std::string& file);

} // namespace corvel::test
