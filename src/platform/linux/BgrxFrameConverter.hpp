#pragma once

#include "platform/PixelBuffer.hpp"

#include <cstdint>

struct SwsContext;
struct AVFrame;

namespace velorinth {

// Converts full-range BGRX pictures of one size into NV12 at another, video
// range, BT.709, downscaling by area averaging, on swscale's own slice
// threads.
class BgrxFrameConverter {
public:
    // Throws CaptureBackendError(grabFailed) when swscale refuses the sizes.
    BgrxFrameConverter(int sourceWidth, int sourceHeight, int width, int height);
    ~BgrxFrameConverter();
    BgrxFrameConverter(const BgrxFrameConverter&) = delete;
    BgrxFrameConverter& operator=(const BgrxFrameConverter&) = delete;

    bool converts(int sourceWidth, int sourceHeight, int width, int height) const noexcept {
        return sourceWidth == sourceWidth_ && sourceHeight == sourceHeight_ && width == width_ && height == height_;
    }
    // Throws CaptureBackendError(grabFailed).
    void convert(const std::uint8_t* source, int sourceStride, PixelBuffer& out);

private:
    void release() noexcept;

    int sourceWidth_, sourceHeight_, width_, height_;
    SwsContext* context_ = nullptr;
    AVFrame* source_ = nullptr;
    AVFrame* destination_ = nullptr;
};

} // namespace velorinth
