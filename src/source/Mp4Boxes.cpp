#include "source/Mp4Boxes.h"

namespace corvel {

namespace {

// True when [at, at + count) lies inside the data, without overflow.
bool inside(const Data& data, size_t at, size_t count) { return at <= data.size() && count <= data.size() - at; }

} // namespace

uint8_t byteAt(const Data& data, size_t at) {
    if (!inside(data, at, 1)) throw TruncatedBox();
    return data[at];
}

uint32_t be16(const Data& data, size_t at) {
    if (!inside(data, at, 2)) throw TruncatedBox();
    return (uint32_t{data[at]} << 8) | data[at + 1];
}

uint32_t be32(const Data& data, size_t at) {
    if (!inside(data, at, 4)) throw TruncatedBox();
    return (be16(data, at) << 16) | be16(data, at + 2);
}

uint64_t be64(const Data& data, size_t at) {
    if (!inside(data, at, 8)) throw TruncatedBox();
    return (uint64_t{be32(data, at)} << 32) | be32(data, at + 4);
}

std::string fourcc(const Data& data, size_t at) {
    if (!inside(data, at, 4)) throw TruncatedBox();
    std::string text;
    for (size_t i = 0; i < 4; ++i) {
        uint8_t c = data[at + i];
        if (c < 0x20 || c > 0x7e) return "????";
        text += static_cast<char>(c);
    }
    return text;
}

Data sub(const Data& data, size_t from, size_t to) {
    if (to < from || !inside(data, from, to - from)) throw TruncatedBox();
    return Data(data.begin() + static_cast<ptrdiff_t>(from), data.begin() + static_cast<ptrdiff_t>(to));
}

std::vector<Box> boxes(const Data& data, size_t from, std::optional<size_t> to) {
    std::vector<Box> list;
    size_t end = to ? std::min(*to, data.size()) : data.size();
    size_t position = from;
    while (position <= end && end - position >= 8) {
        uint64_t size = be32(data, position);
        std::string type = fourcc(data, position + 4);
        size_t header = 8;
        if (size == 0) {
            size = end - position;
        } else if (size == 1) {
            if (end - position < 16) break;
            size = be64(data, position + 8);
            header = 16;
            if (size < 16) break;
        } else if (size < 8) {
            break;
        }
        if (size > end - position) break;
        list.push_back({type, position + header, position + static_cast<size_t>(size)});
        position += static_cast<size_t>(size);
    }
    return list;
}

std::optional<std::pair<size_t, size_t>> child(const Data& data, const std::vector<std::string>& path,
                                               size_t from, std::optional<size_t> to) {
    size_t start = from;
    size_t end = to ? std::min(*to, data.size()) : data.size();
    for (const auto& wanted : path) {
        bool found = false;
        for (const Box& box : boxes(data, start, end)) {
            if (box.type == wanted) {
                start = box.body;
                end = box.end;
                found = true;
                break;
            }
        }
        if (!found) return std::nullopt;
    }
    return std::make_pair(start, end);
}

int pictureBits(const Data& config, bool hevc) {
    if (hevc) return config.size() < 18 ? 8 : 8 + (config[17] & 7);
    if (config.size() < 7) return 8;
    uint8_t profile = config[1];
    if (profile != 100 && profile != 110 && profile != 122 && profile != 244) return 8;
    // The high profiles append chroma format and bit depths after the
    // parameter sets; a record without them implies the profile's default.
    int cutShort = profile == 100 ? 8 : 10;
    size_t at = 6;
    for (int sets = config[5] & 31; sets > 0; --sets) {
        if (!inside(config, at, 2)) return cutShort;
        at += 2 + be16(config, at);
    }
    if (!inside(config, at, 1)) return cutShort;
    int pictureSets = config[at];
    at += 1;
    for (; pictureSets > 0; --pictureSets) {
        if (!inside(config, at, 2)) return cutShort;
        at += 2 + be16(config, at);
    }
    // chroma_format (1 byte), then bit_depth_luma_minus8 (1 byte).
    if (!inside(config, at, 2)) return cutShort;
    return 8 + (config[at + 1] & 7);
}

} // namespace corvel
