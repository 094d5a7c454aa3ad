#pragma once

#include "core/Bytes.hpp"
#include "platform/MediaTime.hpp"
#include "platform/PixelBuffer.hpp"
#include "platform/VideoFormatDescription.hpp"

#include <cstdint>
#include <memory>

namespace velorinth {

// One H.264 decompression session for one format: synchronous, one access
// unit at a time, pictures out as NV12.
class VideoDecompressionSession {
public:
    struct Result {
        int wrapStatus = 0;                 // non-zero: the payload could not be handed to the codec
        int status = 0;                     // non-zero: decoding failed
        std::shared_ptr<PixelBuffer> image; // null: no picture
    };

    // The libavcodec back-end, or null with `status` set.
    static std::unique_ptr<VideoDecompressionSession> create(const VideoFormatDescription& format, int width,
                                                             int height, int& status);

    virtual ~VideoDecompressionSession() = default;

    virtual Result decode(ByteView payload, MediaTime presentationTime, MediaTime duration) = 0;
};

} // namespace velorinth
