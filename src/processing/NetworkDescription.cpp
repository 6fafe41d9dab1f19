#include "processing/NetworkDescription.h"

#include "common/EnhanceError.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace corvel {

namespace {

// Bounds that keep a hostile description from asking for absurd memory or
// work before any weight is read.
constexpr int kMaxChannels = 1024;
constexpr int kMaxSide = 8192;
constexpr int kMaxKernel = 9;
constexpr size_t kMaxLayers = 64;

using nlohmann::json;

[[noreturn]] void invalid(const std::string& label, const std::string& why) {
    throw EnhanceError("The network description " + label + " is not valid: " + why + ".");
}

int intField(const json& object, const char* key, int low, int high, const std::string& label,
             const std::string& where) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer())
        invalid(label, where + " has no whole number \"" + key + "\"");
    const int64_t value = it->get<int64_t>();
    if (value < low || value > high)
        invalid(label, where + "'s \"" + key + "\" is " + std::to_string(value) + ", not " +
                           std::to_string(low) + " ... " + std::to_string(high));
    return static_cast<int>(value);
}

std::string stringField(const json& object, const char* key, const std::string& label) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) invalid(label, std::string("no text \"") + key + "\"");
    return it->get<std::string>();
}

// {"name": ..., "shape": [1, C, H, W]}
void readTensor(const json& root, const char* key, const std::string& label, std::string& name,
                int& channels, int& rows, int& columns) {
    auto it = root.find(key);
    if (it == root.end() || !it->is_object()) invalid(label, std::string("no \"") + key + "\" object");
    name = stringField(*it, "name", label);
    auto shape = it->find("shape");
    if (shape == it->end() || !shape->is_array() || shape->size() != 4)
        invalid(label, std::string("the ") + key + " shape is not [1, channels, rows, columns]");
    for (const json& v : *shape)
        if (!v.is_number_integer()) invalid(label, std::string("the ") + key + " shape holds a non-integer");
    const int64_t dims[4] = {(*shape)[0].get<int64_t>(), (*shape)[1].get<int64_t>(),
                             (*shape)[2].get<int64_t>(), (*shape)[3].get<int64_t>()};
    if (dims[0] != 1 || dims[1] < 1 || dims[1] > kMaxChannels || dims[2] < 1 ||
        dims[2] > kMaxSide || dims[3] < 1 || dims[3] > kMaxSide)
        invalid(label, std::string("the ") + key + " shape is out of range");
    channels = static_cast<int>(dims[1]);
    rows = static_cast<int>(dims[2]);
    columns = static_cast<int>(dims[3]);
}

} // namespace

size_t NetworkDescription::weightCount() const {
    size_t total = 0;
    for (const NetworkLayer& layer : layers)
        if (layer.type == NetworkLayer::Type::Conv)
            total += static_cast<size_t>(layer.outputs) * layer.inputs * layer.kernel * layer.kernel +
                     static_cast<size_t>(layer.outputs);
    return total;
}

double NetworkDescription::multiplyAddsPerCell() const {
    double total = 0;
    double area = 1; // cells of the current tensor per input cell
    for (const NetworkLayer& layer : layers) {
        switch (layer.type) {
        case NetworkLayer::Type::Conv:
            if (layer.upsample) area *= 4;
            total += area * layer.inputs * layer.outputs * layer.kernel * layer.kernel;
            break;
        case NetworkLayer::Type::MaxPool: area /= 4; break;
        case NetworkLayer::Type::DepthToSpace: area *= layer.block * layer.block; break;
        }
    }
    return total;
}

int NetworkDescription::scaleNum() const {
    int num = 1;
    for (const NetworkLayer& layer : layers) {
        if (layer.type == NetworkLayer::Type::Conv && layer.upsample) num *= 2;
        if (layer.type == NetworkLayer::Type::DepthToSpace) num *= layer.block;
    }
    return num;
}

int NetworkDescription::scaleDen() const {
    int den = 1;
    for (const NetworkLayer& layer : layers)
        if (layer.type == NetworkLayer::Type::MaxPool) den *= 2;
    return den;
}

int NetworkDescription::margin() const {
    // Walk the layers with the size of one cell of the current tensor in
    // input cells (num / den); each convolution reaches (kernel - 1) / 2 of
    // its cells further, pooling and nearest upsampling shift by up to one.
    // Rounded up generously: a wider margin only costs time.
    int num = 1;
    int den = 1;
    double total = 0; // in input cells
    for (const NetworkLayer& layer : layers) {
        switch (layer.type) {
        case NetworkLayer::Type::Conv:
            if (layer.upsample) {
                num *= 2;
                total += static_cast<double>(den) / num;
            }
            total += static_cast<double>((layer.kernel - 1) / 2) * den / num;
            break;
        case NetworkLayer::Type::MaxPool:
            den *= 2;
            total += static_cast<double>(den) / num;
            break;
        case NetworkLayer::Type::DepthToSpace: num *= layer.block; break;
        }
    }
    return static_cast<int>(total + 0.999) + 1;
}

NetworkDescription NetworkDescription::parse(std::string_view text, const std::string& label) {
    json root = json::parse(text.begin(), text.end(), nullptr, false);
    if (root.is_discarded()) invalid(label, "it is not JSON");
    if (!root.is_object()) invalid(label, "it is not a JSON object");
    NetworkDescription d;
    d.network = stringField(root, "network", label);
    d.license = stringField(root, "license", label);
    d.weightFile = stringField(root, "weights", label);
    if (d.weightFile.empty() || d.weightFile.find('/') != std::string::npos ||
        d.weightFile == "." || d.weightFile == "..")
        invalid(label, "the weight file must be a plain file name beside the description");
    readTensor(root, "input", label, d.inputName, d.inputChannels, d.inputRows, d.inputColumns);
    readTensor(root, "output", label, d.outputName, d.outputChannels, d.outputRows,
               d.outputColumns);

    auto layers = root.find("layers");
    if (layers == root.end() || !layers->is_array() || layers->empty())
        invalid(label, "it has no layers");
    if (layers->size() > kMaxLayers)
        invalid(label, "it has more than " + std::to_string(kMaxLayers) + " layers");

    // Follow the tensor through the layers: channels, rows, columns.
    int channels = d.inputChannels;
    int64_t rows = d.inputRows;
    int64_t columns = d.inputColumns;
    size_t offset = 0;
    for (size_t i = 0; i < layers->size(); ++i) {
        const json& l = (*layers)[i];
        const std::string where = "layer " + std::to_string(i + 1);
        if (!l.is_object()) invalid(label, where + " is not an object");
        const std::string type = stringField(l, "type", label);
        NetworkLayer layer;
        if (type == "conv") {
            layer.type = NetworkLayer::Type::Conv;
            layer.inputs = intField(l, "inputs", 1, kMaxChannels, label, where);
            layer.outputs = intField(l, "outputs", 1, kMaxChannels, label, where);
            layer.kernel = intField(l, "kernel", 1, kMaxKernel, label, where);
            if (layer.kernel % 2 == 0) invalid(label, where + "'s kernel side is even");
            if (layer.inputs != channels)
                invalid(label, where + " takes " + std::to_string(layer.inputs) +
                                   " channels but is given " + std::to_string(channels));
            const std::string act = l.contains("activation") && l["activation"].is_string()
                                        ? l["activation"].get<std::string>()
                                        : "none";
            if (act == "none") layer.activation = NetworkLayer::Activation::None;
            else if (act == "relu") layer.activation = NetworkLayer::Activation::Relu;
            else if (act == "leaky") layer.activation = NetworkLayer::Activation::Leaky;
            else invalid(label, where + " has an unknown activation");
            if (layer.activation == NetworkLayer::Activation::Leaky) {
                auto s = l.find("slope");
                if (s == l.end() || !s->is_number()) invalid(label, where + " has no leaky slope");
                const double slope = s->get<double>();
                if (!(slope >= -1.0 && slope <= 1.0)) invalid(label, where + "'s slope is out of range");
                layer.slope = static_cast<float>(slope);
            }
            if (l.contains("upsample")) {
                if (!l["upsample"].is_boolean()) invalid(label, where + "'s upsample is not true or false");
                layer.upsample = l["upsample"].get<bool>();
            }
            layer.weightOffset = offset;
            offset += static_cast<size_t>(layer.outputs) * layer.inputs * layer.kernel * layer.kernel +
                      static_cast<size_t>(layer.outputs);
            channels = layer.outputs;
            if (layer.upsample) {
                rows *= 2;
                columns *= 2;
            }
        } else if (type == "maxpool") {
            layer.type = NetworkLayer::Type::MaxPool;
            if (rows % 2 != 0 || columns % 2 != 0)
                invalid(label, where + " pools a tensor of odd size");
            rows /= 2;
            columns /= 2;
        } else if (type == "depthToSpace") {
            layer.type = NetworkLayer::Type::DepthToSpace;
            layer.block = intField(l, "block", 2, 8, label, where);
            if (channels % (layer.block * layer.block) != 0)
                invalid(label, where + "'s channels do not divide into blocks");
            channels /= layer.block * layer.block;
            rows *= layer.block;
            columns *= layer.block;
        } else {
            invalid(label, where + " has the unknown type \"" + type + "\"");
        }
        if (rows > kMaxSide * 4 || columns > kMaxSide * 4)
            invalid(label, where + " makes too large a tensor");
        d.layers.push_back(layer);
    }
    if (channels != d.outputChannels || rows != d.outputRows || columns != d.outputColumns)
        invalid(label, "the layers do not end in the output's shape");
    return d;
}

void NetworkDescription::takeWeights(const uint8_t* bytes, size_t size, const std::string& label) {
    const size_t needed = weightCount() * 2;
    if (size != needed)
        throw EnhanceError("The network weights " + label + " hold " + std::to_string(size) +
                           " bytes; the description needs " + std::to_string(needed) + ".");
    weights.resize(weightCount());
    for (size_t i = 0; i < weights.size(); ++i)
        weights[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

namespace {
std::vector<uint8_t> readFile(const std::filesystem::path& path, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EnhanceError("The network file " + path.string() + " cannot be read.");
    std::vector<uint8_t> bytes;
    char chunk[65536];
    while (in) {
        in.read(chunk, sizeof chunk);
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
        if (bytes.size() > limit)
            throw EnhanceError("The network file " + path.string() + " is too large.");
    }
    if (in.bad()) throw EnhanceError("The network file " + path.string() + " cannot be read.");
    return bytes;
}
} // namespace

NetworkDescription NetworkDescription::load(const std::string& path) {
    const std::filesystem::path p(path);
    const std::vector<uint8_t> text = readFile(p, 1 << 20);
    NetworkDescription d = parse(
        std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), p.filename().string());
    const std::filesystem::path weightPath = p.parent_path() / d.weightFile;
    // The description already fixed the exact size; refuse to read more.
    const std::vector<uint8_t> weights = readFile(weightPath, d.weightCount() * 2 + 1);
    d.takeWeights(weights.data(), weights.size(), d.weightFile);
    return d;
}

} // namespace corvel
