#pragma once

#include "core/Error.hpp"
#include "core/FifoLock.hpp"
#include "core/Uptime.hpp"
#include "core/VideoModels.hpp"
#include "host/capture/ScreenCaptureValueTypes.hpp"
#include "platform/CaptureBackend.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace velorinth {

// Captures one display and hands each complete sample, with the display's
// size in points, to its owner's callback on the capture thread (which waits
// for it: the host model hands the sample on to its encoder thread). It chooses
// the display (the main one, else the first), fits the capture size to the
// stream's configuration and updates a running stream in place for the same
// display or replaces it for another.
//
// An actor on the event loop: startCapture and stopCapture run there, one at
// a time in the order called (a stop waits for a start in progress and then
// stops what it started), and do their blocking work (display server,
// thread joins) on a worker thread of their own. captureStatistics,
// isCapturing and the callback setters work from any thread. Destroying the
// service stops its stream without the loop.
class ScreenCaptureService : public std::enable_shared_from_this<ScreenCaptureService>, private CaptureStreamOutput {
public:
    class CaptureError : public Error {
    public:
        enum class Case { screenRecordingPermissionDenied, noDisplay };
        explicit CaptureError(Case kind);
        static std::string_view text(Case kind);
        Case kind;
    };

    using PointsSize = ScreenCapturePointsSize;
    using CaptureSize = ScreenCaptureSize;
    using Statistics = ScreenCaptureStatistics;
    using SampleHandler = ScreenCaptureSampleHandler;
    using StoppedHandler = ScreenCaptureStoppedHandler;

    static constexpr std::int64_t minimumPoints = 64;
    static constexpr std::int64_t minimumFrameRate = 5, maximumFrameRate = 60;
    static constexpr int queueDepth = 3;
    static constexpr std::uint64_t rateWindowNs = 500'000'000;
    static constexpr std::uint64_t idleDecayNs = 1'500'000'000;

    ScreenCaptureService(asio::any_io_executor executor, std::shared_ptr<CaptureBackend> backend,
                         UptimeClock uptime = steadyUptimeNs);
    ~ScreenCaptureService() override;
    ScreenCaptureService(const ScreenCaptureService&) = delete;
    ScreenCaptureService& operator=(const ScreenCaptureService&) = delete;

    // Throws CaptureError or the back-end's error.
    asio::awaitable<CaptureSize> startCapture(VideoStreamConfiguration configuration);
    // Never fails.
    asio::awaitable<void> stopCapture();

    Statistics captureStatistics();
    bool isCapturing();
    void setOnSampleBuffer(SampleHandler handler);
    void setOnStreamStoppedWithError(StoppedHandler handler);

    // The stream settings of a capture size and frame rate.
    static CaptureStreamSettings makeStreamConfiguration(std::int64_t width, std::int64_t height,
                                                         std::int64_t framesPerSecond);

private:
    asio::awaitable<CaptureSize> startCaptureBody(VideoStreamConfiguration configuration);
    asio::awaitable<void> stopCaptureBody();
    // With the operation lock held.
    asio::awaitable<void> stopCurrent();
    // The back-end's error while the grant holds, else screenRecordingPermissionDenied.
    asio::awaitable<std::exception_ptr> explainFailure(std::exception_ptr error);
    // Joins streams that ended on their own (worker thread only).
    void releaseRetiredStreams();

    void captureStreamDidOutputSample(const VideoSampleBuffer& sample) override;
    void captureStreamDidStop(std::uint64_t streamIdentity, std::exception_ptr error) override;

    asio::any_io_executor executor_;
    const std::shared_ptr<CaptureBackend> backend_;
    const UptimeClock uptime_;
    FifoLock operations_;

    std::mutex stateLock_;
    SampleHandler onSampleBuffer_;
    StoppedHandler onStreamStoppedWithError_;
    std::shared_ptr<CaptureStream> stream_;
    std::uint64_t streamIdentity_ = 0;
    std::optional<CaptureDisplay> activeDisplay_;
    PointsSize sourceDisplayPointsSize_{1280, 720};
    std::uint64_t capturedCount_ = 0;
    std::int64_t windowFrames_ = 0;
    std::uint64_t windowStartNs_;
    double measuredCapturedFPS_ = 0;
    // A stream being started, and how it ended if it did before it was stored.
    std::uint64_t startingIdentity_ = 0;
    std::exception_ptr startingStreamStopped_;
    // Streams that stopped on their own; joined off their own thread.
    std::vector<std::shared_ptr<CaptureStream>> retired_;

    // Last: destroyed first, after the destructor joined it.
    asio::thread_pool worker_{1};
};

} // namespace velorinth
