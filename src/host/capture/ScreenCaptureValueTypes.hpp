#pragma once

#include "platform/VideoSampleBuffer.hpp"

#include <cstdint>
#include <exception>
#include <functional>

namespace velorinth {

// What the screen capture service hands its owner, apart from the service,
// for those that only pass it on (the host model's port).

// The captured display's size in points.
struct ScreenCapturePointsSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const ScreenCapturePointsSize&) const = default;
};

// The capture size (the stream's video size), then the display's size in points.
struct ScreenCaptureSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t pointsWidth = 0;
    std::int64_t pointsHeight = 0;
    bool operator==(const ScreenCaptureSize&) const = default;
};

struct ScreenCaptureStatistics {
    std::uint64_t capturedCount = 0;
    double measuredCapturedFPS = 0;
    bool operator==(const ScreenCaptureStatistics&) const = default;
};

// Runs on the capture thread, outside the service's lock; the capture waits for it.
using ScreenCaptureSampleHandler = std::function<void(const VideoSampleBuffer&, ScreenCapturePointsSize)>;
using ScreenCaptureStoppedHandler = std::function<void(std::exception_ptr)>;

} // namespace velorinth
