#pragma once

#include "processing/Interpolator.h"
#include "processing/Picture.h"
#include "processing/PictureScaler.h"
#include "processing/ScaleMethod.h"
#include "processing/ToneParams.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvel {

// The picture stages as the run sees them. The run's StageChain owns one of
// each at most, keeps it while its parameters match and asks the factory for
// a new one when they change. Every call comes from the pipeline thread.

class LiftStage {
public:
    LiftStage(int w, int h) : width(w), height(h) {}
    virtual ~LiftStage() = default;
    // The SDR picture lifted to HDR10 (BT.2020, PQ). Throws EnhanceError.
    virtual PictureRef apply(const PictureRef& picture) = 0;
    // Read at every picture: a change takes effect with the next one.
    virtual void setParams(const ToneParams& params) = 0;
    // Mean milliseconds per picture since the last call; resets the count.
    virtual double takeMs() = 0;

    const int width, height;
};

class BlacksStage {
public:
    virtual ~BlacksStage() = default;
    // Starts the measurement afresh (a new run).
    virtual void reset() = 0;
    virtual void measure(const Picture& picture, double pts) = 0;
    // The picture with its blacks deepened. Throws EnhanceError.
    virtual PictureRef apply(const PictureRef& picture) = 0;
    // The measured floor (-1 before any) and the lift, safe to read from any
    // thread while the pipeline thread measures. `reading` takes both under
    // one lock: the pair is always one that a single measurement stored.
    struct Reading {
        double floor = -1;
        double lift = 0;
    };
    virtual Reading reading() const = 0;
    double floor() const { return reading().floor; }
    double lift() const { return reading().lift; }
};

class DebandStage {
public:
    DebandStage(int w, int h) : width(w), height(h) {}
    virtual ~DebandStage() = default;
    // The debanded picture (same size). Throws EnhanceError.
    virtual PictureRef apply(const PictureRef& picture) = 0;
    // Mean wall milliseconds per picture since the last call; resets the count.
    virtual double takeMs() = 0;
    // How its map is made: "TrueHDR's network's map, in Metal" or "the fixed filter".
    virtual std::string way() const = 0;

    const int width, height;
};

// Makes the stages. A factory that cannot make a stage throws EnhanceError
// with the sentence the run reports; `blacks` returns none on failure (the
// run then goes without deepened blacks, silently).
struct StageFactory {
    std::function<std::unique_ptr<PictureScaler>(const ScaleMethod& method, int inWidth, int inHeight,
                                                 int outWidth, int outHeight)>
        upscaler;
    std::function<std::unique_ptr<LiftStage>(int width, int height, const ToneParams& params)> lift;
    std::function<std::unique_ptr<BlacksStage>()> blacks;
    // Debanding at the source size; its weights are looked for in the shader
    // directory's "deband" folder. Throws EnhanceError (the preparation fails).
    std::function<std::unique_ptr<DebandStage>(int width, int height)> deband;
    // Frame interpolation at the source size.
    std::function<std::unique_ptr<Interpolator>(int width, int height)> interpolator;
};

// A debanding stage whose network weights are looked for in `directory`
// (none: the fixed filter). Throws EnhanceError.
std::unique_ptr<DebandStage> makeDebandStage(int width, int height,
                                             const std::optional<std::string>& directory);

// Where the debanding network's weight files are: the shader directory's
// "deband" folder; none without a shader directory.
std::optional<std::string> debandDirectory();

// The stages this build has: the shader scaler, the inverse tone mapping,
// deepened blacks and frame interpolation on the process's compute device.
StageFactory defaultStageFactory();

} // namespace corvel
