#pragma once

#include "compute/ComputeQueue.h"
#include "processing/DevicePicture.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvel {

// A texture of a hook shader: a compute buffer of half floats, `components`
// (1 or 4) per texel, rows packed top to bottom with no padding.
struct HookTexture {
    compute::Mem mem;
    int width = 0;
    int height = 0;
    int components = 4;
};

// Texture sizes by name, (width, height) in texels, as expressions see them.
using HookSizes = std::map<std::string, std::pair<int, int>>;

// A multi-pass luma upscaler loaded at run time from NAME.json (the passes,
// their sizes and conditions, constant textures) and NAME.cl (the kernels)
// in the shader directory. shaders/README.md describes both files and the
// kernel argument convention.
//
// Not thread-safe: the owning scaler's thread calls encode. Pass textures
// are kept in `scratch_` from picture to picture, so a second picture must
// not be encoded while the previous one may still be running.
class HookShader {
public:
    // Loads and builds the shader; throws EnhanceError with the loading
    // messages ("No shader NAME in DIR.", "Shader NAME did not compile: ...",
    // "Shader NAME: a pass has no kernel.", "Shader NAME: texture T.", ...).
    // Constant textures are uploaded through `queue`.
    HookShader(compute::ComputeQueue& queue, const std::string& directory, const std::string& name);

    const std::string& name() const { return name_; }
    const std::string& license() const { return license_; }
    const std::string& hooked() const { return hooked_; }
    size_t passCount() const { return passes_.size(); }

    // What encode queued: the texture that holds the result (the hooked
    // texture after the last pass), and the first and last events of the
    // work (the first is the luma import, so both are always set).
    struct Encoded {
        const HookTexture* result = nullptr;
        compute::Event first;
        compute::Event last;
    };

    // Queues the passes for one picture whose luma plane is `planes`
    // (lumaWidth x lumaHeight samples) with `output` as the final picture's
    // size. Nothing is waited for. Throws EnhanceError when a pass's size is
    // unusable ("Shader NAME: pass I would be WxH.") or its texture cannot
    // be made; the shader stays usable for the next picture.
    Encoded encode(const DevicePlanes& planes, int lumaWidth, int lumaHeight,
                   std::pair<int, int> output);

    // The postfix evaluator of the size and condition expressions. Never
    // fails: unknown tokens and names have defined values.
    static double evaluate(const std::string& expression, const HookSizes& sizes);

    // The scratch texture kept under `key` (tests look at sizes and formats).
    const HookTexture* scratch(const std::string& key) const;

    // Largest pass texture side in texels; larger sizes are refused.
    static constexpr int kMaxSide = 16384;

private:
    struct Pass {
        compute::Kernel kernel;
        std::vector<std::string> binds;
        std::optional<std::string> save;
        std::optional<std::string> width;
        std::optional<std::string> height;
        std::optional<std::string> when;
        int components = 4;
        // block width, block height, threads across, threads down
        std::optional<std::array<int, 4>> compute;
    };

    HookTexture& target(const std::string& key, int width, int height, int components);

    compute::ComputeQueue& queue_;
    std::string name_;
    std::string license_ = "unknown";
    std::string hooked_ = "LUMA";
    compute::Program program_;
    std::vector<Pass> passes_;
    std::map<std::string, HookTexture> own_;
    std::map<std::string, HookTexture> scratch_;
    compute::Kernel import_;  // luma plane words -> one-component texture
    HookTexture luma_;        // the imported luma, reused while its size holds
    compute::Mem unbound_;    // bound where a name matches nothing
};

} // namespace corvel
