#include "platform/linux/AvcodecDecompressionSession.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace velorinth {

namespace {

constexpr std::size_t kPoolCapacity = 3;

// Damaged input is normal here (network data); libavcodec would print each.
void quietLibraryLogs() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

} // namespace

std::unique_ptr<VideoDecompressionSession>
VideoDecompressionSession::create(const VideoFormatDescription& format, int /*width*/, int /*height*/, int& status) {
    // The size comes from the SPS; the frame's stated size is only metadata.
    return AvcodecDecompressionSession::open(format, status);
}

std::unique_ptr<AvcodecDecompressionSession> AvcodecDecompressionSession::open(const VideoFormatDescription& format,
                                                                               int& status) {
    quietLibraryLogs();
    status = AVERROR(ENOMEM);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        status = AVERROR_DECODER_NOT_FOUND;
        return nullptr;
    }
    std::unique_ptr<AvcodecDecompressionSession> session(new AvcodecDecompressionSession());
    session->context_ = avcodec_alloc_context3(codec);
    session->frame_ = av_frame_alloc();
    session->packet_ = av_packet_alloc();
    if (session->context_ == nullptr || session->frame_ == nullptr || session->packet_ == nullptr) return nullptr;
    AVCodecContext* context = session->context_;
    const std::size_t size = format.decoderConfiguration.size();
    context->extradata = static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (context->extradata == nullptr) return nullptr;
    std::memcpy(context->extradata, format.decoderConfiguration.data(), size);
    context->extradata_size = static_cast<int>(size);
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->thread_count = 1;
    context->err_recognition = AV_EF_EXPLODE;
    context->max_pixels = kMaximumPixels;
    status = avcodec_open2(context, codec, nullptr);
    if (status < 0) return nullptr;
    status = 0;
    return session;
}

AvcodecDecompressionSession::~AvcodecDecompressionSession() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

VideoDecompressionSession::Result AvcodecDecompressionSession::decode(ByteView payload, MediaTime presentationTime,
                                                                      MediaTime duration) {
    Result result;
    if (payload.size() > static_cast<std::size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
        result.wrapStatus = AVERROR(EINVAL);
        return result;
    }
    av_packet_unref(packet_);
    if (const int rc = av_new_packet(packet_, static_cast<int>(payload.size())); rc < 0) {
        result.wrapStatus = rc;
        return result;
    }
    std::memcpy(packet_->data, payload.data(), payload.size());
    packet_->pts = presentationTime.value;
    packet_->duration = duration.value;

    int rc = avcodec_send_packet(context_, packet_);
    if (rc >= 0) {
        rc = avcodec_receive_frame(context_, frame_);
        if (rc == AVERROR(EAGAIN))
            rc = 0; // no picture: the caller sees none
        else if (rc >= 0 && ((frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame_->decode_error_flags != 0)) {
            rc = AVERROR_INVALIDDATA;
        } else if (rc >= 0) {
            rc = copyPicture(result.image);
        }
        av_frame_unref(frame_);
    }
    if (rc < 0) {
        // The next keyframe starts from a clean state, whatever references this frame broke.
        avcodec_flush_buffers(context_);
        result.status = rc;
        result.image.reset();
    }
    return result;
}

int AvcodecDecompressionSession::copyPicture(std::shared_ptr<PixelBuffer>& image) {
    const auto format = static_cast<AVPixelFormat>(frame_->format);
    // A peer's SPS may declare 4:2:2, 4:4:4 or more than 8 bits: only 4:2:0 at 8 bits is shown.
    if (format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P) return kUnsupportedFormatStatus;
    const int width = frame_->width, height = frame_->height;
    if (width < 1 || height < 1 || width > PixelBuffer::kMaximumSide || height > PixelBuffer::kMaximumSide) {
        return kUnsupportedFormatStatus;
    }
    if (!pool_ || pool_->width() != width || pool_->height() != height) {
        pool_ = std::make_unique<PixelBufferPool>(width, height, kPoolCapacity);
    }
    image = pool_->acquire();
    for (int y = 0; y < height; ++y) {
        std::memcpy(image->plane(0) + y * image->stride(0), frame_->data[0] + y * frame_->linesize[0],
                    static_cast<std::size_t>(width));
    }
    const int chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
    for (int y = 0; y < chromaHeight; ++y) {
        const std::uint8_t* cb = frame_->data[1] + y * frame_->linesize[1];
        const std::uint8_t* cr = frame_->data[2] + y * frame_->linesize[2];
        std::uint8_t* out = image->plane(1) + y * image->stride(1);
        for (int x = 0; x < chromaWidth; ++x) {
            out[2 * x] = cb[x];
            out[2 * x + 1] = cr[x];
        }
    }
    return 0;
}

} // namespace velorinth
