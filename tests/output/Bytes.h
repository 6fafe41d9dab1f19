#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvel::test {

// Expected bytes written out by hand: hex pairs (spaces ignored) and ASCII.
class Bytes {
public:
    Bytes& hex(std::string_view text) {
        int high = -1;
        for (char c : text) {
            if (c == ' ') continue;
            int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
            if (v < 0) throw std::invalid_argument("bad hex");
            if (high < 0) high = v;
            else {
                data.push_back(static_cast<uint8_t>(high * 16 + v));
                high = -1;
            }
        }
        return *this;
    }
    Bytes& text(std::string_view s) {
        data.insert(data.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& zeros(size_t n) {
        data.insert(data.end(), n, 0);
        return *this;
    }
    Bytes& unity() { // the unity matrix as the headers carry it
        return hex("00010000 00000000 00000000 00000000 00010000 00000000 00000000 00000000 40000000");
    }
    std::vector<uint8_t> data;
};

inline uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t{b.at(at)} << 24) | (uint32_t{b.at(at + 1)} << 16) | (uint32_t{b.at(at + 2)} << 8) |
           b.at(at + 3);
}

inline std::string hexOf(const std::vector<uint8_t>& b) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (uint8_t v : b) {
        s += d[v >> 4];
        s += d[v & 15];
        s += ' ';
    }
    return s;
}

// A box found in a segment: where it starts and its whole bytes.
struct Box {
    size_t offset = 0;
    std::string type;
    std::vector<uint8_t> bytes;
};

// The boxes directly inside [begin, end) of `b`, read by their size fields.
inline std::vector<Box> children(const std::vector<uint8_t>& b, size_t begin, size_t end) {
    std::vector<Box> out;
    size_t at = begin;
    while (at + 8 <= end) {
        uint32_t size = be32(b, at);
        if (size < 8 || at + size > end) throw std::runtime_error("bad box size at " + std::to_string(at));
        out.push_back({at, std::string(b.begin() + static_cast<long>(at) + 4, b.begin() + static_cast<long>(at) + 8),
                       std::vector<uint8_t>(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + size))});
        at += size;
    }
    if (at != end) throw std::runtime_error("trailing bytes");
    return out;
}

// Where the child boxes of a box of this type begin, relative to the box.
inline size_t childStart(const std::string& type) {
    if (type == "stsd" || type == "dref") return 16;
    if (type == "hvc1") return 86;
    return 8;
}

// The tree as one line of types, e.g. "ftyp moov( mvhd trak( ... ) )", for
// checking the order and nesting of every box.
inline std::string tree(const std::vector<uint8_t>& b, size_t begin, size_t end) {
    static const std::vector<std::string> containers = {"moov", "trak", "mdia", "minf", "dinf", "dref",
                                                        "stbl", "stsd", "hvc1", "mvex", "moof", "traf"};
    std::string out;
    for (const Box& box : children(b, begin, end)) {
        if (!out.empty()) out += ' ';
        out += box.type;
        bool container = false;
        for (const auto& c : containers) container = container || c == box.type;
        // A sound entry copied from elsewhere is not walked into.
        if (container) out += "(" + tree(b, box.offset + childStart(box.type), box.offset + box.bytes.size()) + ")";
    }
    return out;
}

// The box reached by following `path` of types from the top level; "trak#1"
// names the second trak at its level.
inline Box find(const std::vector<uint8_t>& b, const std::vector<std::string>& path) {
    size_t begin = 0;
    size_t end = b.size();
    Box found;
    for (const std::string& step : path) {
        std::string type = step.substr(0, 4);
        size_t skip = step.size() > 5 ? std::stoul(step.substr(5)) : 0;
        bool ok = false;
        for (const Box& box : children(b, begin, end)) {
            if (box.type != type) continue;
            if (skip > 0) {
                --skip;
                continue;
            }
            found = box;
            ok = true;
            break;
        }
        if (!ok) throw std::runtime_error("no box " + step);
        begin = found.offset + childStart(found.type);
        end = found.offset + found.bytes.size();
    }
    return found;
}

} // namespace corvel::test
