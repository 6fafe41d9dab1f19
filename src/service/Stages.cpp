#include "service/Stages.h"

#include "common/EnhanceError.h"
#include "processing/Deband.h"
#include "processing/DeepenBlacks.h"
#include "processing/InverseToneMap.h"
#include "processing/NeuralScaler.h"
#include "processing/ShaderDirectory.h"
#include "processing/ShaderScaler.h"

#include <filesystem>

namespace corvel {

namespace {

class ToneMapLift final : public LiftStage {
public:
    ToneMapLift(int w, int h, const ToneParams& params) : LiftStage(w, h), map_(w, h, params) {}
    PictureRef apply(const PictureRef& picture) override { return map_.apply(picture); }
    void setParams(const ToneParams& params) override { map_.params = params; }
    double takeMs() override { return map_.takeMs(); }

private:
    InverseToneMap map_;
};

class Blacks final : public BlacksStage {
public:
    void reset() override { blacks_.reset(); }
    void measure(const Picture& picture, double pts) override { blacks_.measure(picture, pts); }
    PictureRef apply(const PictureRef& picture) override { return blacks_.apply(picture); }
    Reading reading() const override {
        const DeepenBlacks::Reading r = blacks_.reading();
        return {r.floor, r.lift};
    }

private:
    DeepenBlacks blacks_;
};

class Debander final : public DebandStage {
public:
    Debander(int w, int h, const std::optional<std::string>& dir) : DebandStage(w, h), deband_(w, h, dir) {}
    PictureRef apply(const PictureRef& picture) override { return deband_.apply(picture); }
    double takeMs() override {
        const double ms = deband_.calls < 1 ? 0.0 : deband_.wallMs / deband_.calls;
        deband_.wallMs = 0;
        deband_.calls = 0;
        return ms;
    }
    std::string way() const override { return deband_.wayText(); }

private:
    Deband deband_;
};

} // namespace

std::optional<std::string> debandDirectory() {
    const std::optional<std::string> shaders = shaderDirectory();
    if (!shaders) return std::nullopt;
    return (std::filesystem::path(*shaders) / "deband").string();
}

std::unique_ptr<DebandStage> makeDebandStage(int width, int height,
                                             const std::optional<std::string>& directory) {
    return std::make_unique<Debander>(width, height, directory);
}

StageFactory defaultStageFactory() {
    StageFactory factory;
    factory.upscaler = [](const ScaleMethod& method, int inWidth, int inHeight, int outWidth,
                          int outHeight) -> std::unique_ptr<PictureScaler> {
        if (method.kind == ScaleMethod::Kind::Neural)
            return std::make_unique<NeuralScaler>(method.name, inWidth, inHeight, outWidth, outHeight);
        return std::make_unique<ShaderScaler>(method, inWidth, inHeight, outWidth, outHeight);
    };
    factory.lift = [](int width, int height, const ToneParams& params) -> std::unique_ptr<LiftStage> {
        return std::make_unique<ToneMapLift>(width, height, params);
    };
    factory.deband = [](int width, int height) -> std::unique_ptr<DebandStage> {
        return makeDebandStage(width, height, debandDirectory());
    };
    factory.interpolator = [](int width, int height) {
        return std::make_unique<Interpolator>(width, height);
    };
    factory.blacks = []() -> std::unique_ptr<BlacksStage> {
        try {
            return std::make_unique<Blacks>();
        } catch (const EnhanceError&) {
            return nullptr; // no compute device: the run goes without
        }
    };
    return factory;
}

} // namespace corvel
