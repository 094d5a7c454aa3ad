#include "platform/linux/BgrxFrameConverter.hpp"

#include "platform/CaptureBackendError.hpp"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace velorinth {

namespace {

[[noreturn]] void fail() { throw CaptureBackendError(CaptureBackendError::Case::grabFailed); }

// Lends memory the caller owns to a frame: swscale insists on counted buffers.
AVBufferRef* borrowed(std::uint8_t* data, std::size_t size) {
    return av_buffer_create(
        data, size, [](void*, std::uint8_t*) {}, nullptr, 0);
}

} // namespace

BgrxFrameConverter::BgrxFrameConverter(int sourceWidth, int sourceHeight, int width, int height)
    : sourceWidth_(sourceWidth), sourceHeight_(sourceHeight), width_(width), height_(height) {
    context_ = sws_alloc_context();
    source_ = av_frame_alloc();
    destination_ = av_frame_alloc();
    if (context_ == nullptr || source_ == nullptr || destination_ == nullptr) {
        release();
        fail();
    }
    av_opt_set_int(context_, "srcw", sourceWidth, 0);
    av_opt_set_int(context_, "srch", sourceHeight, 0);
    av_opt_set_int(context_, "src_format", AV_PIX_FMT_BGR0, 0);
    av_opt_set_int(context_, "dstw", width, 0);
    av_opt_set_int(context_, "dsth", height, 0);
    av_opt_set_int(context_, "dst_format", AV_PIX_FMT_NV12, 0);
    av_opt_set_int(context_, "sws_flags", SWS_AREA, 0);
    // Slice threads, one per allowed core: a 1080p picture takes 8 ms on one
    // core, half the frame time at 60 fps, and a 4K downscale far more.
    av_opt_set_int(context_, "threads", 0, 0);
    if (sws_init_context(context_, nullptr, nullptr) < 0) {
        release();
        fail();
    }
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context_, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
}

BgrxFrameConverter::~BgrxFrameConverter() { release(); }

void BgrxFrameConverter::release() noexcept {
    av_frame_free(&source_);
    av_frame_free(&destination_);
    sws_freeContext(context_);
    context_ = nullptr;
}

void BgrxFrameConverter::convert(const std::uint8_t* source, int sourceStride, PixelBuffer& out) {
    if (out.width() != width_ || out.height() != height_) fail();
    av_frame_unref(source_);
    av_frame_unref(destination_);
    source_->format = AV_PIX_FMT_BGR0;
    source_->width = sourceWidth_;
    source_->height = sourceHeight_;
    // swscale only reads its source.
    source_->data[0] = const_cast<std::uint8_t*>(source);
    source_->linesize[0] = sourceStride;
    source_->buf[0] = borrowed(source_->data[0], static_cast<std::size_t>(sourceStride) * sourceHeight_);
    destination_->format = AV_PIX_FMT_NV12;
    destination_->width = width_;
    destination_->height = height_;
    for (int plane = 0; plane < PixelBuffer::kPlaneCount; ++plane) {
        destination_->data[plane] = out.plane(plane);
        destination_->linesize[plane] = out.stride(plane);
        destination_->buf[plane] =
            borrowed(out.plane(plane), static_cast<std::size_t>(out.stride(plane)) * out.planeHeight(plane));
    }
    const bool wrapped =
        source_->buf[0] != nullptr && destination_->buf[0] != nullptr && destination_->buf[1] != nullptr;
    const int rc = wrapped ? sws_scale_frame(context_, destination_, source_) : -1;
    av_frame_unref(source_);
    av_frame_unref(destination_);
    if (rc < 0) fail();
}

} // namespace velorinth
