#pragma once

#include "source/HTTPClient.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvel {

// One box of an ISO base media file: its four-character type, where its
// payload starts (after the 8- or 16-byte header) and one past its end, both
// byte indexes into the buffer walked.
struct Box {
    std::string type;
    size_t body = 0;
    size_t end = 0;
};

// Thrown by the byte readers when a field runs past the buffer. The MP4
// reader turns it into an EnhanceError naming the part.
struct TruncatedBox : std::out_of_range {
    TruncatedBox() : std::out_of_range("field past the end of the box") {}
};

// The boxes laid end to end in data[from, to) (to: the end of the data when
// absent). Stops at the first header that is cut short, too small or that
// runs past the end; never reads outside the range.
std::vector<Box> boxes(const Data& data, size_t from, std::optional<size_t> to = std::nullopt);

// Follows `path` downward, taking the first box of each wanted type; the body
// range of the last one, or none when a step is missing. An empty path gives
// the starting range.
std::optional<std::pair<size_t, size_t>> child(const Data& data, const std::vector<std::string>& path,
                                               size_t from, std::optional<size_t> to = std::nullopt);

// Big-endian readers; each throws TruncatedBox when the field does not lie
// wholly inside `data`.
uint32_t be16(const Data& data, size_t at);
uint32_t be32(const Data& data, size_t at);
uint64_t be64(const Data& data, size_t at);
uint8_t byteAt(const Data& data, size_t at);
// Four bytes as text, or "????" when they are not printable ASCII.
std::string fourcc(const Data& data, size_t at);
// A copy of data[from, to), re-indexed from 0.
Data sub(const Data& data, size_t from, size_t to);

// Luma bit depth from an avcC or hvcC body (8 when the record does not say).
int pictureBits(const Data& config, bool hevc);

} // namespace corvel
