#pragma once

#include <cstdint>
#include <optional>

namespace velorinth {

// What the desktop video encoder reports and is told beside a picture, apart
// from the encoder, for those that only pass it on (the host model's port).

struct VideoEncoderStatistics {
    double measuredEncodedFPS = 0;
    double measuredBitrateBps = 0;
    std::uint64_t droppedFrameCounter = 0;
    std::int64_t inFlightCount = 0;
    std::optional<double> lastEncodeDurationMs;
    bool operator==(const VideoEncoderStatistics&) const = default;
};

// The captured display's size in points.
struct VideoSourceDisplaySize {
    std::int64_t width = 0;
    std::int64_t height = 0;
};

} // namespace velorinth
