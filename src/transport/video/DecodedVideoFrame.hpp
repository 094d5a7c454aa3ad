#pragma once

#include "core/Uuid.hpp"
#include "platform/MediaTime.hpp"
#include "platform/PixelBuffer.hpp"

#include <cstdint>
#include <memory>

namespace velorinth {

// One decoded picture of a stream.
struct DecodedVideoFrame {
    Uuid streamID;
    std::uint64_t generation = 0;
    std::uint64_t sequence = 0;
    std::shared_ptr<const PixelBuffer> pixelBuffer; // NV12, video range
    MediaTime presentationTimeStamp;                // µs
    MediaTime duration;                             // µs, at least 1
    std::int64_t width = 0;                         // of the picture
    std::int64_t height = 0;
    std::int64_t sourceDisplayWidth = 0;
    std::int64_t sourceDisplayHeight = 0;
    double decodeDurationMilliseconds = 0;
};

} // namespace velorinth
