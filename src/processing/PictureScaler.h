#pragma once

#include "processing/Picture.h"
#include "processing/ScaleMethod.h"

#include <algorithm>
#include <optional>
#include <string>

namespace corvel {

// What the run asks of every upscaler.
class PictureScaler {
public:
    virtual ~PictureScaler() = default;

    virtual const ScaleMethod& method() const = 0;
    virtual int inWidth() const = 0;
    virtual int inHeight() const = 0;
    virtual int outWidth() const = 0;
    virtual int outHeight() const = 0;
    // The licence text of the shader or model that does the work, if any.
    virtual std::optional<std::string> license() const = 0;

    // A new outWidth x outHeight picture made from `picture`, which must be
    // inWidth x inHeight. Throws EnhanceError.
    virtual PictureRef scale(const PictureRef& picture) = 0;

    // Mean milliseconds per picture since the last call: device time, or
    // elapsed time when `wall` is set; 0 before any picture. Resets the
    // counters.
    virtual double takeMs(bool wall) = 0;
    double takeMs() { return takeMs(false); }

    // A quick timing of one picture size: one untimed picture (it pays for
    // the device's lazy kernel set-up), then the lesser of two timed ones,
    // in milliseconds (device time, or elapsed time when `wall` is set).
    double leastOfTwoMs(const PictureRef& source, bool wall) {
        scale(source);
        takeMs(wall);
        double least = 0;
        for (int run = 0; run < 2; ++run) {
            scale(source);
            const double ms = takeMs(wall);
            least = run == 0 ? ms : std::min(least, ms);
        }
        return least;
    }
};

// Mean milliseconds per picture: device time and elapsed time.
struct ScaleTimes {
    double gpu = 0;
    double wall = 0;
};

// The sums behind a scaler's figures since they were last taken: device (or
// engine) milliseconds and elapsed milliseconds of finished pictures.
struct ScaleTally {
    double gpuMs = 0;
    double wallMs = 0;
    int calls = 0;

    void add(double gpu, double wall) {
        gpuMs += gpu;
        wallMs += wall;
        calls += 1;
    }
    // Mean per picture (0 when none), then the sums start again.
    ScaleTimes take() {
        ScaleTimes times;
        if (calls >= 1) times = {gpuMs / calls, wallMs / calls};
        *this = {};
        return times;
    }
};

// What the developer bench asks of a scaler.
class BenchScaler {
public:
    virtual ~BenchScaler() = default;

    virtual std::string description() const = 0;
    // Bench mode: `scale` returns without waiting for the device and nothing
    // is timed. The run leaves it off.
    virtual bool pipelined() const = 0;
    virtual void setPipelined(bool on) = 0;
    virtual PictureRef scale(const PictureRef& picture) = 0;
    // Waits until the last submitted work is finished.
    virtual void drain() = 0;
    // Both means since the last call, (0, 0) before any picture; resets.
    virtual ScaleTimes takeBoth() = 0;
};

} // namespace corvel
