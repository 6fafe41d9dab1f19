#pragma once

#include "source/StreamInfo.h"

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvel {

// One WebVTT cue. Times in seconds (relative to the part read, or title time
// once placed).
struct Cue {
    double start = 0;
    double end = 0;
    std::string settings; // " line:0 ..." with one leading space, or empty
    std::string text;     // payload lines joined by "\n"

    auto operator<=>(const Cue&) const = default;
};

// One ASS Dialogue event: its times and the Layer field, a comma, and every
// field after End (Style, Name, margins, Effect, Text) as written.
struct AssEvent {
    double start = 0;
    double end = 0;
    std::string rest;

    auto operator<=>(const AssEvent&) const = default;
};

// The cues of a WebVTT document; blocks without a good timing line or text
// are skipped.
std::vector<Cue> parseWebVTT(std::string_view text);
// The Dialogue events of ASS text; lines that do not read are skipped.
std::vector<AssEvent> parseAssEvents(std::string_view text);
// "HH:MM:SS.mmm" of a time in seconds (negative times give the zero time).
std::string vttTime(double seconds);
// Runs ffmpeg on `input` to write subtitle stream `track` from `from` for
// `seconds` as `format` with `codec`; its standard output as UTF-8 (invalid
// bytes replaced). Throws EnhanceError when ffmpeg is missing or cannot start.
std::string readTrack(const std::string& input, int track, double from, double seconds, const std::string& format,
                      const std::string& codec);
// Subtitle codecs drawn as pictures (Blu-ray, DVB, DVD, ...): never offered as text.
bool isBitmapSubtitle(const std::string& codec);

// The text subtitle cache of the process: per item and stream, the cues and
// ASS events read so far and the title-time intervals within which they are
// complete. Extractions run without the lock; two requests for one window may
// both read it and the merge keeps one copy. Thread-safe.
//
// Bounded: when the bytes held pass `boundBytes`, the least recently used
// tracks are dropped whole (cues, events, header and coverage together, so a
// dropped track is simply read again on its next request) until the rest fits.
// The track just read is never dropped, so one track larger than the bound is
// still answered. A busy title hour holds about 350 KiB, so the default keeps
// some forty title hours of cues.
class TextSubtitles {
public:
    static constexpr size_t kDefaultBoundBytes = size_t{16} << 20;

    struct Track {
        std::set<Cue> cues;
        std::map<AssEvent, int> events; // with its arrival number
        std::optional<std::string> header;
        std::vector<std::pair<double, double>> covered;
        std::vector<std::pair<double, double>> eventsCovered;
        size_t bytes = 0;               // heldBytes' share of this track, updated after each merge
        std::list<std::string>::iterator use; // its place in the use order
    };

    explicit TextSubtitles(size_t boundBytes = kDefaultBoundBytes) : bound_(boundBytes) {}

    // The item's subtitle codec names in stream order (ffprobe, read once).
    std::vector<std::string> codecsOf(const StreamInfo& info, const std::string& item);
    // The ASS header of stream `track`; none when it is no ASS/SSA stream.
    std::optional<std::string> assHeader(const StreamInfo& info, const std::string& item, int track);
    // "; covered" and one line per event overlapping [from, to).
    std::string assEvents(const StreamInfo& info, const std::string& item, int track, double from, double to);
    // A WebVTT document of the cues overlapping [from, to), in title time.
    // Throws EnhanceError "no such subtitle track" past the title's streams
    // and for streams drawn as pictures.
    std::string segment(const StreamInfo& info, const std::string& item, int track, double from, double to);

    // Extractions so far (for tests and the status).
    int reads() const;
    // Bytes held by every cached cue, event and header (an estimate from the
    // strings' sizes and the nodes' overhead).
    size_t heldBytes() const;
    // Tracks held now, and tracks dropped to keep within the bound so far.
    size_t tracksHeld() const;
    int evictions() const;

private:
    // The track, created when absent, and marked as the most recently used.
    Track& trackLocked(const std::string& item, int track);
    // Recounts `kept`'s bytes after a merge, then drops least recently used
    // tracks other than `kept` while the total is over the bound.
    void settleLocked(Track& kept);
    std::string readCounted(const std::string& input, int track, double from, double seconds, const std::string& format,
                            const std::string& codec);

    mutable std::mutex lock_;
    const size_t bound_;
    std::map<std::string, std::unique_ptr<Track>> tracks_; // guarded by lock_
    std::list<std::string> useOrder_;  // track keys, most recently used first; guarded by lock_
    size_t held_ = 0;                  // sum of the tracks' bytes; guarded by lock_
    int evictions_ = 0;                // guarded by lock_
    std::map<std::string, std::vector<std::string>> codecs_; // guarded by lock_
    int reads_ = 0;                                          // guarded by lock_
};

} // namespace corvel
