#include "platform/PixelBufferPool.hpp"

namespace velorinth {

PixelBufferPool::PixelBufferPool(int width, int height, std::size_t capacity)
    : width_(width), height_(height), shelf_(std::make_shared<Shelf>()) {
    shelf_->capacity = capacity;
}

std::shared_ptr<PixelBuffer> PixelBufferPool::acquire() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(shelf_->mutex);
        if (!shelf_->free.empty()) {
            buffer = std::move(shelf_->free.back());
            shelf_->free.pop_back();
        }
    }
    if (!buffer) buffer = std::make_unique<PixelBuffer>(width_, height_);
    // The buffer goes back to the shelf, if the pool still stands and has room.
    return std::shared_ptr<PixelBuffer>(buffer.release(), [weak = std::weak_ptr<Shelf>(shelf_)](PixelBuffer* released) {
        std::unique_ptr<PixelBuffer> owned(released);
        if (const auto shelf = weak.lock()) {
            std::lock_guard lock(shelf->mutex);
            if (shelf->free.size() < shelf->capacity) shelf->free.push_back(std::move(owned));
        }
    });
}

} // namespace velorinth
