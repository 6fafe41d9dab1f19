#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvel {

// The byte builder of the segment writers: big-endian integers, ASCII, and
// boxes whose 32-bit size is written over a placeholder once their contents
// are complete.
class BoxWriter {
public:
    std::vector<uint8_t> bytes;

    size_t size() const { return bytes.size(); }
    void u8(uint32_t value) { bytes.push_back(static_cast<uint8_t>(value)); }
    void u16(uint32_t value) {
        u8(value >> 8);
        u8(value);
    }
    void u32(uint32_t value) {
        u16(value >> 16);
        u16(value & 0xFFFF);
    }
    void u64(uint64_t value) {
        u32(static_cast<uint32_t>(value >> 32));
        u32(static_cast<uint32_t>(value));
    }
    void zeros(size_t count) { bytes.insert(bytes.end(), count, 0); }
    void ascii(std::string_view text) { bytes.insert(bytes.end(), text.begin(), text.end()); }
    void append(const std::vector<uint8_t>& data) { bytes.insert(bytes.end(), data.begin(), data.end()); }
    void append(const uint8_t* data, size_t count) { bytes.insert(bytes.end(), data, data + count); }
    void put32(size_t offset, uint32_t value) {
        bytes[offset] = static_cast<uint8_t>(value >> 24);
        bytes[offset + 1] = static_cast<uint8_t>(value >> 16);
        bytes[offset + 2] = static_cast<uint8_t>(value >> 8);
        bytes[offset + 3] = static_cast<uint8_t>(value);
    }
    // The unity transformation matrix of movie and track headers (36 bytes).
    void matrix() {
        for (uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) u32(v);
    }

    // Starts a box: a size placeholder and the type. Returns its offset for end().
    size_t begin(std::string_view type) {
        size_t at = bytes.size();
        u32(0);
        ascii(type);
        return at;
    }
    // Starts a full box: as begin(), then the version and the 24-bit flags.
    size_t beginFull(std::string_view type, uint8_t version, uint32_t flags) {
        size_t at = begin(type);
        u8(version);
        u8(flags >> 16);
        u16(flags & 0xFFFF);
        return at;
    }
    // Writes the size of the box started at `at`, now that its contents are complete.
    void end(size_t at) { put32(at, static_cast<uint32_t>(bytes.size() - at)); }
};

} // namespace corvel
