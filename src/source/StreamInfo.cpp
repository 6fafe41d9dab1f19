#include "source/StreamInfo.h"

#include "common/EnhanceError.h"
#include "common/Env.h"
#include "source/HTTPClient.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
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
    gop = std::max(1, static_cast<int>(std::round(segSec * fps)));
    frames = static_cast<int64_t>(std::floor(fps * durationSec + 1e-6));
    segments = static_cast<int>((frames + gop - 1) / gop);
}

StreamInfo loadStreamInfo(const std::string& companion, const std::string& item, double segSec, bool tv) {
    std::string base = companion;
    if (!base.empty() && base.back() == '/') base.pop_back();

    auto answer = httpGet(base + "/v1/items/" + item, 15.0);
    if (!answer) throw EnhanceError("The Mac could not reach Corvel Server.");
    if (answer->second == 404) throw EnhanceError("Corvel Server no longer has this title.");
    if (answer->second != 200)
        throw EnhanceError("Corvel Server answered " + std::to_string(answer->second) + " for this title.");
    json root = json::parse(answer->first.begin(), answer->first.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) throw EnhanceError("Corvel Server sent an item the Mac cannot read.");

    StreamInfo info;
    const json& video = member(root, "video");
    // Sizes far outside an int are nonsense; they fail the size check below.
    auto dimension = [&](const char* key) {
        double value = number(video, key).value_or(0);
        return value >= 1 && value < 1e6 ? static_cast<int>(value) : 0;
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
    if (info.parts.empty() || info.width < 1 || info.height < 1 || !(rate > 1.0) || !(rate < 1e6) ||
        !(info.durationSec > 0) || !std::isfinite(info.durationSec))
        failUnknownShape();

    std::tie(info.fpsNum, info.fpsDen) = frameRate(rate);
    if (info.fpsNum == 0) failUnknownShape();
    info.sourceFps = static_cast<double>(info.fpsNum) / info.fpsDen;
    info.sourceFpsNum = info.fpsNum;
    info.sourceFpsDen = info.fpsDen;
    info.tv = tv;

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
    info.outWidth = info.width;
    info.outHeight = info.height;
    info.layOut(segSec);
    return info;
}

} // namespace corvel
