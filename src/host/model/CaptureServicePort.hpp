#pragma once

#include "core/VideoModels.hpp"
#include "host/capture/ScreenCaptureValueTypes.hpp"

#include <asio/awaitable.hpp>

namespace velorinth {

// The host model's way into the screen capture: start and stop resume their
// caller on its own executor; the rest works from any thread.
class CaptureServicePort {
public:
    using PointsSize = ScreenCapturePointsSize;
    using CaptureSize = ScreenCaptureSize;
    using Statistics = ScreenCaptureStatistics;
    using SampleHandler = ScreenCaptureSampleHandler;
    using StoppedHandler = ScreenCaptureStoppedHandler;

    virtual ~CaptureServicePort() = default;

    // Throws ScreenCaptureService::CaptureError or the back-end's error.
    virtual asio::awaitable<CaptureSize> startCapture(VideoStreamConfiguration configuration) = 0;
    virtual asio::awaitable<void> stopCapture() = 0;
    virtual Statistics captureStatistics() = 0;
    // Whether a capture stream runs.
    virtual bool isCapturing() = 0;
    virtual void setOnSampleBuffer(SampleHandler handler) = 0;
    virtual void setOnStreamStoppedWithError(StoppedHandler handler) = 0;
};

} // namespace velorinth
