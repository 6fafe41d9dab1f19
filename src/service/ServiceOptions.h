#pragma once

#include <optional>
#include <string>

namespace corvel {

// The most segments a run works ahead. The store keeps about this many plus
// nine segments (a few seconds of 4K each), so a larger value would only
// let it grow; the pacing sums stay far from overflow.
inline constexpr int kMaxAhead = 30;

// What start-up hands to the service. A plain value: the service keeps its
// own copy and never changes it.
struct ServiceOptions {
    std::string companion = "http://127.0.0.1:47800"; // the media server's base URL
    double mbps = 0;          // fixed output bit rate in Mbit/s; <= 0 means automatic
    int ahead = 5;            // segments a run works ahead of the asked one; < 0 counts as 0, at most kMaxAhead
    double segSec = 1.0;      // wanted segment duration, seconds, within 0.5 ... 4.0
    double fiMaxMpix = 3.0;   // largest source, megapixels, offered frame interpolation
    std::string upscaler = "auto"; // "auto", "neural", a scale method name, or empty for none
    std::optional<double> neuralMs;  // measured ms of "neural-low", 1080p -> 4K
    std::optional<double> studentMs; // the same for "neural-low-student"
    std::optional<double> mediumMs;  // the same for "neural-medium"
    double neuralBudgetMs = 14.0;    // per-picture budget of the AI upscaler at 60 fps
    std::string neuralFallback;      // shader method where the AI upscaler misses its budget
    std::optional<double> neuralHbBpp; // bits per pixel threshold of the "neural-hb" tier
    int upMaxWidth = 3840;
    int upMaxHeight = 2160;
    // The idle release hands the heap the run freed back to the system
    // (malloc_trim): without it glibc keeps the freed pages of every thread's
    // arena mapped, and the service stays near its peak size while idle.
    bool trimOnRelease = true;
    // The idle release also forgets the compute device's built programs
    // (the next play builds them again).
    bool forgetProgramsOnRelease = true;
    // An encoder per segment with x265's own tuning of the preset (no
    // B-frames), closed at the segment's end, instead of one zero-latency
    // encoder per run: about half the CPU per picture (bench/encoder_tuning).
    bool segmentEncoders = true;
    // Segment-tuned encoders working on consecutive segments at once; 0
    // takes CORVEL_ENHANCE_ENCODERS when it is a number from 1 to 16, else
    // a number from the machine's cores (encodersFor).
    int encoders = 0;
    // With one encoder at a time: the encoder goes on from segment to
    // segment (each segment's first picture an IDR picture) while the run
    // does not pause, instead of one per segment drained at the segment's
    // end while the run waits. It is drained at a pause, a stop or the
    // title's end, and after the run's first segment (the one a viewer
    // waits for). Off: CORVEL_ENHANCE_KEEP_ENCODER=0 (for measuring).
    bool keepEncoder = true;
};

} // namespace corvel
