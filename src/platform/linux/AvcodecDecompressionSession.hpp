#pragma once

#include "platform/PixelBufferPool.hpp"
#include "platform/VideoDecompressionSession.hpp"

#include <memory>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace velorinth {

// H.264 through libavcodec's software decoder, one thread, no frame delay,
// and strict: any damage it notices fails the frame instead of concealing it.
class AvcodecDecompressionSession final : public VideoDecompressionSession {
public:
    // The largest picture it decodes (8K); a peer's SPS cannot ask for more memory.
    static constexpr long kMaximumPixels = 7680L * 4320L;
    static constexpr int kUnsupportedFormatStatus = -1;

    static std::unique_ptr<AvcodecDecompressionSession> open(const VideoFormatDescription& format, int& status);
    ~AvcodecDecompressionSession() override;
    AvcodecDecompressionSession(const AvcodecDecompressionSession&) = delete;
    AvcodecDecompressionSession& operator=(const AvcodecDecompressionSession&) = delete;

    Result decode(ByteView payload, MediaTime presentationTime, MediaTime duration) override;

private:
    AvcodecDecompressionSession() = default;
    // NV12 from the decoded picture, or a non-zero status.
    int copyPicture(std::shared_ptr<PixelBuffer>& image);

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::unique_ptr<PixelBufferPool> pool_;
};

} // namespace velorinth
