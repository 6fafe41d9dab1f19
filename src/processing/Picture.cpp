#include "processing/Picture.h"

#include "common/EnhanceError.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace corvel {

namespace {

class HostStorage final : public PictureStorage {
public:
    explicit HostStorage(size_t bytes) : bytes_(bytes) {
        // aligned_alloc wants a multiple of the alignment.
        size_t rounded = (bytes + 63) / 64 * 64;
        data_ = static_cast<uint16_t*>(std::aligned_alloc(64, rounded == 0 ? 64 : rounded));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    ~HostStorage() override { std::free(data_); }
    uint16_t* data() override { return data_; }
    size_t bytes() const override { return bytes_; }

private:
    uint16_t* data_ = nullptr;
    size_t bytes_;
};

} // namespace

std::unique_ptr<PictureStorage> makeHostStorage(size_t bytes) {
    return std::make_unique<HostStorage>(bytes);
}

namespace {
std::atomic<int64_t> liveStorageBytes{0};

void checkSize(int w, int h) {
    if (!Picture::usableSize(w, h))
        throw EnhanceError("No " + std::to_string(w) + "x" + std::to_string(h) + " picture.");
}
} // namespace

bool Picture::usableSize(int width, int height) {
    return width > 0 && height > 0 && width % 2 == 0 && height % 2 == 0 && width <= 16384 && height <= 16384;
}

size_t Picture::bytesFor(int height, size_t stride) {
    size_t rows = static_cast<size_t>(height) + static_cast<size_t>(height) / 2;
    return rows * stride * sizeof(uint16_t);
}

size_t Picture::strideFor(int width) { return (static_cast<size_t>(width) + 31) / 32 * 32; }

Picture::Picture(int w, int h, size_t s, std::unique_ptr<PictureStorage> storage)
    : width(w), height(h), stride(s), storage_(std::move(storage)) {
    checkSize(w, h);
    if (s < static_cast<size_t>(w) || !storage_ ||
        storage_->bytes() < bytesFor(h, s)) {
        throw EnhanceError("No " + std::to_string(w) + "x" + std::to_string(h) + " picture.");
    }
    luma_ = storage_->data();
    chroma_ = luma_ + static_cast<size_t>(h) * s;
    liveStorageBytes += static_cast<int64_t>(storage_->bytes());
}

// Only a fully made picture was counted: a constructor that threw never runs
// this destructor.
Picture::~Picture() { liveStorageBytes -= static_cast<int64_t>(storage_->bytes()); }

int64_t Picture::liveBytes() { return liveStorageBytes.load(); }

struct PicturePool::Shared {
    std::mutex lock;
    std::vector<std::unique_ptr<Picture>> free;
    size_t minKept = 4;
    StorageFactory factory;
};

PicturePool::PicturePool(int width, int height, size_t minKept, StorageFactory factory)
    : width_(width), height_(height), shared_(std::make_shared<Shared>()) {
    shared_->minKept = minKept;
    shared_->factory = factory ? std::move(factory) : StorageFactory(makeHostStorage);
}

PicturePool::~PicturePool() = default;

PictureRef PicturePool::take() {
    std::unique_ptr<Picture> picture;
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        if (!shared_->free.empty()) {
            picture = std::move(shared_->free.back());
            shared_->free.pop_back();
        }
    }
    if (!picture) {
        checkSize(width_, height_);
        size_t stride = Picture::strideFor(width_);
        try {
            picture = std::make_unique<Picture>(
                width_, height_, stride, shared_->factory(Picture::bytesFor(height_, stride)));
        } catch (const std::bad_alloc&) {
            throw EnhanceError("No " + std::to_string(width_) + "x" + std::to_string(height_) +
                               " picture.");
        }
    }
    picture->color = {};
    picture->storage().recycled();
    // The deleter holds the pool's shared state weakly: a picture that
    // outlives its pool is simply freed.
    std::weak_ptr<Shared> weak = shared_;
    return PictureRef(picture.release(), [weak](Picture* p) {
        std::unique_ptr<Picture> owned(p);
        if (auto shared = weak.lock()) {
            std::lock_guard<std::mutex> guard(shared->lock);
            if (shared->free.size() < shared->minKept) shared->free.push_back(std::move(owned));
        }
    });
}

size_t PicturePool::freeCount() const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->free.size();
}

PictureRef makePicture(int width, int height) {
    checkSize(width, height);
    size_t stride = Picture::strideFor(width);
    return std::make_shared<Picture>(width, height, stride,
                                     makeHostStorage(Picture::bytesFor(height, stride)));
}

void fillPicture(Picture& picture, int y, int cb, int cr) {
    for (int row = 0; row < picture.height; ++row) {
        uint16_t* p = picture.row(0, row);
        for (int x = 0; x < picture.width; ++x) p[x] = static_cast<uint16_t>(y << 6);
    }
    for (int row = 0; row < picture.height / 2; ++row) {
        uint16_t* p = picture.row(1, row);
        for (int x = 0; x < picture.width; x += 2) {
            p[x] = static_cast<uint16_t>(cb << 6);
            p[x + 1] = static_cast<uint16_t>(cr << 6);
        }
    }
}

} // namespace corvel
