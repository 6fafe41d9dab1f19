#pragma once

#include "compute/SharedBuffer.h"
#include "processing/Picture.h"

#include <memory>
#include <string>

namespace corvel {

// Picture memory that is also a compute buffer: kernels read and write the
// samples in place (zero-copy contexts) or through one upload and one
// download per picture (copy contexts).
class DeviceStorage final : public PictureStorage {
public:
    DeviceStorage(std::shared_ptr<compute::ComputeContext> context, size_t bytes)
        : buffer_(std::move(context), bytes) {}
    uint16_t* data() override { return static_cast<uint16_t*>(buffer_.host()); }
    size_t bytes() const override { return buffer_.bytes(); }
    void recycled() override { buffer_.hostChanged(); }
    compute::SharedBuffer& buffer() { return buffer_; }

private:
    compute::SharedBuffer buffer_;
};

// "WxH", as stages write sizes in their messages.
std::string sizeText(int width, int height);

// What every stage checks before it touches a picture: throws EnhanceError
// "<stage> takes WxH pictures and was given WxH." (or "... given none.")
// unless `picture` has the stage's size. Kernels read plain buffers, so a
// picture of another size would be read out of bounds.
void requireSize(const PictureRef& picture, int width, int height, const std::string& stage);

// A picture from a stage's output pool; EnhanceError `failure` when none can
// be had.
PictureRef takeOutput(PicturePool& pool, const std::string& failure);

// A factory for PicturePool whose pictures live in `context`'s buffers.
StorageFactory deviceStorage(std::shared_ptr<compute::ComputeContext> context);

// Where a picture's planes are for a kernel: the buffer, both planes'
// offsets and the shared stride, in 16-bit words.
struct DevicePlanes {
    cl_mem mem = nullptr;
    cl_uint lumaOffset = 0;
    cl_uint chromaOffset = 0;
    cl_int stride = 0;
};

// Hands pictures to one stage's kernels. A picture in device storage of the
// stage's context is used in place; any other picture (host memory, another
// context) is uploaded into a staging buffer that the binder keeps for the
// next picture of the same size.
class PictureBinder {
public:
    explicit PictureBinder(std::shared_ptr<compute::ComputeContext> context)
        : context_(std::move(context)) {}

    // The planes of an input picture, current on the device. Blocks for an
    // upload when one is needed.
    DevicePlanes input(Picture& picture, compute::ComputeQueue& queue);
    // As input, but on a zero-copy context a picture in host memory is
    // handed to the device in place (a buffer over its own samples) instead
    // of being copied into the staging buffer. The picture must stay alive
    // and unwritten until the work reading it has finished and
    // releaseBorrowed() was called (at the latest by the next input).
    DevicePlanes borrowInput(Picture& picture, compute::ComputeQueue& queue);
    // Lets go of the buffer over the last borrowed picture (its work done).
    void releaseBorrowed() { borrowed_.reset(); }
    // Bytes of the staging buffer kept for pictures that are copied (0
    // when none was needed).
    size_t stagingBytes() const { return staging_ ? staging_->bytes() : 0; }
    // The planes of an output picture, which must come from a pool with
    // device storage of this context.
    static DevicePlanes output(Picture& picture);
    // After the queue finished writing `picture`: makes its host copy
    // current (a download on copy contexts only).
    static void written(Picture& picture, compute::ComputeQueue& queue);

private:
    std::shared_ptr<compute::ComputeContext> context_;
    std::unique_ptr<compute::SharedBuffer> staging_;
    compute::Mem borrowed_; // over a borrowed picture's samples, until released
};

} // namespace corvel
