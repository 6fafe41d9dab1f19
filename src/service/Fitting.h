#pragma once

#include "common/SourceColor.h"
#include "output/EncoderConfig.h"
#include "processing/ToneParams.h"
#include "service/Key.h"
#include "service/ServiceOptions.h"
#include "source/StreamInfo.h"

#include <string>

namespace corvel {

// The fitting rules: which of a key's enhancements a title gets on this
// machine. Each works on a copy of the title's description, writes its
// output fields and explains itself in `why`. Pure computation apart from
// log lines; nothing here fails.

// The adaptive rendition's picture size, segment length and bit-rate rung.
void fitRung(const Key& key, StreamInfo& info);

// Frame interpolation (doubling the rate) where the source allows it.
// `supported` says whether this build can interpolate at all.
void fitFi(const Key& key, StreamInfo& info, const ServiceOptions& options, bool supported);

// The output size and the upscaler.
void fitUp(const Key& key, StreamInfo& info, const ServiceOptions& options);

// The AI upscaler's tier for "neural-hb" or "neural-low": an upscaler name,
// possibly empty.
std::string neuralTier(const std::string& name, StreamInfo& info, const ServiceOptions& options);

// The built-in bits-per-pixel threshold above which "neural-hb" is chosen.
double neuralHbBpp(const std::string& codec);

// The encoder configuration for a fitted title.
EncoderConfig encoderConfig(const StreamInfo& info, const SourceColor& color, const ToneParams& tone,
                            const ServiceOptions& options);

} // namespace corvel
