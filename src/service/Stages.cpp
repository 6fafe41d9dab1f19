#include "service/Stages.h"

#include "common/EnhanceError.h"
#include "processing/DeepenBlacks.h"
#include "processing/InverseToneMap.h"
#include "processing/NeuralScaler.h"
#include "processing/ShaderScaler.h"

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

} // namespace

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
