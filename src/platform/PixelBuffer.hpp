#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velorinth {

// One picture in NV12, video range: a full-size luma plane and a half-size
// plane of interleaved Cb, Cr. Rows are padded to 64 bytes. Shared between the
// capture, the encoder and a pool (PixelBufferPool) that takes it back.
class PixelBuffer {
public:
    static constexpr int kPlaneCount = 2;
    static constexpr int kRowAlignment = 64;
    // Neither side may exceed this (it bounds every allocation).
    static constexpr int kMaximumSide = 16'384;

    // Throws std::invalid_argument for a side below 1 or above the maximum.
    PixelBuffer(int width, int height);
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }
    std::uint8_t* plane(int index) noexcept { return planes_[index]; }
    const std::uint8_t* plane(int index) const noexcept { return planes_[index]; }
    int stride(int index) const noexcept { return strides_[index]; }
    int planeHeight(int index) const noexcept { return index == 0 ? height_ : (height_ + 1) / 2; }

    // The sample at a pixel: luma, and the chroma pair of its 2x2 block.
    std::uint8_t luma(int x, int y) const { return planes_[0][y * strides_[0] + x]; }
    std::uint8_t cb(int x, int y) const { return planes_[1][(y / 2) * strides_[1] + (x / 2) * 2]; }
    std::uint8_t cr(int x, int y) const { return planes_[1][(y / 2) * strides_[1] + (x / 2) * 2 + 1]; }

private:
    struct Free {
        void operator()(std::uint8_t* memory) const noexcept;
    };

    int width_;
    int height_;
    int strides_[kPlaneCount];
    std::unique_ptr<std::uint8_t, Free> storage_;
    std::uint8_t* planes_[kPlaneCount];
};

} // namespace velorinth
