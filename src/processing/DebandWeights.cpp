#include "processing/DebandWeights.h"

#include "common/EnhanceError.h"

#include <nlohmann/json.hpp>

#include <array>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

namespace corvel {

namespace {

struct Shape {
    int cout, cin, k;
};
constexpr std::array<Shape, 4> kShapes{{{32, 16, 7}, {64, 32, 5}, {32, 64, 3}, {8, 32, 3}}};

// The .bin file is never read past this: the four layers need under 200 KB,
// so anything much larger is not a weight file of this network.
constexpr size_t kMaxBinBytes = 16u << 20;

std::string missingText(const std::string& directory) {
    return std::string(DebandWeights::kJsonName) + " / .bin missing or unreadable in " + directory;
}

// An integer member as a non-negative size; nullopt when absent, not an
// integer or negative.
std::optional<uint64_t> sizeMember(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_number_unsigned()) return it->get<uint64_t>();
    if (it->is_number_integer()) {
        const int64_t v = it->get<int64_t>();
        if (v < 0) return std::nullopt;
        return static_cast<uint64_t>(v);
    }
    return std::nullopt;
}

// A shape member as written, for the layer message; nullopt when it is not an
// integer at all.
std::optional<int64_t> shapeMember(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !(it->is_number_integer() || it->is_number_unsigned()))
        return std::nullopt;
    if (it->is_number_unsigned()) {
        const uint64_t v = it->get<uint64_t>();
        return v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                   ? std::numeric_limits<int64_t>::max()
                   : static_cast<int64_t>(v);
    }
    return it->get<int64_t>();
}

std::vector<uint8_t> readFile(const std::filesystem::path& path, size_t limit, bool& ok) {
    ok = false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::vector<uint8_t> bytes;
    char chunk[65536];
    while (in) {
        in.read(chunk, sizeof chunk);
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
        if (bytes.size() > limit) return {};
    }
    ok = !in.bad();
    return bytes;
}

} // namespace

DebandWeights DebandWeights::parse(std::string_view text, const uint8_t* bin, size_t binSize,
                                   const std::string& directory) {
    // Throws nlohmann's parse_error: its message is the parser's own text.
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw EnhanceError(e.what());
    }
    if (!json.is_object()) throw EnhanceError(missingText(directory));
    auto layersIt = json.find("layers");
    if (layersIt == json.end() || !layersIt->is_array() || layersIt->size() != kShapes.size())
        throw EnhanceError(missingText(directory));

    DebandWeights out;
    if (auto lic = json.find("license"); lic != json.end() && lic->is_string())
        out.license = lic->get<std::string>();

    NetworkDescription& net = out.network;
    net.network = "truehdr-debander";
    net.license = out.license;
    net.inputChannels = 16;
    net.outputChannels = 8;
    std::vector<uint16_t>& halves = net.weights;

    for (size_t i = 0; i < kShapes.size(); ++i) {
        const nlohmann::json& layer = (*layersIt)[i];
        if (!layer.is_object()) throw EnhanceError(missingText(directory));
        const auto cout = shapeMember(layer, "cout");
        const auto cin = shapeMember(layer, "cin");
        const auto k = shapeMember(layer, "k");
        if (!cout || !cin || !k) throw EnhanceError(missingText(directory));
        const Shape& want = kShapes[i];
        if (*cout != want.cout || *cin != want.cin || *k != want.k)
            throw EnhanceError("debander layer " + std::to_string(i) + " is " +
                               std::to_string(*cout) + " x " + std::to_string(*cin) + " x " +
                               std::to_string(*k) + ", not the network's");

        const uint64_t weightCount = static_cast<uint64_t>(want.cout) * want.cin * want.k * want.k;
        const uint64_t biasCount = static_cast<uint64_t>(want.cout);
        const auto weightAt = sizeMember(layer, "weight");
        const auto biasAt = sizeMember(layer, "bias");
        // Offsets are compared against the size before any addition that
        // could wrap.
        auto fits = [&](const std::optional<uint64_t>& at, uint64_t count) {
            return at && *at <= binSize && count * 2 <= binSize - *at;
        };
        if (!fits(weightAt, weightCount) || !fits(biasAt, biasCount))
            throw EnhanceError(std::string(kJsonName) + " points past " + kBinName);

        NetworkLayer conv;
        conv.type = NetworkLayer::Type::Conv;
        conv.inputs = want.cin;
        conv.outputs = want.cout;
        conv.kernel = want.k;
        conv.activation = i == 3 ? NetworkLayer::Activation::Relu : NetworkLayer::Activation::Leaky;
        conv.slope = 0.1f;
        conv.upsample = i >= 2;
        conv.weightOffset = halves.size();
        auto take = [&](uint64_t at, uint64_t count) {
            for (uint64_t n = 0; n < count; ++n)
                halves.push_back(static_cast<uint16_t>(bin[at + 2 * n] | (bin[at + 2 * n + 1] << 8)));
        };
        take(*weightAt, weightCount);
        take(*biasAt, biasCount);
        net.layers.push_back(conv);
        if (i == 0) {
            NetworkLayer pool;
            pool.type = NetworkLayer::Type::MaxPool;
            net.layers.push_back(pool);
        }
    }
    out.floatCount = halves.size();
    return out;
}

DebandWeights DebandWeights::load(const std::optional<std::string>& directory) {
    if (!directory) throw EnhanceError(missingText("(no shader directory)"));
    const std::filesystem::path dir(*directory);
    bool jsonOk = false;
    bool binOk = false;
    const std::vector<uint8_t> json = readFile(dir / kJsonName, 1u << 20, jsonOk);
    const std::vector<uint8_t> bin = readFile(dir / kBinName, kMaxBinBytes, binOk);
    if (!jsonOk || !binOk) throw EnhanceError(missingText(*directory));
    return parse(std::string_view(reinterpret_cast<const char*>(json.data()), json.size()),
                 bin.data(), bin.size(), *directory);
}

} // namespace corvel
