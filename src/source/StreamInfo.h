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

// The largest titles taken; a description beyond any of them is refused with
// a sentence that names the limit. They bound what one title can make the
// service hold or write: a picture no larger than HEVC's largest level takes
// (8192x4352 luma samples, each side at most 8192), a rate up to 240 frames/s,
// a length up to 24 hours, and so at most 172800 segments (24 hours of the
// shortest, 0.5 s segments) in a playlist.
inline constexpr int kMaxPictureSide = 8192;
inline constexpr int64_t kMaxPicturePixels = 8192 * 4352;
inline constexpr double kMaxFps = 240.0;
inline constexpr double kMaxDurationSec = 24.0 * 3600.0;
inline constexpr int kMaxSegments = 172800;

// The media server's address of a title: the companion base (one trailing
// "/" dropped) + "/v1/items/" + the item as ONE percent-encoded path segment,
// whatever bytes it holds ("?", "#", "/", "%", ".." and spaces included).
// Letters, digits and "-._~" pass unchanged, except that an item that is
// "." or ".." has its dots encoded so that no one resolves it as a dot
// segment.
std::string itemURL(const std::string& companion, const std::string& item);

// Reads an item answer `body` from the media server whose base address (no
// trailing "/") is `base`, and returns the title laid out into segments of
// `segSec` seconds. Throws EnhanceError as loadStreamInfo does for an answer
// it cannot use. For a TV title runs the title probe.
StreamInfo streamInfoFromItem(const std::string& base, const std::string& body, double segSec, bool tv);

// Fetches and checks a title's metadata from the media server at `companion`
// and returns it laid out into segments of `segSec` seconds. Throws
// EnhanceError with a user-facing sentence; blocks for one HTTP request (and
// one probe for a TV title).
StreamInfo loadStreamInfo(const std::string& companion, const std::string& item, double segSec, bool tv);

// The rational rate for a measured one: common rates snapped within 0.002,
// any other rate in thousandths.
std::pair<uint32_t, uint32_t> frameRate(double fps);

} // namespace corvel
