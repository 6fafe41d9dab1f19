#include "processing/DevicePicture.h"

#include "common/EnhanceError.h"

#include <cassert>
#include <cstring>

namespace corvel {

StorageFactory deviceStorage(std::shared_ptr<compute::ComputeContext> context) {
    return [context](size_t bytes) -> std::unique_ptr<PictureStorage> {
        return std::make_unique<DeviceStorage>(context, bytes);
    };
}

namespace {
DevicePlanes planesOf(const Picture& picture, cl_mem mem) {
    DevicePlanes planes;
    planes.mem = mem;
    planes.lumaOffset = 0;
    planes.chromaOffset = static_cast<cl_uint>(picture.plane(1) - picture.plane(0));
    planes.stride = static_cast<cl_int>(picture.stride);
    return planes;
}

DeviceStorage* deviceStorageOf(Picture& picture, const compute::ComputeContext& context) {
    auto* storage = dynamic_cast<DeviceStorage*>(&picture.storage());
    if (storage && &storage->buffer().context() == &context) return storage;
    return nullptr;
}
} // namespace

DevicePlanes PictureBinder::input(Picture& picture, compute::ComputeQueue& queue) {
    if (DeviceStorage* storage = deviceStorageOf(picture, *context_)) {
        storage->buffer().toDevice(queue);
        return planesOf(picture, storage->buffer().mem());
    }
    // Both planes, padding included, as one block: the planes of a Picture
    // are adjacent in its storage.
    const size_t bytes = Picture::bytesFor(picture.height, picture.stride);
    if (!staging_ || staging_->bytes() != bytes)
        staging_ = std::make_unique<compute::SharedBuffer>(context_, bytes);
    if (context_->zeroCopy()) {
        // The staging buffer is host memory the device reads in place. The
        // queue is idle here (every stage waits for its work), so writing
        // it cannot race with a kernel still reading it.
        queue.finish();
        std::memcpy(staging_->host(), picture.plane(0), bytes);
    } else {
        queue.write(staging_->mem(), 0, bytes, picture.plane(0));
    }
    return planesOf(picture, staging_->mem());
}

DevicePlanes PictureBinder::borrowInput(Picture& picture, compute::ComputeQueue& queue) {
    borrowed_.reset();
    if (!context_->zeroCopy() || deviceStorageOf(picture, *context_)) return input(picture, queue);
    // The device works on host memory here: a buffer made over the
    // picture's own samples (both planes, padding included) is read in
    // place, without the picture-size staging copy. Made afresh each time:
    // the samples it sees are those at its creation.
    const size_t bytes = Picture::bytesFor(picture.height, picture.stride);
    cl_int status = CL_SUCCESS;
    borrowed_.reset(clCreateBuffer(context_->context(), CL_MEM_READ_ONLY | CL_MEM_USE_HOST_PTR,
                                   bytes, picture.plane(0), &status));
    if (status != CL_SUCCESS || !borrowed_) {
        borrowed_.reset();
        return input(picture, queue); // the staging copy still works
    }
    return planesOf(picture, borrowed_.get());
}

DevicePlanes PictureBinder::output(Picture& picture) {
    auto* storage = dynamic_cast<DeviceStorage*>(&picture.storage());
    assert(storage && "stage outputs come from device pools");
    return planesOf(picture, storage->buffer().mem());
}

void PictureBinder::written(Picture& picture, compute::ComputeQueue& queue) {
    auto* storage = dynamic_cast<DeviceStorage*>(&picture.storage());
    assert(storage);
    storage->buffer().toHost(queue);
}

std::string sizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

void requireSize(const PictureRef& picture, int width, int height, const std::string& stage) {
    if (picture && picture->width == width && picture->height == height) return;
    throw EnhanceError(stage + " takes " + sizeText(width, height) + " pictures and was given " +
                       (picture ? sizeText(picture->width, picture->height) : "none") + ".");
}

PictureRef takeOutput(PicturePool& pool, const std::string& failure) {
    try {
        return pool.take();
    } catch (const EnhanceError&) {
        throw EnhanceError(failure);
    }
}

} // namespace corvel
