#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace corvel {

// The colour and HDR description that travels with a picture. The colour
// fields hold the constants of common/SourceColor.h, empty
// when the picture does not say.
struct PictureColor {
    std::string primaries;
    std::string transfer;
    std::string matrix;
    std::vector<uint8_t> masteringDisplay;  // 24-byte big-endian blob or empty
    std::vector<uint8_t> contentLightLevel; // 4-byte big-endian blob or empty

    bool operator==(const PictureColor&) const = default;
};

// Where a picture's samples live. The default keeps them in aligned host
// memory; the compute layer provides storage that the device reads without a
// copy. `data` must stay valid and fixed for the storage's lifetime.
class PictureStorage {
public:
    virtual ~PictureStorage() = default;
    virtual uint16_t* data() = 0;
    virtual size_t bytes() const = 0;
    // Called when a pool hands the picture out again: its samples are about
    // to be written afresh (storage that keeps a device copy marks it stale).
    virtual void recycled() {}
};

using StorageFactory = std::function<std::unique_ptr<PictureStorage>(size_t bytes)>;

// Aligned host memory (64-byte rows for vector loads).
std::unique_ptr<PictureStorage> makeHostStorage(size_t bytes);

// A 10-bit 4:2:0 picture in two planes: plane 0 is luma, one 16-bit word per
// sample; plane 1 holds interleaved Cb, Cr pairs at half width and half
// height. Each word holds the 10-bit code in its upper ten bits (code x 64),
// video range. Both planes share `stride`, counted in 16-bit words, so a row
// of plane 1 (width/2 pairs of words) has the same length as a luma row.
// Widths and heights are even.
struct Picture {
    int width = 0;
    int height = 0;
    size_t stride = 0; // in 16-bit words, >= width
    PictureColor color;

    uint16_t* plane(int index) { return index == 0 ? luma_ : chroma_; }
    const uint16_t* plane(int index) const { return index == 0 ? luma_ : chroma_; }
    int planeHeight(int index) const { return index == 0 ? height : height / 2; }
    uint16_t* row(int index, int y) { return plane(index) + static_cast<size_t>(y) * stride; }
    const uint16_t* row(int index, int y) const {
        return plane(index) + static_cast<size_t>(y) * stride;
    }
    // The storage, for stages that hand the memory to the compute device.
    PictureStorage& storage() { return *storage_; }
    const PictureStorage& storage() const { return *storage_; }

    // The bytes a picture of this size needs: both planes at the given stride.
    static size_t bytesFor(int height, size_t stride);
    // The stride used for a width: rounded up to 32 words (64 bytes).
    static size_t strideFor(int width);
    // Sizes a picture may have: positive, even (4:2:0 chroma), and small
    // enough that byte counts cannot overflow (16384 covers every output
    // this service makes).
    static bool usableSize(int width, int height);

    // A picture owning `storage`, which must hold bytesFor(height, stride).
    Picture(int width, int height, size_t stride, std::unique_ptr<PictureStorage> storage);
    ~Picture();
    // A picture stays where it was made: pools and holders share it by pointer.
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    // Bytes of sample storage held by every picture alive in the process
    // (pooled or in use, host or device storage). What an idle service still
    // holds here is memory its pools kept; the idle release brings it to 0.
    static int64_t liveBytes();

private:
    std::unique_ptr<PictureStorage> storage_;
    uint16_t* luma_ = nullptr;
    uint16_t* chroma_ = nullptr;
};

using PictureRef = std::shared_ptr<Picture>;

// Hands out pictures of one size. A picture goes back to the pool when its
// last holder lets go; the pool keeps at least `minKept` free pictures for
// reuse and frees the rest. Pictures may outlive the pool. Thread-safe.
class PicturePool {
public:
    PicturePool(int width, int height, size_t minKept = 4, StorageFactory factory = {});
    ~PicturePool();
    PicturePool(const PicturePool&) = delete;
    PicturePool& operator=(const PicturePool&) = delete;

    // A picture with undefined samples and no colour. Throws EnhanceError
    // "No WxH picture." when the memory cannot be had.
    PictureRef take();

    int width() const { return width_; }
    int height() const { return height_; }
    // Free pictures held for reuse (for tests).
    size_t freeCount() const;

private:
    struct Shared;
    int width_;
    int height_;
    std::shared_ptr<Shared> shared_;
};

// A new picture outside any pool (tests, one-shot tools).
PictureRef makePicture(int width, int height);

// Sets every sample: luma code `y`, chroma codes `cb`, `cr` (10-bit codes).
void fillPicture(Picture& picture, int y, int cb, int cr);

} // namespace corvel
