#include "processing/HookDescription.h"

#include "common/EnhanceError.h"

#include <nlohmann/json.hpp>

namespace corvel {

namespace {

using json = nlohmann::json;

std::optional<std::string> stringKey(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

const json* arrayKey(const json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_array() ? &*it : nullptr;
}

HookDescription::Pass readPass(const json& object) {
    HookDescription::Pass pass;
    if (!object.is_object()) return pass;
    pass.kernel = stringKey(object, "kernel");
    if (const json* binds = arrayKey(object, "binds"))
        for (const json& bind : *binds)
            pass.binds.push_back(bind.is_string() ? bind.get<std::string>() : std::string());
    pass.save = stringKey(object, "save");
    pass.width = stringKey(object, "width");
    pass.height = stringKey(object, "height");
    pass.when = stringKey(object, "when");
    if (auto c = object.find("components");
        c != object.end() && c->is_number_integer() && c->get<int64_t>() == 1)
        pass.components = 1;
    if (const json* c = arrayKey(object, "compute"); c && c->size() == 4) {
        std::array<int, 4> values{};
        for (size_t k = 0; k < 4; ++k) {
            const json& v = (*c)[k];
            if (!v.is_number_integer() || v.get<int64_t>() < 1 || v.get<int64_t>() > 4096)
                return pass;
            values[k] = static_cast<int>(v.get<int64_t>());
        }
        pass.compute = values;
    }
    return pass;
}

} // namespace

std::optional<std::vector<uint8_t>> decodeBase64(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            // '=' only in the last two places of the last quad.
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0) return std::nullopt;
            v[k] = value(c);
            if (v[k] < 0) return std::nullopt;
        }
        const uint32_t bits = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) |
                              (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        out.push_back(uint8_t(bits >> 16));
        if (pad < 2) out.push_back(uint8_t(bits >> 8));
        if (pad < 1) out.push_back(uint8_t(bits));
    }
    return out;
}

std::optional<HookDescription> HookDescription::parse(std::string_view text) {
    json description;
    try {
        description = json::parse(text);
    } catch (const json::exception& e) {
        throw EnhanceError(e.what());
    }
    if (!description.is_object()) return std::nullopt;

    HookDescription d;
    if (auto license = stringKey(description, "license")) d.license = *license;
    if (const json* passes = arrayKey(description, "passes")) {
        if (!passes->empty() && (*passes)[0].is_object())
            if (auto hook = stringKey((*passes)[0], "hook")) d.hooked = *hook;
        for (const json& pass : *passes) d.passes.push_back(readPass(pass));
    }
    if (const json* textures = arrayKey(description, "textures")) {
        for (const json& entry : *textures) {
            if (!entry.is_object()) continue;
            Texture texture;
            const std::optional<std::string> name = stringKey(entry, "name");
            const std::optional<std::string> data = stringKey(entry, "data");
            auto w = entry.find("width");
            auto h = entry.find("height");
            if (!name || !data || w == entry.end() || h == entry.end() ||
                !w->is_number_integer() || !h->is_number_integer())
                continue;
            std::optional<std::vector<uint8_t>> bytes = decodeBase64(*data);
            if (!bytes) continue; // undecodable: skipped like an incomplete entry
            texture.name = *name;
            texture.width = w->get<int64_t>();
            texture.height = h->get<int64_t>();
            texture.data = std::move(*bytes);
            d.textures.push_back(std::move(texture));
        }
    }
    return d;
}

} // namespace corvel
