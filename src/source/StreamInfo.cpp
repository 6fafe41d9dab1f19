#include "source/StreamInfo.h"

#include "common/EnhanceError.h"
#include "common/Env.h"
#include "common/Fmt.h"
#include "source/HTTPClient.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvel {

using nlohmann::json;

namespace {

std::optional<double> number(const json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

std::optional<std::string> text(const json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

const json& member(const json& object, const char* key) {
    static const json none;
    if (!object.is_object()) return none;
    auto it = object.find(key);
    return it == object.end() ? none : *it;
}

ProbedTitle ffprobeProbe(const std::string& input) { return probeTitle(input, 0); }

TitleProber& prober() {
    static TitleProber current = ffprobeProbe;
    return current;
}

void failUnknownShape() {
    throw EnhanceError("Corvel Server does not know this title's size, frame rate or length yet.");
}

void checkPictureSize(int width, int height) {
    if (width > kMaxPictureSide || height > kMaxPictureSide ||
        static_cast<int64_t>(width) * height > kMaxPicturePixels)
        throw EnhanceError("This title's picture (" + std::to_string(width) + "x" + std::to_string(height) +
                           ") is larger than the Mac's enhancer takes (8192 pixels a side and 8192x4352 "
                           "in all at most).");
}

} // namespace

void setTitleProber(TitleProber next) { prober() = next ? std::move(next) : ffprobeProbe; }

std::pair<uint32_t, uint32_t> frameRate(double fps) {
    static const struct {
        double rate;
        uint32_t num, den;
    } standard[] = {{24000.0 / 1001.0, 24000, 1001}, {24, 24, 1},  {25, 25, 1},
                    {30000.0 / 1001.0, 30000, 1001}, {30, 30, 1},  {50, 50, 1},
                    {60000.0 / 1001.0, 60000, 1001}, {60, 60, 1},  {90, 90, 1},
                    {120, 120, 1}};
    for (const auto& s : standard)
        if (std::fabs(fps - s.rate) <= 0.002) return {s.num, s.den};
    // Rates whose thousandfold does not fit 32 bits are clamped there.
    double thousandths = std::round(fps * 1000.0);
    thousandths = std::clamp(thousandths, 0.0, 4294967295.0);
    return {static_cast<uint32_t>(thousandths), 1000};
}

void StreamInfo::layOut(double segSec) {
    fps = static_cast<double>(fpsNum) / static_cast<double>(fpsDen);
    // In 64 bits and saturating: a description that slipped past the limits
    // gives a huge layout (which its user refuses), never a wrapped one.
    const double pictures = std::round(segSec * fps);
    gop = pictures >= 1 ? static_cast<int>(std::min(pictures, 1e9)) : 1;
    const double total = std::floor(fps * durationSec + 1e-6);
    frames = total >= 1 ? static_cast<int64_t>(std::min(total, 4e18)) : 0;
    segments = static_cast<int>(std::min<int64_t>((frames + gop - 1) / gop, std::numeric_limits<int>::max()));
}

std::string itemURL(const std::string& companion, const std::string& item) {
    std::string base = companion;
    if (!base.empty() && base.back() == '/') base.pop_back();
    static const char* hex = "0123456789ABCDEF";
    const bool dotSegment = item == "." || item == "..";
    std::string segment;
    for (unsigned char c : item) {
        const bool plain = std::isalnum(c) || c == '-' || c == '_' || c == '~' || (c == '.' && !dotSegment);
        if (plain && c < 0x80) {
            segment += static_cast<char>(c);
        } else {
            segment += '%';
            segment += hex[c >> 4];
            segment += hex[c & 15];
        }
    }
    return base + "/v1/items/" + segment;
}

StreamInfo loadStreamInfo(const std::string& companion, const std::string& item, double segSec, bool tv) {
    std::string base = companion;
    if (!base.empty() && base.back() == '/') base.pop_back();

    auto answer = httpGet(itemURL(companion, item), 15.0);
    if (!answer) throw EnhanceError("The Mac could not reach Corvel Server.");
    if (answer->second == 404) throw EnhanceError("Corvel Server no longer has this title.");
    if (answer->second != 200)
        throw EnhanceError("Corvel Server answered " + std::to_string(answer->second) + " for this title.");
    return streamInfoFromItem(base, std::string(answer->first.begin(), answer->first.end()), segSec, tv);
}

StreamInfo streamInfoFromItem(const std::string& base, const std::string& body, double segSec, bool tv) {
    json root = json::parse(body, nullptr, false);
    if (root.is_discarded() || !root.is_object()) throw EnhanceError("Corvel Server sent an item the Mac cannot read.");

    StreamInfo info;
    const json& video = member(root, "video");
    // Sizes are kept up to a billion so that the limit check below can name
    // them; anything larger (or not finite) counts as no size.
    auto dimension = [&](const char* key) {
        double value = number(video, key).value_or(0);
        return value >= 1 && value < 1e9 ? static_cast<int>(value) : 0;
    };
    info.width = dimension("width");
    info.height = dimension("height");
    info.codec = text(video, "codec").value_or("");
    double rate = 0;
    auto num = number(video, "fps_num"), den = number(video, "fps_den");
    if (num && den && *num > 0 && *den > 0)
        rate = *num / *den;
    else
        rate = number(video, "fps").value_or(0);

    const json& stereo = member(root, "stereo");
    info.layout = text(stereo, "layout").value_or("");
    info.projection = text(stereo, "projection").value_or("");

    const json& parts = member(root, "parts");
    if (parts.is_array()) {
        for (const json& part : parts) {
            auto mode = text(member(part, "playable"), "mode");
            if (!mode || (*mode != "direct" && *mode != "patched" && *mode != "remuxed"))
                throw EnhanceError("A part of this title is not ready on the Mac yet.");
            auto mediaPath = text(part, "media_path");
            if (!mediaPath || !isURL(base + *mediaPath))
                throw EnhanceError("Corvel Server sent a part without a media path.");
            TitlePart titlePart;
            titlePart.url = base + *mediaPath;
            titlePart.fileName = text(part, "file_name").value_or("");
            if (!tv) {
                std::string extension = std::filesystem::path(titlePart.fileName).extension().string();
                std::transform(extension.begin(), extension.end(), extension.begin(),
                               [](unsigned char c) { return std::tolower(c); });
                if (extension == ".mkv" || extension == ".webm")
                    throw EnhanceError("This title is Matroska (MKV), which the Mac's enhancer cannot read yet.");
            }
            auto localPath = text(part, "local_path");
            if (localPath && !localPath->empty() && access(localPath->c_str(), R_OK) == 0)
                titlePart.localPath = *localPath;
            titlePart.id = text(part, "id").value_or("");
            titlePart.durationSec = number(part, "duration_sec").value_or(0);
            info.parts.push_back(std::move(titlePart));
        }
    }

    double total = 0;
    bool unknownLength = false;
    for (const auto& part : info.parts) {
        info.partOffsets.push_back(total);
        total += part.durationSec;
        if (!(part.durationSec > 0)) unknownLength = true;
    }
    info.durationSec = unknownLength ? 0 : total;

    auto bitRate = number(video, "bit_rate_bps");
    auto totalBytes = number(root, "total_bytes");
    if (bitRate && *bitRate > 0)
        info.bitRate = *bitRate;
    else if (totalBytes && *totalBytes > 0 && info.durationSec > 0)
        info.bitRate = *totalBytes * 8 / info.durationSec;

    // NaN and infinite rates fail here too.
    if (info.parts.empty() || info.width < 1 || info.height < 1 || !(rate > 1.0) || !std::isfinite(rate) ||
        !(info.durationSec > 0) || !std::isfinite(info.durationSec))
        failUnknownShape();
    if (rate > kMaxFps + 0.002)
        throw EnhanceError("This title's frame rate (" + fmt(3, rate) +
                           " frames/s) is higher than the Mac's enhancer takes (240 at most).");
    if (info.durationSec > kMaxDurationSec)
        throw EnhanceError("This title's length (" + fmt(1, info.durationSec) +
                           " s) is longer than the Mac's enhancer takes (24 hours at most).");

    std::tie(info.fpsNum, info.fpsDen) = frameRate(rate);
    if (info.fpsNum == 0) failUnknownShape();
    info.sourceFps = static_cast<double>(info.fpsNum) / info.fpsDen;
    info.sourceFpsNum = info.fpsNum;
    info.sourceFpsDen = info.fpsDen;
    info.tv = tv;

    checkPictureSize(info.width & ~1, info.height & ~1); // before a probe is run for it
    if (tv) {
        const TitlePart& first = info.parts.front();
        ProbedTitle probe = prober()(first.localPath ? *first.localPath : first.url);
        info.sourceColor = probe.color;
        info.sourceBits = probe.bits;
        info.sound = probe.sound;
        info.width = static_cast<int>(std::lround(probe.sar * info.width));
    }

    info.width &= ~1;
    info.height &= ~1;
    if (info.width < 2 || info.height < 2) failUnknownShape();
    checkPictureSize(info.width, info.height);
    info.outWidth = info.width;
    info.outHeight = info.height;
    info.layOut(segSec);
    if (info.segments > kMaxSegments)
        throw EnhanceError("This title would need " + std::to_string(info.segments) +
                           " segments, more than the Mac's enhancer makes (172800 at most).");
    return info;
}

} // namespace corvel
