#include "service/Stages.h"

#include "common/EnhanceError.h"

namespace corvel {

StageFactory defaultStageFactory() {
    StageFactory factory;
    factory.upscaler = [](const ScaleMethod& method, int, int, int, int) -> std::unique_ptr<UpscalerStage> {
        throw EnhanceError("The upscaler " + method.description() + " is not in this build.");
    };
    factory.lift = [](int, int, const ToneParams&) -> std::unique_ptr<LiftStage> {
        throw EnhanceError("The HDR lift is not in this build.");
    };
    factory.blacks = []() -> std::unique_ptr<BlacksStage> { return nullptr; };
    return factory;
}

} // namespace corvel
