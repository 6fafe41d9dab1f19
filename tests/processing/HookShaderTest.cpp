#include "common/EnhanceError.h"
#include "processing/HookShader.h"
#include "processing/KernelReference.h"
#include "processing/ShaderDirectory.h"
#include "processing/ShaderScaler.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <functional>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

using namespace corvel;

namespace {

// ---- The evaluator ----

TEST(HookShaderEvaluate, ExamplesAndEdgeCases) {
    const HookSizes sizes = {{"HOOKED", {1920, 1080}}, {"LUMA", {1920, 1080}}, {"OUTPUT", {3840, 2160}}};
    EXPECT_EQ(HookShader::evaluate("HOOKED.w 2 *", sizes), 3840);
    EXPECT_EQ(HookShader::evaluate("OUTPUT.w HOOKED.w 1.2 * >", sizes), 1);
    EXPECT_EQ(HookShader::evaluate("OUTPUT.w HOOKED.w /", sizes), 2);
    EXPECT_EQ(HookShader::evaluate("HOOKED.height OUTPUT.width <", sizes), 1);
    EXPECT_EQ(HookShader::evaluate("LUMA.h 2 /", sizes), 540);
    EXPECT_EQ(HookShader::evaluate("1 0 /", sizes), 0);
    EXPECT_EQ(HookShader::evaluate("0 0 /", sizes), 0);
    EXPECT_EQ(HookShader::evaluate("!", sizes), 1);
    EXPECT_EQ(HookShader::evaluate("3 !", sizes), 0);
    EXPECT_EQ(HookShader::evaluate("7 +", sizes), 7);
    EXPECT_EQ(HookShader::evaluate("7 -", sizes), -7); // a = 0 when only one value is there
    EXPECT_EQ(HookShader::evaluate("", sizes), 0);
    EXPECT_EQ(HookShader::evaluate("   ", sizes), 0);
    EXPECT_EQ(HookShader::evaluate("  5   3  -  ", sizes), 2); // runs of spaces are dropped
    EXPECT_EQ(HookShader::evaluate("MISSING.w", sizes), 0);
    EXPECT_EQ(HookShader::evaluate("2 2 =", sizes), 1);
    EXPECT_EQ(HookShader::evaluate("2 3 =", sizes), 0);
    EXPECT_EQ(HookShader::evaluate("2 3 %", sizes), 0); // unknown operator
    EXPECT_EQ(HookShader::evaluate("4 5 6", sizes), 6); // the top is the result
    EXPECT_EQ(HookShader::evaluate("1e3 2.5 *", sizes), 2500);
    EXPECT_EQ(HookShader::evaluate("HOOKED..w", sizes), 1920); // empty pieces dropped
    // Nothing before the dot: no texture, 0 (not the size of a texture
    // called "w").
    const HookSizes named = {{"w", {5, 6}}, {"h", {7, 8}}};
    EXPECT_EQ(HookShader::evaluate(".w", named), 0);
    EXPECT_EQ(HookShader::evaluate(".h", named), 0);
    EXPECT_EQ(HookShader::evaluate(".", named), 0); // not a size reference: an operator
    EXPECT_EQ(HookShader::evaluate("w.height", named), 6);
    EXPECT_TRUE(std::isinf(HookShader::evaluate("inf", sizes)));
}

// ---- Shaders written here ----

uint16_t toHalf(float value) {
    // Values here are small exact binary fractions: normal halves only.
    if (value == 0.0f) return 0;
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    const uint32_t sign = (bits >> 16) & 0x8000;
    const int exponent = int((bits >> 23) & 0xff) - 127 + 15;
    const uint32_t mantissa = (bits >> 13) & 0x3ff;
    return uint16_t(sign | (uint32_t(exponent) << 10) | mantissa);
}

double fromHalf(uint16_t h) {
    const int exponent = (h >> 10) & 0x1f;
    const double mantissa = h & 0x3ff;
    const double magnitude = exponent == 0 ? std::ldexp(mantissa, -24)
                                           : std::ldexp(1024 + mantissa, exponent - 25);
    return (h & 0x8000) ? -magnitude : magnitude;
}

std::string base64(const std::vector<uint8_t>& bytes) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= bytes[i + 2];
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? table[v & 63] : '=';
    }
    return out;
}

std::string halfTexture(const std::vector<float>& values) {
    std::vector<uint8_t> bytes;
    for (float v : values) {
        const uint16_t h = toHalf(v);
        bytes.push_back(uint8_t(h & 0xff));
        bytes.push_back(uint8_t(h >> 8));
    }
    return base64(bytes);
}

// Pass 1 (saved as EDGE, 4 components, twice the width): texel (x, y) =
// hooked(x / 2, y) times the constant texture's four gains, plus the
// horizontal difference in .w. Pass 2 (unsaved, 1 component, twice the
// height too): EDGE at (x, y / 2) as gain.x * .x + .w, then + offset.
const char* kTwoPassSource = R"(
__kernel void widen(HOOK_TEXTURE(dst), HOOK_TEXTURE(src), HOOK_TEXTURE(gain)) {
    int x = get_global_id(0), y = get_global_id(1);
    if (x >= dst_w || y >= dst_h) return;
    float4 g = HOOK_READ(gain, 0, 0);
    float v = HOOK_READ1(src, x / 2, y);
    float d = HOOK_READ1(src, x / 2 + 1, y) - HOOK_READ1(src, x / 2 - 1, y);
    HOOK_WRITE(dst, x, y, (float4)(v * g.x, v * g.y, v * g.z, d * g.w));
}
__kernel void tall(HOOK_TEXTURE(dst), HOOK_TEXTURE(edge), HOOK_TEXTURE(gain), HOOK_TEXTURE(none)) {
    int x = get_global_id(0), y = get_global_id(1);
    if (x >= dst_w || y >= dst_h) return;
    float4 e = HOOK_READ(edge, x, y / 2);
    float extra = none_w == 0 ? 0.0f : 100.0f; // an unbound name has no size
    HOOK_WRITE(dst, x, y, (float4)(e.x + e.w + HOOK_READ(gain, 1, 0).x + extra, 9.0f, 9.0f, 9.0f));
}
__kernel void copy(HOOK_TEXTURE(dst), HOOK_TEXTURE(src)) {
    int x = get_global_id(0), y = get_global_id(1);
    if (x >= dst_w || y >= dst_h) return;
    HOOK_WRITE(dst, x, y, HOOK_READ(src, x, y));
}
)";

const float kGain[8] = {0.75f, 0.5f, 0.25f, 0.5f, /* texel 1: */ 0.03125f, 0, 0, 0};

std::string twoPassJson(const std::string& extra = "") {
    std::vector<float> gain(kGain, kGain + 8);
    return R"({"passes": [
      {"hook": "LUMA", "kernel": "widen", "binds": ["HOOKED", "GAIN"], "save": "EDGE",
       "width": "HOOKED.w 2 *", "components": 3)" + extra + R"(},
      {"kernel": "tall", "binds": ["EDGE", "GAIN", "NOTHING"], "width": "EDGE.w",
       "height": "HOOKED.h 2 *", "components": 1, "when": "OUTPUT.w HOOKED.w >"}],
     "textures": [{"name": "GAIN", "width": 2, "height": 1, "data": ")" +
           halfTexture(gain) + R"("}]})";
}

class ShaderFiles {
public:
    ShaderFiles(const std::string& name, const std::string& json, const std::string& source) {
        test::writeFile(dir_.file(name + ".json"), json);
        test::writeFile(dir_.file(name + ".cl"), source);
        setShaderDirectoryOverride(dir_.path());
    }
    ~ShaderFiles() { setShaderDirectoryOverride(std::nullopt); }
    const std::string& path() const { return dir_.path(); }
    void write(const std::string& file, const std::string& bytes) {
        test::writeFile(dir_.file(file), bytes);
    }

private:
    test::TempDir dir_;
};

double half(double v) {
    // Round to the nearest half float (normal range), as the textures store.
    if (v == 0) return 0;
    int e;
    std::frexp(v, &e);
    const double step = std::ldexp(1.0, e - 11);
    return std::nearbyint(v / step) * step;
}

// The two-pass shader's output luma of a w x h picture, 2x on both axes.
double twoPassReference(const Picture& in, int X, int Y) {
    const int w = in.width;
    auto luma = [&](int x, int y) {
        x = std::clamp(x, 0, w - 1);
        y = std::clamp(y, 0, in.height - 1);
        return half(reference::word(in, 0, x, y));
    };
    const int ex = X;
    const int ey = Y / 2;
    const double v = luma(ex / 2, ey);
    const double d = half(luma(ex / 2 + 1, ey) - luma(ex / 2 - 1, ey));
    const double e = half(v * kGain[0]) + half(d * kGain[3]);
    return std::clamp(half(e + kGain[4]), 0.0, 1.0);
}

TEST(HookShader, TwoPassShaderMatchesItsReference) {
    ShaderFiles files("TwoPass", twoPassJson(), kTwoPassSource);
    ShaderScaler scaler(ScaleMethod::parse("TwoPass"), 40, 24, 80, 48);
    EXPECT_EQ(scaler.license(), "unknown");
    for (unsigned seed : {1u, 2u}) {
        PictureRef in = makePicture(40, 24);
        reference::fillRandom(*in, seed);
        PictureRef out = scaler.scale(in);
        double worst = 0;
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 80; ++x)
                worst = std::max(worst, std::abs(reference::word(*out, 0, x, y) -
                                                 twoPassReference(*in, x, y)));
        EXPECT_LE(worst * 1023.98, 0.5) << "seed " << seed;
        // Chroma of hook methods: bilinear.
        double chroma = 0;
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 40; ++x)
                for (int c = 0; c < 2; ++c)
                    chroma = std::max(chroma, std::abs(reference::word(*out, 1, 2 * x + c, y) -
                                                       reference::resample(*in, 1, c, 40, 24, x, y, 0)));
        EXPECT_LE(chroma * 1023.98, 1.0);
    }
}

TEST(HookShader, PassesKeepTheirTexturesBetweenPictures) {
    ShaderFiles files("TwoPass", twoPassJson(), kTwoPassSource);
    compute::ComputeQueue queue(compute::ComputeContext::shared());
    HookShader shader(queue, files.path(), "TwoPass");
    EXPECT_EQ(shader.hooked(), "LUMA");
    EXPECT_EQ(shader.passCount(), 2u);
    PicturePool pool(40, 24, 1, deviceStorage(compute::ComputeContext::shared()));
    PictureRef in = pool.take();
    reference::fillRandom(*in, 3);
    PictureBinder binder(compute::ComputeContext::shared());
    const DevicePlanes planes = binder.input(*in, queue);

    HookShader::Encoded first = shader.encode(planes, 40, 24, {80, 48});
    queue.finish();
    const HookTexture* edge = shader.scratch("EDGE");
    const HookTexture* second = shader.scratch("HOOKED1");
    ASSERT_TRUE(edge && second);
    EXPECT_EQ(first.result, second);
    EXPECT_EQ(edge->width, 80); // HOOKED.w 2 *
    EXPECT_EQ(edge->height, 24);
    EXPECT_EQ(edge->components, 4); // components 3 gives four
    EXPECT_EQ(second->width, 80);   // EDGE.w
    EXPECT_EQ(second->height, 48);
    EXPECT_EQ(second->components, 1);
    cl_mem kept = edge->mem.get();
    HookShader::Encoded again = shader.encode(planes, 40, 24, {80, 48});
    queue.finish();
    EXPECT_EQ(shader.scratch("EDGE")->mem.get(), kept); // reused, not remade

    // `when` 0: the second pass is skipped and the hooked texture is the
    // imported luma (one component, the input's size).
    HookShader::Encoded skipped = shader.encode(planes, 40, 24, {40, 24});
    queue.finish();
    EXPECT_EQ(skipped.result->width, 40);
    EXPECT_EQ(skipped.result->height, 24);
    EXPECT_EQ(skipped.result->components, 1);
    std::vector<uint16_t> halves(40 * 24);
    queue.read(skipped.result->mem.get(), 0, halves.size() * 2, halves.data());
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 40; ++x)
            ASSERT_NEAR(fromHalf(halves[y * 40 + x]), in->row(0, y)[x] / 65535.0, 1.0 / 2048);
}

TEST(HookShader, TwoUnsavedPassesChainThroughHooked) {
    const std::string json = R"({"license": "ours", "passes": [
        {"kernel": "copy", "binds": ["HOOKED"], "components": 1},
        {"kernel": "copy", "binds": ["LUMA"], "width": "HOOKED.w 2 *", "height": "HOOKED.h 2 *",
         "compute": [8, 8, 8, 8]}]})";
    ShaderFiles files("Chain", json, kTwoPassSource);
    compute::ComputeQueue queue(compute::ComputeContext::shared());
    HookShader shader(queue, files.path(), "Chain");
    EXPECT_EQ(shader.license(), "ours");
    PictureRef in = makePicture(20, 12);
    reference::fillRandom(*in, 4);
    PictureBinder binder(compute::ComputeContext::shared());
    HookShader::Encoded done = shader.encode(binder.input(*in, queue), 20, 12, {40, 24});
    queue.finish();
    ASSERT_TRUE(shader.scratch("HOOKED0") && shader.scratch("HOOKED1"));
    EXPECT_EQ(shader.scratch("HOOKED0")->components, 1);
    EXPECT_EQ(done.result, shader.scratch("HOOKED1"));
    EXPECT_EQ(done.result->components, 4);
    EXPECT_EQ(done.result->width, 40);
}

TEST(HookShader, NoPassesGivesTheLumaThroughCatmullRom) {
    ShaderFiles files("Empty", R"({"textures": "not a list"})", "");
    ShaderScaler scaler(ScaleMethod::parse("Empty"), 38, 22, 76, 44);
    EXPECT_EQ(scaler.license(), "unknown");
    PictureRef in = makePicture(38, 22);
    reference::fillRandom(*in, 5);
    PictureRef out = scaler.scale(in);
    double worst = 0;
    for (int y = 0; y < 44; ++y)
        for (int x = 0; x < 76; ++x)
            worst = std::max(worst, std::abs(reference::word(*out, 0, x, y) -
                                             reference::resample(*in, 0, 0, 76, 44, x, y, 1)));
    EXPECT_LE(worst * 1023.98, 1.0); // the luma passed through half floats
    // Equal sizes: the hooked luma is copied.
    ShaderScaler same(ScaleMethod::parse("Empty"), 38, 22, 38, 22);
    PictureRef copied = same.scale(in);
    for (int y = 0; y < 22; ++y)
        for (int x = 0; x < 38; ++x)
            ASSERT_NEAR(copied->row(0, y)[x], in->row(0, y)[x], 64 * 0.26);
}

std::string loadError(const std::string& name, const std::string& directory) {
    try {
        compute::ComputeQueue queue(compute::ComputeContext::shared());
        HookShader shader(queue, directory, name);
    } catch (const EnhanceError& e) {
        return e.description();
    }
    return "(loaded)";
}

TEST(HookShader, LoadingMessages) {
    test::TempDir dir;
    const std::string d = dir.path();
    EXPECT_EQ(loadError("Nope", d), "No shader Nope in " + d + ".");
    test::writeFile(dir.file("List.json"), "[1, 2]");
    EXPECT_EQ(loadError("List", d), "No shader List in " + d + ".");
    test::writeFile(dir.file("Broken.json"), "{\"passes\": [");
    EXPECT_NE(loadError("Broken", d).find("parse error"), std::string::npos);
    test::writeFile(dir.file("NoSource.json"), "{}");
    EXPECT_EQ(loadError("NoSource", d).rfind("Could not read " + d + "/NoSource.cl", 0), 0u);
    test::writeFile(dir.file("Bad.json"), "{}");
    test::writeFile(dir.file("Bad.cl"), "__kernel void k( { }");
    EXPECT_EQ(loadError("Bad", d).rfind("Shader Bad did not compile: ", 0), 0u);
    EXPECT_GT(loadError("Bad", d).size(), std::string("Shader Bad did not compile: ").size());

    auto withPasses = [&](const std::string& name, const std::string& json) {
        test::writeFile(dir.file(name + ".json"), json);
        test::writeFile(dir.file(name + ".cl"), kTwoPassSource);
        return loadError(name, d);
    };
    EXPECT_EQ(withPasses("K1", R"({"passes": [{"binds": []}]})"), "Shader K1: a pass has no kernel.");
    EXPECT_EQ(withPasses("K2", R"({"passes": [{"kernel": 5}]})"), "Shader K2: a pass has no kernel.");
    EXPECT_EQ(withPasses("K3", R"({"passes": [{"kernel": "copy", "binds": ["HOOKED"]}, {"kernel": "gone"}]})"),
              "Shader K3: a pass has no kernel.");
    EXPECT_EQ(withPasses("K4", R"({"passes": [7]})"), "Shader K4: a pass has no kernel.");
    // Four arguments per texture: "copy" takes the target and one texture.
    EXPECT_EQ(withPasses("A1", R"({"passes": [{"kernel": "copy", "binds": ["HOOKED", "X"]}]})"),
              "Shader A1: kernel copy takes 8 arguments; its pass gives 12.");
    EXPECT_EQ(withPasses("A2", R"({"passes": [{"kernel": "copy"}]})"),
              "Shader A2: kernel copy takes 8 arguments; its pass gives 4.");
    // Textures: short data refuses the shader; a size no texture can have
    // gives the texture message; entries missing a key or with undecodable
    // Base64 are skipped.
    const std::string eight = halfTexture({1, 2, 3, 4});
    EXPECT_EQ(withPasses("T1", R"({"textures": [{"name": "W", "width": 2, "height": 1, "data": ")" +
                                   eight + "\"}]}"),
              "Shader T1: texture W holds 8 bytes; 2x1 needs 16.");
    EXPECT_EQ(withPasses("T2", R"({"textures": [{"name": "W", "width": 0, "height": 1, "data": ")" +
                                   eight + "\"}]}"),
              "Shader T2: texture W.");
    EXPECT_EQ(withPasses("T3", R"({"textures": [{"name": "W", "width": 100000, "height": 1, "data": ")" +
                                   eight + "\"}]}"),
              "Shader T3: texture W.");
    EXPECT_EQ(withPasses("T4", R"({"textures": [{"name": "W", "width": 1, "height": 1, "data": "@@@@"},
        {"name": "V", "width": 1, "data": ")" + eight + R"("}, {"name": "U", "width": 1, "height": 1.5,
        "data": ")" + eight + R"("}]})"),
              "(loaded)");
    // Too many threads per group for the device.
    EXPECT_EQ(withPasses("G1", R"({"passes": [{"kernel": "copy", "binds": ["HOOKED"], "compute": [8, 8, 4096, 4096]}]})")
                  .rfind("Shader G1: a pass asks for 16777216 threads per group", 0),
              0u);
    // A hook of anything but LUMA is refused by the scaler.
    withPasses("Chroma", R"({"passes": [{"hook": "CHROMA", "kernel": "copy", "binds": ["HOOKED"]}]})");
    setShaderDirectoryOverride(d);
    try {
        ShaderScaler scaler(ScaleMethod::parse("Chroma"), 20, 12, 40, 24);
        ADD_FAILURE();
    } catch (const EnhanceError& e) {
        EXPECT_EQ(e.description(), "Shader Chroma hooks CHROMA; only LUMA shaders are run.");
    }
    setShaderDirectoryOverride(std::nullopt);
}

TEST(HookShader, UnusableSizesFailThePictureNotTheService) {
    for (const char* size : {"0", "HOOKED.w -1 *", "1 0 /", "inf", "nan", "99999", "1e300", "0.5"}) {
        SCOPED_TRACE(size);
        const std::string json = R"({"passes": [{"kernel": "copy", "binds": ["HOOKED"], "width": ")" +
                                 std::string(size) + "\"}]}";
        ShaderFiles files("Sized", json, kTwoPassSource);
        ShaderScaler scaler(ScaleMethod::parse("Sized"), 20, 12, 40, 24);
        PictureRef in = makePicture(20, 12);
        reference::fillRandom(*in, 6);
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                scaler.scale(in);
                ADD_FAILURE() << "scaled";
            } catch (const EnhanceError& e) {
                EXPECT_EQ(e.description().rfind("Shader Sized: pass 0 would be ", 0), 0u)
                    << e.description();
            }
        }
        EXPECT_EQ(scaler.takeMs(), 0.0); // nothing counted
    }
    // A zero block size is ignored: the default grid runs the pass.
    const std::string json = R"({"passes": [{"kernel": "copy", "binds": ["HOOKED"],
        "width": "OUTPUT.w", "height": "OUTPUT.h", "compute": [0, 8, 8, 8]}]})";
    ShaderFiles files("Block", json, kTwoPassSource);
    ShaderScaler scaler(ScaleMethod::parse("Block"), 20, 12, 40, 24);
    PictureRef in = makePicture(20, 12);
    reference::fillRandom(*in, 7);
    PictureRef out = scaler.scale(in);
    // Each output sample is the clamped input sample at (x, y) (a copy kernel
    // reading past the input's edge), then copied to the output.
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 40; ++x)
            ASSERT_NEAR(out->row(0, y)[x], in->row(0, std::min(y, 11))[std::min(x, 19)], 64 * 0.26);
}

// ---- The shipped shaders ----

std::vector<uint8_t> unbase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        return c == '+' ? 62 : c == '/' ? 63 : 0;
    };
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 3 < text.size(); i += 4) {
        const uint32_t v = (value(text[i]) << 18) | (value(text[i + 1]) << 12) |
                           (value(text[i + 2]) << 6) | value(text[i + 3]);
        out.push_back(uint8_t(v >> 16));
        if (text[i + 2] != '=') out.push_back(uint8_t(v >> 8));
        if (text[i + 3] != '=') out.push_back(uint8_t(v));
    }
    return out;
}

// The shipped texture `texture` of shader `name` as doubles, four a texel.
std::vector<double> shippedTexture(const std::string& name, const std::string& texture) {
    std::ifstream in(std::string(SOURCE_DIR) + "/shaders/" + name + ".json");
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json description = nlohmann::json::parse(text.str());
    for (const auto& t : description["textures"])
        if (t["name"] == texture) {
            const std::vector<uint8_t> bytes = unbase64(t["data"].get<std::string>());
            std::vector<double> values(bytes.size() / 2);
            for (size_t i = 0; i < values.size(); ++i)
                values[i] = fromHalf(uint16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
            return values;
        }
    return {};
}

class Shipped : public ::testing::Test {
protected:
    void SetUp() override { setShaderDirectoryOverride(std::string(SOURCE_DIR) + "/shaders"); }
    void TearDown() override { setShaderDirectoryOverride(std::nullopt); }
};

// The luma of `in` as the hook textures hold it (half floats), clamp to edge.
struct Luma {
    const Picture& in;
    double operator()(int x, int y) const {
        x = std::clamp(x, 0, in.width - 1);
        y = std::clamp(y, 0, in.height - 1);
        return half(reference::word(in, 0, x, y));
    }
};

// RAVU-style corner (u, v): the four phases, in double precision from the
// same rules as the kernels.
std::array<double, 4> ravuCorner(const Luma& luma, const std::vector<double>& wt, int u, int v) {
    double p[36];
    for (int t = 0; t < 36; ++t) p[t] = luma(u - 3 + t % 6, v - 3 + t / 6);
    const double aw[4] = {0.5, 1, 1, 0.5};
    double a = 0, b = 0, c = 0;
    for (int j = 1; j < 5; ++j)
        for (int i = 1; i < 5; ++i) {
            const double gx = 0.5 * (p[j * 6 + i + 1] - p[j * 6 + i - 1]);
            const double gy = 0.5 * (p[(j + 1) * 6 + i] - p[(j - 1) * 6 + i]);
            const double w = aw[i - 1] * aw[j - 1];
            a += w * gx * gx;
            b += w * gx * gy;
            c += w * gy * gy;
        }
    const double halfTrace = 0.5 * (a + c);
    const double root = std::sqrt(0.25 * (a - c) * (a - c) + b * b);
    const double s1 = std::sqrt(halfTrace + root);
    const double s2 = std::sqrt(std::max(halfTrace - root, 0.0));
    const double coherence = (s1 - s2) / (s1 + s2 + 1e-9);
    double theta = 0.5 * std::atan2(2 * b, a - c);
    if (theta < 0) theta += M_PI;
    const int angle = std::min(int(theta * 24 / M_PI), 23);
    const int strength = (s1 >= wt[0]) + (s1 >= wt[1]);
    const int coh = (coherence >= wt[2]) + (coherence >= wt[3]);
    const int row = 1 + (angle * 3 + strength) * 3 + coh;
    std::array<double, 4> out{};
    const double lo = std::min({p[14], p[15], p[20], p[21]});
    const double hi = std::max({p[14], p[15], p[20], p[21]});
    for (int k = 0; k < 4; ++k) {
        for (int t = 0; t < 36; ++t) out[k] += p[t] * wt[(row * 36 + t) * 4 + k];
        out[k] = half(std::clamp(out[k], lo, hi));
    }
    return out;
}

// Output luma of the RAVU-style shader at 2x.
std::vector<double> ravuReference(const Picture& in) {
    const std::vector<double> wt = shippedTexture("ravu-lite-ar-r3", "RAVU_WEIGHTS");
    const Luma luma{in};
    const int w = in.width, h = in.height;
    std::vector<double> out(4 * w * h);
    for (int v = 0; v <= h; ++v)
        for (int u = 0; u <= w; ++u) {
            const auto cell = ravuCorner(luma, wt, u, v);
            for (int k = 0; k < 4; ++k) {
                const int x = 2 * u - 1 + (k & 1);
                const int y = 2 * v - 1 + (k >> 1);
                if (x >= 0 && y >= 0 && x < 2 * w && y < 2 * h) out[y * 2 * w + x] = cell[k];
            }
        }
    return out;
}

// Output luma of the FSRCNN-style shader at 2x; features rounded to half
// floats between layers as the textures hold them; the result clamped to the
// 2x2 input samples around each output sample.
std::vector<double> fsrReference(const Picture& in) {
    const std::vector<double> v = shippedTexture("FSRCNNX_x2_8-0-4-1", "FSRCNNX_WEIGHTS");
    auto q4 = [&](int index, int k) { return v[index * 4 + k]; };
    const Luma luma{in};
    const int w = in.width, h = in.height;
    std::vector<double> feat(8 * w * h), next(8 * w * h);
    auto at = [&](const std::vector<double>& f, int x, int y, int c) {
        x = std::clamp(x, 0, w - 1);
        y = std::clamp(y, 0, h - 1);
        return f[(y * w + x) * 8 + c];
    };
    auto prelu = [](double x, double a) { return x > 0 ? x : a * x; };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int o = 0; o < 8; ++o) {
                double acc = q4(50 + o / 4, o % 4);
                for (int t = 0; t < 25; ++t)
                    acc += luma(x + t % 5 - 2, y + t / 5 - 2) * q4(2 * t + o / 4, o % 4);
                feat[(y * w + x) * 8 + o] = half(prelu(acc, q4(52 + o / 4, o % 4)));
            }
    for (int l = 0; l < 4; ++l) {
        const int base = 54 + 148 * l;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int o = 0; o < 8; ++o) {
                    double acc = q4(base + 144 + o / 4, o % 4);
                    for (int t = 0; t < 9; ++t)
                        for (int c = 0; c < 8; ++c)
                            acc += at(feat, x + t % 3 - 1, y + t / 3 - 1, c) *
                                   q4(base + (9 * (o / 4) + t) * 8 + c, o % 4);
                    next[(y * w + x) * 8 + o] = half(prelu(acc, q4(base + 146 + o / 4, o % 4)));
                }
        std::swap(feat, next);
    }
    const double even[4] = {-0.0234375, 0.2265625, 0.8671875, -0.0703125};
    const double odd[4] = {-0.0703125, 0.8671875, 0.2265625, -0.0234375};
    std::vector<double> out(4 * w * h);
    for (int Y = 0; Y < 2 * h; ++Y)
        for (int X = 0; X < 2 * w; ++X) {
            const int px = X / 2, py = Y / 2, phx = X & 1, phy = Y & 1, phase = phy * 2 + phx;
            double acc = q4(718, phase);
            for (int t = 0; t < 9; ++t)
                for (int c = 0; c < 8; ++c)
                    acc += at(feat, px + t % 3 - 1, py + t / 3 - 1, c) * q4(646 + 8 * t + c, phase);
            double base = 0;
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 4; ++i)
                    base += luma(px - 2 + phx + i, py - 2 + phy + j) * (phx ? odd[i] : even[i]) *
                            (phy ? odd[j] : even[j]);
            const double lo = std::min({luma(px - 1 + phx, py - 1 + phy), luma(px + phx, py - 1 + phy),
                                        luma(px - 1 + phx, py + phy), luma(px + phx, py + phy)});
            const double hi = std::max({luma(px - 1 + phx, py - 1 + phy), luma(px + phx, py - 1 + phy),
                                        luma(px - 1 + phx, py + phy), luma(px + phx, py + phy)});
            out[Y * 2 * w + X] = half(std::clamp(base + acc, lo, hi));
        }
    return out;
}

// Compares the scaler's 2x luma with a reference in 10-bit codes: the share
// of samples within half a code, and the worst difference.
std::pair<double, double> agreement(const Picture& out, const std::vector<double>& expected) {
    int close = 0;
    double worst = 0;
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            const double d = std::abs(reference::word(out, 0, x, y) -
                                      std::clamp(expected[y * out.width + x], 0.0, 1.0)) * 1023.98;
            close += d <= 0.5;
            worst = std::max(worst, d);
        }
    return {double(close) / (out.width * out.height), worst};
}

TEST_F(Shipped, RavuStyleShaderMatchesItsReference) {
    ShaderScaler scaler(ScaleMethod::parse("ravu-lite"), 36, 20, 72, 40);
    EXPECT_NE(scaler.license()->find("own work"), std::string::npos);
    PictureRef in = makePicture(36, 20);
    reference::fillRandom(*in, 11, 300, 700);
    const auto [share, worst] = agreement(*scaler.scale(in), ravuReference(*in));
    std::printf("ravu: %.4f of samples within half a code, worst %.2f codes\n", share, worst);
    // Rounding may tip a corner into the neighbouring bucket; those stay
    // within the anti-ringing clamp.
    EXPECT_GE(share, 0.99);
    EXPECT_LE(worst, 64.0);
}

TEST_F(Shipped, FsrcnnStyleShaderMatchesItsReference) {
    ShaderScaler scaler(ScaleMethod::parse("fsrcnnx8"), 24, 16, 48, 32);
    EXPECT_NE(scaler.license()->find("own work"), std::string::npos);
    PictureRef in = makePicture(24, 16);
    reference::fillRandom(*in, 12, 300, 700);
    const auto [share, worst] = agreement(*scaler.scale(in), fsrReference(*in));
    std::printf("fsr: %.4f of samples within half a code, worst %.2f codes\n", share, worst);
    EXPECT_GE(share, 0.99);
    EXPECT_LE(worst, 1.5);
}

// A picture with sharp and soft edges at many angles, drawn at 4x4
// supersampling: discs, thin lines, a ramp. 10-bit video-range codes.
std::vector<double> drawnCodes(int w, int h) {
    std::vector<double> codes(w * h);
    auto shade = [](double x, double y) {
        double v = 0.15 + 0.5 * x / 128.0;
        for (int k = 0; k < 5; ++k) {
            const double cx = 20 + 22 * k, cy = 30 + 9 * (k % 3), r = 6 + 2 * k;
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r) v = 0.9 - 0.15 * k;
        }
        for (int k = 0; k < 6; ++k) {
            const double a = 0.3 + 0.45 * k;
            const double d = std::abs((x - 64) * std::sin(a) - (y - 70) * std::cos(a));
            if (d < 0.6 + 0.3 * k && y > 52) v = k % 2 ? 0.05 : 0.95;
        }
        return v;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sum = 0;
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 4; ++i) sum += shade(x + (i + 0.5) / 4, y + (j + 0.5) / 4);
            codes[y * w + x] = sum / 16;
        }
    return codes;
}

double psnrOf(const Picture& out, const std::vector<double>& large) {
    double sum = 0;
    int n = 0;
    for (int y = 4; y < out.height - 4; ++y)
        for (int x = 4; x < out.width - 4; ++x) {
            const double d = out.row(0, y)[x] / 64.0 - (64 + 876 * large[y * out.width + x]);
            sum += d * d;
            ++n;
        }
    return 10 * std::log10(876.0 * 876.0 / (sum / n));
}

TEST_F(Shipped, BothShadersAreSharperThanBicubic) {
    const int W = 128, H = 96;
    const std::vector<double> large = drawnCodes(W, H);
    PictureRef small = makePicture(W / 2, H / 2);
    for (int y = 0; y < H / 2; ++y)
        for (int x = 0; x < W / 2; ++x) {
            const double box = 0.25 * (large[2 * y * W + 2 * x] + large[2 * y * W + 2 * x + 1] +
                                       large[(2 * y + 1) * W + 2 * x] + large[(2 * y + 1) * W + 2 * x + 1]);
            small->row(0, y)[x] = uint16_t(std::lround(64 + 876 * box) * 64);
        }
    for (int y = 0; y < H / 4; ++y)
        for (int x = 0; x < W / 2; ++x) small->row(1, y)[x] = 512 * 64;
    // Worst overshoot in codes of a 2x output beyond the four input samples
    // around each output sample: ringing and halos beside the sharp edges.
    std::map<std::string, double> overshoot;
    auto measure = [&](const std::string& method) {
        ShaderScaler scaler(ScaleMethod::parse(method), W / 2, H / 2, W, H);
        PictureRef out = scaler.scale(small);
        double worst = 0;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const int x0 = std::max((x - 1) >> 1, 0), x1 = std::min(x0 + 1, W / 2 - 1);
                const int y0 = std::max((y - 1) >> 1, 0), y1 = std::min(y0 + 1, H / 2 - 1);
                const double a = small->row(0, y0)[x0], b = small->row(0, y0)[x1];
                const double c = small->row(0, y1)[x0], d = small->row(0, y1)[x1];
                const double v = out->row(0, y)[x];
                worst = std::max({worst, v - std::max({a, b, c, d}), std::min({a, b, c, d}) - v});
            }
        overshoot[method] = worst / 64;
        return psnrOf(*out, large);
    };
    const double bicubic = measure("bicubic");
    const double ravu = measure("ravu-lite");
    const double fsr = measure("fsrcnnx8");
    std::printf("worst overshoot: bicubic %.1f, ravu-lite %.1f, fsrcnnx8 %.1f codes\n", overshoot["bicubic"],
                overshoot["ravu-lite"], overshoot["fsrcnnx8"]);
    // Catmull-Rom itself rings on these steps; both shaders clamp (half
    // float rounding of the textures allows a fraction of a code).
    EXPECT_GT(overshoot["bicubic"], 8.0);
    EXPECT_LE(overshoot["ravu-lite"], 1.0);
    EXPECT_LE(overshoot["fsrcnnx8"], 1.0);
    RecordProperty("bicubic_db", std::to_string(bicubic));
    RecordProperty("ravu_db", std::to_string(ravu));
    RecordProperty("fsrcnnx_db", std::to_string(fsr));
    std::printf("luma PSNR: bicubic %.2f dB, ravu-lite %.2f dB, fsrcnnx8 %.2f dB\n", bicubic, ravu, fsr);
    EXPECT_GE(ravu - bicubic, 1.0);
    EXPECT_GE(fsr - bicubic, 1.5);
}

} // namespace
