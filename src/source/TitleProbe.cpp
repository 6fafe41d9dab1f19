#include "source/TitleProbe.h"

#include "common/EnhanceError.h"
#include "common/Env.h"
#include "source/Child.h"
#include "source/ColorMapping.h"
#include "source/FFmpegTool.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace corvel {

using nlohmann::json;

namespace {

std::optional<std::string> text(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

// ffprobe writes numbers of its stream entries sometimes as numbers and
// sometimes as strings ("sample_rate": "48000").
std::optional<int64_t> integer(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_number_integer()) return it->get<int64_t>();
    if (it->is_string()) return parseInt(it->get<std::string>());
    return std::nullopt;
}

double aspect(const std::optional<std::string>& ratio) {
    if (!ratio) return 1.0;
    std::vector<double> numbers;
    size_t start = 0;
    for (;;) {
        const size_t colon = ratio->find(':', start);
        auto value = parseDouble(std::string_view(*ratio).substr(start, colon - start));
        if (value) numbers.push_back(*value);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (numbers.size() != 2 || !(numbers[0] > 0) || !(numbers[1] > 0)) return 1.0;
    const double sar = numbers[0] / numbers[1];
    return std::isfinite(sar) ? std::clamp(sar, 0.25, 4.0) : 4.0;
}

std::string collect(Child& child) {
    std::string out;
    while (auto chunk = readSome(child)) out.append(chunk->begin(), chunk->end());
    return out;
}

std::string ffprobePath() {
    auto tool = ffmpegTool("ffprobe");
    if (!tool) throw EnhanceError("This Mac has no ffprobe, which a TV stream needs.");
    return *tool;
}

json parsed(std::string_view text) {
    return json::parse(text.begin(), text.end(), nullptr, false);
}

} // namespace

std::optional<ProbedTitle> parseProbe(std::string_view answer, int soundOrdinal) {
    const json root = parsed(answer);
    if (root.is_discarded() || !root.is_object()) return std::nullopt;
    auto streams = root.find("streams");
    if (streams == root.end() || !streams->is_array()) return std::nullopt;

    ProbedTitle probe;
    std::vector<const json*> sounds;
    bool video = false;
    for (const json& stream : *streams) {
        if (!stream.is_object()) continue;
        const auto type = text(stream, "codec_type");
        if (type == "audio") sounds.push_back(&stream);
        if (type != "video" || video) continue;
        video = true;
        probe.color = colorFromNames(text(stream, "color_primaries"), text(stream, "color_transfer"),
                                     text(stream, "color_space"));
        const std::string format = text(stream, "pix_fmt").value_or("");
        probe.bits = format.find("p10") != std::string::npos   ? 10
                     : format.find("p12") != std::string::npos ? 12
                                                                : 8;
        probe.sar = aspect(text(stream, "sample_aspect_ratio"));
    }
    if (!sounds.empty()) {
        const size_t at = soundOrdinal >= 0 && static_cast<size_t>(soundOrdinal) < sounds.size()
                              ? static_cast<size_t>(soundOrdinal)
                              : 0;
        const json& stream = *sounds[at];
        SoundPlan plan;
        plan.ordinal = static_cast<int>(at);
        plan.codec = text(stream, "codec_name").value_or("");
        // Counts outside an int are nonsense; they read as absent.
        auto channels = integer(stream, "channels");
        plan.channels = channels && *channels > 0 && *channels < 1024 ? static_cast<int>(*channels) : 2;
        auto rate = integer(stream, "sample_rate");
        plan.rateHz = rate && *rate > 0 && *rate < (1 << 30) ? static_cast<int>(*rate) : 0;
        probe.sound = plan;
    }
    return probe;
}

ProbedTitle probeTitle(const std::string& input, int soundOrdinal) {
    Child child(ffprobePath(), {"-v", "error", "-of", "json", "-show_entries",
                                "stream=codec_type,codec_name,channels,sample_rate,pix_fmt,bits_per_raw_sample,"
                                "color_primaries,color_transfer,color_space,sample_aspect_ratio",
                                input});
    const std::string answer = collect(child);
    auto probe = parseProbe(answer, soundOrdinal);
    if (!probe) throw EnhanceError("ffprobe could not read this title: " + child.finalError());
    return *probe;
}

std::vector<std::string> parseSubtitleCodecs(std::string_view answer) {
    std::vector<std::string> codecs;
    const json root = parsed(answer);
    if (root.is_discarded() || !root.is_object()) return codecs;
    auto streams = root.find("streams");
    if (streams == root.end() || !streams->is_array()) return codecs;
    for (const json& stream : *streams)
        codecs.push_back(stream.is_object() ? text(stream, "codec_name").value_or("") : "");
    return codecs;
}

std::vector<std::string> subtitleCodecs(const std::string& input) {
    Child child(ffprobePath(),
                {"-v", "error", "-select_streams", "s", "-of", "json", "-show_entries", "stream=codec_name", input});
    return parseSubtitleCodecs(collect(child));
}

} // namespace corvel
