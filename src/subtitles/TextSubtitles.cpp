#include "subtitles/TextSubtitles.h"

#include "common/EnhanceError.h"
#include "common/Env.h"
#include "source/Child.h"
#include "source/FFmpegTool.h"
#include "source/TitleProbe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace corvel {

namespace {

std::string trimmed(std::string_view text, std::string_view blanks = " \t") {
    const size_t a = text.find_first_not_of(blanks);
    if (a == std::string_view::npos) return "";
    const size_t b = text.find_last_not_of(blanks);
    return std::string(text.substr(a, b - a + 1));
}

// "1:02:03.5" -> 3723.5: pieces between colons folded base 60; empty pieces
// dropped. None when a piece is not a number.
std::optional<double> clockTime(std::string_view text) {
    double value = 0;
    bool any = false;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        const std::string_view piece = text.substr(start, colon == std::string_view::npos ? colon : colon - start);
        if (!piece.empty()) {
            auto number = parseDouble(piece);
            if (!number) return std::nullopt;
            value = value * 60 + *number;
            any = true;
        }
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (!any || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::string fixed3(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// Valid UTF-8 kept; each byte that starts no valid sequence becomes U+FFFD.
std::string utf8Repaired(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        std::string one(1, bytes[i]);
        size_t n = 1;
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n > 0 && i + n <= bytes.size()) {
            auto lines = errorLines(bytes.substr(i, n)); // validates the sequence
            if (lines) {
                out.append(bytes, i, n);
                i += n;
                continue;
            }
        }
        out += "\xEF\xBF\xBD";
        ++i;
    }
    return out;
}

int64_t wholeMs(double seconds) {
    const double ms = std::round(seconds * 1000.0);
    return static_cast<int64_t>(std::clamp(ms, -9e15, 9e15));
}

// The part holding title time t: the last whose offset is at most t.
size_t partOf(const StreamInfo& info, double t) {
    size_t part = 0;
    for (size_t i = 1; i < info.partOffsets.size(); ++i)
        if (info.partOffsets[i] <= t) part = i;
    return part;
}

// Where a read from `s` seconds into the part at `P` is complete. A read
// that starts 15 s before its window spends those seconds catching cues
// already showing, so they are not complete; a read from the part's own
// start misses nothing.
double coveredFrom(double P, double s) { return s > 0 ? std::max(P + s + 15, 0.0) : std::max(P, 0.0); }

bool within(const std::vector<std::pair<double, double>>& intervals, double from, double to) {
    return std::any_of(intervals.begin(), intervals.end(),
                       [&](const auto& i) { return i.first <= from && to <= i.second; });
}

} // namespace

std::string vttTime(double seconds) {
    const int64_t ms = std::isfinite(seconds) ? std::max<int64_t>(wholeMs(std::max(seconds, 0.0)), 0) : 0;
    char text[64];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", static_cast<long long>(ms / 3600000),
                  static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                  static_cast<long long>(ms % 1000));
    return text;
}

std::vector<Cue> parseWebVTT(std::string_view input) {
    std::string text;
    text.reserve(input.size());
    for (size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n') continue;
        text += input[i];
    }
    std::vector<Cue> cues;
    size_t at = 0;
    while (at <= text.size()) {
        size_t blank = text.find("\n\n", at);
        const std::string_view block =
            std::string_view(text).substr(at, blank == std::string::npos ? std::string::npos : blank - at);
        at = blank == std::string::npos ? text.size() + 1 : blank + 2;

        std::vector<std::string_view> lines;
        for (size_t s = 0;;) {
            const size_t lf = block.find('\n', s);
            lines.push_back(block.substr(s, lf == std::string_view::npos ? lf : lf - s));
            if (lf == std::string_view::npos) break;
            s = lf + 1;
        }
        size_t timing = 0;
        while (timing < lines.size() && lines[timing].find(" --> ") == std::string_view::npos) ++timing;
        if (timing == lines.size()) continue;
        const std::string_view line = lines[timing];
        const size_t arrow = line.find(" --> ");
        if (line.find(" --> ", arrow + 5) != std::string_view::npos) continue; // not exactly two pieces
        const std::string startText = trimmed(line.substr(0, arrow));
        std::string_view second = line.substr(arrow + 5);
        const size_t space = second.find(' ');
        const std::string_view endText = second.substr(0, space);
        std::string settings;
        if (space != std::string_view::npos) {
            const size_t after = second.find_first_not_of(' ', space);
            if (after != std::string_view::npos) settings = " " + std::string(second.substr(after));
        }
        auto start = clockTime(startText), end = clockTime(endText);
        if (!start || !end) continue;
        // A line break that ends the document is no part of the last cue.
        size_t last = lines.size();
        while (last > timing + 1 && lines[last - 1].empty()) --last;
        std::string payload;
        for (size_t i = timing + 1; i < last; ++i) {
            if (i > timing + 1) payload += '\n';
            payload += lines[i];
        }
        if (payload.empty()) continue;
        cues.push_back(Cue{*start, *end, settings, payload});
    }
    return cues;
}

std::vector<AssEvent> parseAssEvents(std::string_view text) {
    std::vector<AssEvent> events;
    auto lines = errorLines(std::string(text)); // every line break, empty lines dropped
    if (!lines) lines = errorLines(utf8Repaired(std::string(text)));
    for (const std::string& line : *lines) {
        static const std::string kDialogue = "Dialogue:";
        if (line.compare(0, kDialogue.size(), kDialogue) != 0) continue;
        const std::string_view rest = std::string_view(line).substr(kDialogue.size());
        const size_t c1 = rest.find(',');
        if (c1 == std::string_view::npos) continue;
        const size_t c2 = rest.find(',', c1 + 1);
        if (c2 == std::string_view::npos) continue;
        const size_t c3 = rest.find(',', c2 + 1);
        if (c3 == std::string_view::npos) continue;
        auto start = clockTime(trimmed(rest.substr(c1 + 1, c2 - c1 - 1)));
        auto end = clockTime(trimmed(rest.substr(c2 + 1, c3 - c2 - 1)));
        if (!start || !end) continue;
        events.push_back(AssEvent{*start, *end, trimmed(rest.substr(0, c1), " ") + "," +
                                                    std::string(rest.substr(c3 + 1))});
    }
    return events;
}

bool isBitmapSubtitle(const std::string& codec) {
    return codec == "hdmv_pgs_subtitle" || codec == "dvb_subtitle" || codec == "dvd_subtitle" ||
           codec == "xsub" || codec == "dvb_teletext" || codec == "arib_caption";
}

std::string readTrack(const std::string& input, int track, double from, double seconds, const std::string& format,
                      const std::string& codec) {
    auto tool = ffmpegTool("ffmpeg");
    if (!tool) throw EnhanceError("This Mac has no ffmpeg, which a TV stream needs.");
    std::vector<std::string> a{"-hide_banner", "-nostdin", "-loglevel", "error"};
    if (from > 0) a.insert(a.end(), {"-ss", fixed3(from)});
    a.insert(a.end(), {"-t", fixed3(seconds), "-copyts", "-start_at_zero", "-i", input, "-map",
                       "0:s:" + std::to_string(track), "-vn", "-an", "-dn", "-map_chapters", "-1", "-c:s", codec,
                       "-f", format, "pipe:1"});
    Child child(*tool, a);
    std::string out;
    while (auto chunk = readSome(child)) out.append(chunk->begin(), chunk->end());
    return utf8Repaired(out);
}

namespace {

// A red-black tree node costs about 48 bytes beside its value.
constexpr size_t kNode = 48;

size_t bytesOf(const std::string& key, const TextSubtitles::Track& track) {
    size_t bytes = kNode + key.capacity() + sizeof(TextSubtitles::Track) + kNode + key.capacity(); // map + use list
    for (const Cue& cue : track.cues) bytes += kNode + sizeof(Cue) + cue.settings.capacity() + cue.text.capacity();
    for (const auto& [event, n] : track.events) bytes += kNode + sizeof(AssEvent) + sizeof(int) + event.rest.capacity();
    if (track.header) bytes += track.header->capacity();
    bytes += (track.covered.capacity() + track.eventsCovered.capacity()) * sizeof(std::pair<double, double>);
    return bytes;
}

// Distinct items whose codec lists are remembered; past it the lists are
// forgotten together (each is one ffprobe away) so that they too stay bounded.
constexpr size_t kCodecItems = 4096;

} // namespace

std::vector<std::string> TextSubtitles::codecsOf(const StreamInfo& info, const std::string& item) {
    std::lock_guard<std::mutex> guard(lock_);
    if (auto it = codecs_.find(item); it != codecs_.end()) return it->second;
    if (info.parts.empty()) return {};
    auto codecs = subtitleCodecs(toolInput(info.parts.front()));
    if (codecs_.size() >= kCodecItems) codecs_.clear();
    codecs_[item] = codecs;
    return codecs;
}

TextSubtitles::Track& TextSubtitles::trackLocked(const std::string& item, int track) {
    const std::string key = item + "/" + std::to_string(track);
    auto& slot = tracks_[key];
    if (!slot) {
        slot = std::make_unique<Track>();
        useOrder_.push_front(key);
        slot->use = useOrder_.begin();
        settleLocked(*slot); // even a track whose read then fails counts against the bound
    } else {
        useOrder_.splice(useOrder_.begin(), useOrder_, slot->use);
    }
    return *slot;
}

void TextSubtitles::settleLocked(Track& kept) {
    held_ -= kept.bytes;
    kept.bytes = bytesOf(*kept.use, kept);
    held_ += kept.bytes;
    while (held_ > bound_ && useOrder_.size() > 1) {
        auto last = std::prev(useOrder_.end());
        if (tracks_.at(*last).get() == &kept) {
            if (last == useOrder_.begin()) break;
            --last;
        }
        auto it = tracks_.find(*last);
        held_ -= it->second->bytes;
        tracks_.erase(it);
        useOrder_.erase(last);
        ++evictions_;
    }
}

std::string TextSubtitles::readCounted(const std::string& input, int track, double from, double seconds,
                                       const std::string& format, const std::string& codec) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++reads_;
    }
    return readTrack(input, track, from, seconds, format, codec);
}

std::optional<std::string> TextSubtitles::assHeader(const StreamInfo& info, const std::string& item, int track) {
    const auto codecs = codecsOf(info, item);
    if (track < 0 || static_cast<size_t>(track) >= codecs.size()) return std::nullopt;
    const std::string& codec = codecs[static_cast<size_t>(track)];
    if (codec != "ass" && codec != "ssa") return std::nullopt;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (auto& header = trackLocked(item, track).header) return header;
    }
    const std::string text = readCounted(toolInput(info.parts.front()), track, 0, 1.0, "ass", "copy");
    // Lines end at LF, with a CR before it dropped, so that CR LF output
    // still stops before the first event.
    std::string header;
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        std::string line = text.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
        at = lf == std::string::npos ? text.size() : lf + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, 9, "Dialogue:") == 0) break;
        header += line + "\n";
    }
    std::lock_guard<std::mutex> guard(lock_);
    Track& t = trackLocked(item, track);
    if (!t.header) {
        t.header = header;
        settleLocked(t);
    }
    return t.header;
}

std::string TextSubtitles::assEvents(const StreamInfo& info, const std::string& item, int track, double from,
                                     double to) {
    // Held from the merge through the answer, so that a window just read
    // cannot be dropped by another request's merge before it is answered.
    std::unique_lock<std::mutex> guard(lock_);
    if (!within(trackLocked(item, track).eventsCovered, from, to)) {
        guard.unlock();
        const size_t p = partOf(info, from);
        const double P = info.partOffsets[p];
        const double s = std::max(from - P - 15, 0.0);
        const double length = std::max(to - from, 120.0) + 15;
        auto events = parseAssEvents(readCounted(toolInput(info.parts[p]), track, s, length, "ass", "copy"));
        guard.lock();
        Track& t = trackLocked(item, track);
        for (auto& event : events) {
            event.start += P;
            event.end += P;
            const int arrival = static_cast<int>(t.events.size());
            t.events.emplace(std::move(event), arrival); // an equal event keeps its first number
        }
        t.eventsCovered.emplace_back(coveredFrom(P, s), P + s + length);
        settleLocked(t);
    }
    std::vector<std::pair<const AssEvent*, int>> chosen;
    for (const auto& [event, arrival] : trackLocked(item, track).events)
        if (event.start < to && event.end > from) chosen.emplace_back(&event, arrival);
    // The map is ordered by start already.
    std::string out = "; covered\n";
    for (const auto& [event, arrival] : chosen) {
        out += std::to_string(wholeMs(event->start)) + "," + std::to_string(wholeMs(event->end - event->start)) +
               "," + std::to_string(arrival) + "," + event->rest + "\n";
    }
    return out;
}

std::string TextSubtitles::segment(const StreamInfo& info, const std::string& item, int track, double from,
                                   double to) {
    const auto codecs = codecsOf(info, item);
    if (track < 0 || static_cast<size_t>(track) >= codecs.size() ||
        isBitmapSubtitle(codecs[static_cast<size_t>(track)]))
        throw EnhanceError("no such subtitle track");
    // Held from the merge through the answer, so that a window just read
    // cannot be dropped by another request's merge before it is answered.
    std::unique_lock<std::mutex> guard(lock_);
    if (!within(trackLocked(item, track).covered, from, to)) {
        guard.unlock();
        const size_t p = partOf(info, from);
        const double P = info.partOffsets[p];
        const double s = std::max(from - P - 15, 0.0);
        auto cues = parseWebVTT(readCounted(toolInput(info.parts[p]), track, s, 135, "webvtt", "webvtt"));
        guard.lock();
        Track& t = trackLocked(item, track);
        for (auto& cue : cues) {
            cue.start += P;
            cue.end += P;
            t.cues.insert(std::move(cue));
        }
        t.covered.emplace_back(coveredFrom(P, s), P + s + 135);
        settleLocked(t);
    }
    std::string out = "WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:0,LOCAL:00:00:00.000\n\n";
    for (const Cue& cue : trackLocked(item, track).cues) {
        if (cue.start >= to) break; // ordered by start
        if (cue.end > from) out += vttTime(cue.start) + " --> " + vttTime(cue.end) + cue.settings + "\n" + cue.text + "\n\n";
    }
    return out;
}

int TextSubtitles::reads() const {
    std::lock_guard<std::mutex> guard(lock_);
    return reads_;
}

size_t TextSubtitles::heldBytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return held_;
}

size_t TextSubtitles::tracksHeld() const {
    std::lock_guard<std::mutex> guard(lock_);
    return tracks_.size();
}

int TextSubtitles::evictions() const {
    std::lock_guard<std::mutex> guard(lock_);
    return evictions_;
}

} // namespace corvel
