#include "platform/PixelBuffer.hpp"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace velorinth {

namespace {

int aligned(int bytes) {
    return (bytes + PixelBuffer::kRowAlignment - 1) / PixelBuffer::kRowAlignment * PixelBuffer::kRowAlignment;
}

} // namespace

void PixelBuffer::Free::operator()(std::uint8_t* memory) const noexcept { std::free(memory); }

PixelBuffer::PixelBuffer(int width, int height) : width_(width), height_(height) {
    if (width < 1 || height < 1 || width > kMaximumSide || height > kMaximumSide) {
        throw std::invalid_argument("pixel buffer size out of range");
    }
    strides_[0] = aligned(width);
    strides_[1] = aligned((width + 1) / 2 * 2);
    const std::size_t lumaBytes = static_cast<std::size_t>(strides_[0]) * static_cast<std::size_t>(height);
    const std::size_t chromaBytes = static_cast<std::size_t>(strides_[1]) * static_cast<std::size_t>((height + 1) / 2);
    void* memory = std::aligned_alloc(kRowAlignment, lumaBytes + chromaBytes);
    if (memory == nullptr) throw std::bad_alloc();
    storage_.reset(static_cast<std::uint8_t*>(memory));
    planes_[0] = storage_.get();
    planes_[1] = storage_.get() + lumaBytes;
}

} // namespace velorinth
