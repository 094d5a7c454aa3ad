#pragma once

#include "core/VideoModels.hpp"
#include "host/model/ActiveEncoderBox.hpp"
#include "host/model/CaptureServicePort.hpp"
#include "host/model/EncoderThread.hpp"
#include "host/model/LatestFrameChannel.hpp"
#include "host/model/VideoEncoderPort.hpp"
#include "platform/MemoryReleaseScheduler.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace velorinth {

// The video pipeline's state beside the host model: the epoch every stop
// advances, the stream requests under way, the frame stream of the latest
// request, the one encoder and the thread it encodes on. The model drives it
// from the UI thread; what else may call it says so.
class VideoPipeline {
public:
    using FrameChannel = LatestFrameChannel<EncodedVideoFrame>;

    // A stream request past its permission check, until it returns: while
    // one lives, no report that nobody watches may tear the pipeline down.
    // UI thread.
    class Request {
    public:
        explicit Request(VideoPipeline& pipeline);
        ~Request();
        Request(const Request&) = delete;
        Request& operator=(const Request&) = delete;

        // Increases with each request.
        std::uint64_t number() const noexcept { return number_; }

    private:
        VideoPipeline& pipeline_;
        const std::uint64_t number_;
    };

    // Both ends of a new frame stream.
    struct FrameStream {
        FrameChannel::Consumer consumer;
        std::shared_ptr<FrameChannel::Producer> producer;
    };

    // Freed memory goes back to the system `releaseDelay` after a stop's
    // threads have been joined, the release made on the joining worker and
    // timed on `executor` (the UI thread's).
    VideoPipeline(VideoEncoderPort::Factory encoderFactory, const asio::any_io_executor& executor,
                  MemoryReleaseScheduler::Duration releaseDelay = MemoryReleaseScheduler::kDefaultDelay,
                  MemoryReleaseScheduler::Release release = returnFreedMemoryToSystem);
    // Ends the encoder thread and joins it here (the model is going).
    ~VideoPipeline();
    VideoPipeline(const VideoPipeline&) = delete;
    VideoPipeline& operator=(const VideoPipeline&) = delete;

    // ---- UI thread ----
    // Advanced by every stop, so a start that was under way learns that it has been stopped.
    std::uint64_t epoch() const noexcept { return epoch_; }
    // The number of the latest request.
    std::uint64_t lastRequest() const noexcept { return lastRequest_; }
    bool requestsUnderWay() const noexcept { return requestsUnderWay_ > 0; }
    // A new frame stream whose consumer waits on `consumerExecutor`; it
    // becomes the one whose drops count from now on.
    FrameStream openFrameStream(asio::any_io_executor consumerExecutor);
    // Reconfigures the one encoder with the generation, or makes it.
    std::shared_ptr<VideoEncoderPort> prepareEncoder(const VideoStreamConfiguration& configuration,
                                                     std::uint64_t generation);
    // The capture callback that feeds `frames`: on the capture thread it
    // hands each sample to the encoder thread, which this starts if it is not
    // running. The callback holds the producer end, not the pipeline.
    CaptureServicePort::SampleHandler sampleHandler(std::shared_ptr<FrameChannel::Producer> frames);
    // Every stop, at once: advances the epoch, takes the encoder out and
    // invalidates it, and tells the encoder thread to end after the encode
    // under way. Clear the capture callback first.
    void stop();
    // Joins every encoder thread stopped so far, waiting off this thread for
    // the encodes under way; then asks for the release of freed memory.
    asio::awaitable<void> joinStoppedThreads();
    // Frames the frame streams dropped for newer ones, over every stream.
    std::uint64_t droppedFrames() const;
    // Captured samples the encoder threads dropped for newer ones, over every stream.
    std::uint64_t droppedSamples() const;

    // ---- any thread ----
    // The box the encoder thread, the server's loop and the UI thread share.
    const std::shared_ptr<ActiveEncoderBox>& encoderBox() const noexcept { return encoderBox_; }

private:
    const VideoEncoderPort::Factory encoderFactory_;
    const std::shared_ptr<ActiveEncoderBox> encoderBox_ = std::make_shared<ActiveEncoderBox>();
    std::uint64_t epoch_ = 0;
    std::uint64_t lastRequest_ = 0;
    int requestsUnderWay_ = 0;
    std::uint64_t droppedBeforeCurrentStream_ = 0;
    std::optional<FrameChannel::Consumer> currentFrames_;
    std::uint64_t droppedSamplesBefore_ = 0; // by encoder threads already stopped
    // Joins a stopped encoder thread, and returns freed memory.
    asio::thread_pool worker_{1};
    const std::shared_ptr<MemoryReleaseScheduler> memoryRelease_;
    // From the first request after a stop to that stop.
    std::shared_ptr<EncoderThread> encoderThread_;
    // Stopped, not yet joined.
    std::vector<std::shared_ptr<EncoderThread>> stoppedThreads_;
};

} // namespace velorinth
