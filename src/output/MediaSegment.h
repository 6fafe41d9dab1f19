#pragma once

#include "output/EncoderConfig.h"
#include "output/InitSegment.h"
#include "output/SoundSample.h"

#include <cstdint>
#include <vector>

namespace corvel {

// One movie fragment: moof (video traf, then a sound traf when there is
// sound) and one mdat with the video payload followed by the sound bytes.
// `sequence` is the segment index + 1; `firstFrame` the output frame index
// of the first picture (not negative). Parameter sets and access unit
// delimiters are left out of the samples; they live in the init segment's
// hvcC. Only `video.frameDuration` is used.
std::vector<uint8_t> makeMediaSegment(uint32_t sequence, const VideoTrack& video, int64_t firstFrame,
                                      const std::vector<EncodedPicture>& pictures,
                                      const std::vector<SoundSample>& sound);

} // namespace corvel
