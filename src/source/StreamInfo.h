#pragma once

#include "common/SourceColor.h"
#include "source/SoundPlan.h"
#include "source/TitleProbe.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvel {

// One media file of a title.
struct TitlePart {
    std::string id;                       // the server's identifier ("" when absent)
    std::string url;                      // companion base + media_path
    std::string fileName;                 // as the server reports it ("" when absent)
    double durationSec = 0;               // 0 when absent
    std::optional<std::string> localPath; // kept only when readable at load time
};

// A title's description, its media files and its segment layout. Fields
// marked "fitting" keep their defaults until the service fits the title.
struct StreamInfo {
    std::vector<TitlePart> parts;
    std::vector<double> partOffsets; // start of each part on the title clock, seconds
    double durationSec = 0;
    int width = 0;  // even
    int height = 0; // even
    uint32_t fpsNum = 30; // output rate (fitting may change it)
    uint32_t fpsDen = 1;
    double fps = 30.0;       // fpsNum / fpsDen, set by layOut
    double sourceFps = 30.0; // after snapping
    int gop = 30;            // pictures per segment
    int64_t frames = 0;      // pictures in the title at the output rate
    int segments = 0;
    std::string layout;     // stereo layout as the server reports it
    std::string projection; // as the server reports it
    bool interpolate = false; // fitting
    int outWidth = 0;
    int outHeight = 0;
    std::string upscaler; // fitting
    bool hdr = false;     // fitting
    double bitRate = 0;   // bits per second, 0 when unknown
    std::string codec;    // the server's name for the video codec
    bool blacks = false;  // fitting
    bool tv = false;      // read through ffmpeg instead of the MP4 reader
    SourceColor sourceColor; // TV titles only; MP4 titles ask the decoder
    int sourceBits = 8;      // TV titles only
    std::optional<SoundPlan> sound; // TV titles with a sound stream
    uint32_t sourceFpsNum = 30;
    uint32_t sourceFpsDen = 1;
    int rungKbps = 0;     // fitting
    bool sourcePq = false; // fitting
    std::string why;      // fitting

    // Recomputes fps, gop, frames and segments from the rate, the duration
    // and the segment length in seconds.
    void layOut(double segSec);
};

// Probes one input (a local path or a URL) for a TV title, sound stream 0.
// Throws EnhanceError.
using TitleProber = std::function<ProbedTitle(const std::string& input)>;

// Replaces the probe that loadStreamInfo runs for TV titles (the ffprobe
// child process plugs in here). Not thread-safe: set it at start-up.
void setTitleProber(TitleProber prober);

// Fetches and checks a title's metadata from the media server at `companion`
// and returns it laid out into segments of `segSec` seconds. Throws
// EnhanceError with a user-facing sentence; blocks for one HTTP request (and
// one probe for a TV title).
StreamInfo loadStreamInfo(const std::string& companion, const std::string& item, double segSec, bool tv);

// The rational rate for a measured one: common rates snapped within 0.002,
// any other rate in thousandths.
std::pair<uint32_t, uint32_t> frameRate(double fps);

} // namespace corvel
