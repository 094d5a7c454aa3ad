#pragma once

#include "platform/PixelBuffer.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace velorinth {

// Buffers of one size, reused: a buffer whose last holder lets go comes back
// here (up to `capacity` are kept), so a steady stream allocates nothing. Any
// thread; buffers may outlive the pool.
class PixelBufferPool {
public:
    PixelBufferPool(int width, int height, std::size_t capacity);
    PixelBufferPool(const PixelBufferPool&) = delete;
    PixelBufferPool& operator=(const PixelBufferPool&) = delete;

    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }

    // A free buffer, or a new one; its content is whatever it last held.
    std::shared_ptr<PixelBuffer> acquire();

private:
    struct Shelf {
        std::mutex mutex;
        std::vector<std::unique_ptr<PixelBuffer>> free;
        std::size_t capacity;
    };

    int width_;
    int height_;
    std::shared_ptr<Shelf> shelf_;
};

} // namespace velorinth
