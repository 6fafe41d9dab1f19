#pragma once

#include <string>

namespace corvel {

// Which sound stream of a TV title is carried and how: copied as it is, or
// transcoded to E-AC-3 5.1 or AAC stereo (both at 48 kHz).
struct SoundPlan {
    int ordinal = 0;     // position among the title's sound streams; ffmpeg's "0:a:N"
    std::string codec;   // ffprobe's codec name ("aac", "ac3", "eac3", ...)
    int channels = 2;
    int rateHz = 0;      // 0 when ffprobe did not say
    bool small = false;  // at most stereo (adaptive renditions)
    bool aacOnly = false; // the client plays AAC only

    enum class Treatment { copy, eac3, aac };

    // Carried unchanged: 48 kHz, not small, and AAC of 1 to 8 channels or
    // (when the client takes more than AAC) AC-3 / E-AC-3 of 1, 2 or 6.
    bool copies() const {
        if (rateHz != 48000 || small) return false;
        if (codec == "aac") return channels >= 1 && channels <= 8;
        if (aacOnly) return false;
        return (codec == "ac3" || codec == "eac3") && (channels == 1 || channels == 2 || channels == 6);
    }
    Treatment treatment() const {
        if (copies()) return Treatment::copy;
        if (channels >= 3 && !small && !aacOnly) return Treatment::eac3;
        return Treatment::aac;
    }
    // "eac3 6 ch at 48000 Hz, copied": for the status and the log.
    std::string summary() const {
        static const char* how[] = {"copied", "to E-AC-3 5.1", "to AAC stereo"};
        return codec + " " + std::to_string(channels) + " ch at " + std::to_string(rateHz) + " Hz, " +
               how[static_cast<int>(treatment())];
    }

    bool operator==(const SoundPlan&) const = default;
};

} // namespace corvel
