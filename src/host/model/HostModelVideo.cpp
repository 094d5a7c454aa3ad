// Video streaming: the stream request with its encoder and frame stream, the
// broadcast to the server, the diagnostics loop and every stop of the pipeline.

#include "host/model/HostModel.hpp"

#include "core/KeepAlive.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

namespace velorinth {

namespace {

// Counts a stream request from its third step to its return.
class InFlight {
public:
    explicit InFlight(int& count) : count_(count) { ++count_; }
    ~InFlight() { --count_; }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

private:
    int& count_;
};

const std::string kScreenRecordingRequired(kScreenRecordingPermissionRequiredText);

} // namespace

asio::awaitable<std::optional<VideoStreamStopReason>>
HostModel::handleVideoStreamRequest(VideoStreamConfiguration configuration, std::uint64_t generation) {
    return keepAlive(shared_from_this(), streamRequestBody(configuration, generation));
}

asio::awaitable<std::optional<VideoStreamStopReason>>
HostModel::streamRequestBody(VideoStreamConfiguration configuration, std::uint64_t generation) {
    screenRecordingGranted.set(platform.screenRecording->preflight());
    if (!screenRecordingGranted.get()) {
        captureState.set(CaptureState::failed(kScreenRecordingRequired));
        hostStreamState.set(VideoStreamState::failed(kScreenRecordingRequired));
        networkError.set(std::string(kStreamWithoutScreenRecordingText));
        co_return VideoStreamStopReason::screenRecordingPermissionRequired;
    }
    // While this request is under way, no report of "nobody watches" may tear
    // the pipeline down: the requester is not yet streaming on the server.
    InFlight inFlight(streamRequestsInFlight_);
    const std::uint64_t epoch = pipelineEpoch_;
    const std::uint64_t request = ++lastStreamRequest_;
    hostStreamState.set(captureService->isCapturing() ? VideoStreamState::reconfiguring()
                                                      : VideoStreamState::startingCapture());
    activeVideoConfiguration.set(configuration);

    const asio::any_io_executor consumerExecutor =
        broadcastsOnMainExecutor_ ? mainExecutor_ : sessionServer->loopExecutor();
    const FrameChannel channel(consumerExecutor);
    if (frameBroadcastTask.get()) frameBroadcastTask.get().cancel();
    const HostModelTask broadcast(mainExecutor_);
    if (currentFrames_) droppedBeforeCurrentStream_ += currentFrames_->droppedCount();
    currentFrames_ = channel.consumer();
    asio::co_spawn(consumerExecutor,
                   broadcastFrames(channel.consumer(), sessionServer, broadcast, !broadcastsOnMainExecutor_),
                   asio::detached);
    frameBroadcastTask.set(broadcast);

    const std::shared_ptr<VideoEncoderPort> encoder =
        encoderBox->prepareEncoder(configuration, generation, encoderFactory_);
    captureService->setOnSampleBuffer([box = encoderBox, frames = channel.producer()](
                                          const VideoSampleBuffer& sample, ScreenCaptureService::PointsSize points) {
        encodeCapturedSample(*box, *frames, sample, points);
    });

    const CaptureStart started = co_await startCaptureWithin(configuration, epoch, request);
    if (started.stopped) co_return VideoStreamStopReason::hostStopped;
    if (const auto& size = started.size) {
        captureState.set(CaptureState::capturing());
        hostStreamState.set(VideoStreamState::streaming());
        VideoStreamDiagnostics diagnostics = streamDiagnostics.get();
        diagnostics.streamGeneration = static_cast<std::int64_t>(generation);
        diagnostics.videoWidth = size->width;
        diagnostics.videoHeight = size->height;
        streamDiagnostics.set(diagnostics);
        // The codec opens while the capture thread makes its first picture.
        encoder->prepare(static_cast<int>(size->width), static_cast<int>(size->height));
        encoder->requestKeyframe();
        ensureDiagnosticsTask();
        co_return std::nullopt;
    }

    bool permissionDenied = false;
    std::string description;
    try {
        std::rethrow_exception(started.failure);
    } catch (const ScreenCaptureService::CaptureError& error) {
        permissionDenied = error.kind == ScreenCaptureService::CaptureError::Case::screenRecordingPermissionDenied;
        description = error.what();
    } catch (...) {
        description = userFacingMessage(std::current_exception());
    }
    // The other viewers share the pipeline that failed: each is told, not
    // left waiting for frames.
    if (permissionDenied) {
        co_await stopVideoStream(VideoStreamState::failed(kScreenRecordingRequired));
        screenRecordingGranted.set(false);
        captureState.set(CaptureState::failed(kScreenRecordingRequired));
        networkError.set(std::string(kScreenRecordingSettingsText));
        co_await sessionServer->stopAllVideoStreams(VideoStreamStopReason::screenRecordingPermissionRequired,
                                                    kScreenRecordingRequired);
        co_return VideoStreamStopReason::screenRecordingPermissionRequired;
    }
    co_await stopVideoStream(VideoStreamState::failed(std::string(kStreamUnavailableText)));
    captureState.set(CaptureState::failed(description));
    co_await sessionServer->stopAllVideoStreams(VideoStreamStopReason::encoderFailed, description);
    co_return VideoStreamStopReason::encoderFailed;
}

asio::awaitable<HostModel::CaptureStart>
HostModel::startCaptureWithin(VideoStreamConfiguration configuration, std::uint64_t epoch, std::uint64_t request) {
    CaptureStart started;
    try {
        started.size = co_await captureService->startCapture(configuration);
    } catch (...) {
        started.failure = std::current_exception();
    }
    if (pipelineEpoch_ != epoch) {
        // What started must not run unwatched, unless a newer request has
        // taken the pipeline over.
        started.stopped = true;
        if (lastStreamRequest_ == request) co_await captureService->stopCapture();
    }
    co_return started;
}

void HostModel::encodeCapturedSample(const ActiveEncoderBox& box, FrameChannel::Producer& frames,
                                     const VideoSampleBuffer& sample, ScreenCaptureService::PointsSize points) {
    const std::shared_ptr<VideoEncoderPort> encoder = box.current();
    if (!encoder) return;
    std::optional<EncodedVideoFrame> frame;
    try {
        frame = encoder->encode(sample, VideoEncoderPort::SourceSize{points.width, points.height});
    } catch (const std::exception&) {
        return; // a sample that cannot be encoded is dropped
    }
    if (frame) frames.yield(std::move(*frame));
}

asio::awaitable<void> HostModel::broadcastFrames(FrameChannel::Consumer frames,
                                                 std::shared_ptr<SessionServerPort> server, HostModelTask task,
                                                 bool onLoop) {
    for (;;) {
        FrameChannel::Item frame = co_await frames.next();
        if (!frame || task.isCancelled()) co_return;
        if (onLoop) {
            server->distributeVideoFrameOnLoop(std::move(frame));
        } else {
            co_await server->distributeVideoFrame(std::move(frame));
        }
    }
}

void HostModel::ensureDiagnosticsTask() {
    if (diagnosticsTask.get()) return;
    const HostModelTask task(mainExecutor_);
    diagnosticsTask.set(task);
    spawn(diagnosticsLoop(weak_from_this(), task));
}

asio::awaitable<void> HostModel::diagnosticsLoop(std::weak_ptr<HostModel> weak, HostModelTask task) {
    SleepFunction sleep;
    if (const std::shared_ptr<HostModel> self = weak.lock()) sleep = self->sleep_;
    while (!task.isCancelled()) {
        co_await task.sleep(sleep, kDiagnosticsPeriod);
        const std::shared_ptr<HostModel> self = weak.lock();
        if (!self || task.isCancelled()) co_return;
        co_await self->refreshStreamDiagnostics();
    }
}

asio::awaitable<void> HostModel::refreshStreamDiagnostics() {
    return keepAlive(shared_from_this(), refreshStreamDiagnosticsBody());
}

asio::awaitable<void> HostModel::refreshStreamDiagnosticsBody() {
    const CaptureServicePort::Statistics capture = captureService->captureStatistics();
    capturedFrames.set(capture.capturedCount);
    if (!captureService->isCapturing()) co_return;
    VideoEncoderPort::Statistics encoder;
    if (const std::shared_ptr<VideoEncoderPort> current = encoderBox->current()) encoder = current->statistics();
    const std::uint64_t epoch = pipelineEpoch_;
    const SessionServerPort::OutboundVideoStatistics outbound = co_await sessionServer->outboundVideoStatistics();
    // A stop meanwhile emptied the diagnostics: they stay empty.
    if (pipelineEpoch_ != epoch) co_return;
    VideoStreamDiagnostics diagnostics = streamDiagnostics.get();
    diagnostics.capturedFPS = capture.measuredCapturedFPS;
    diagnostics.encodedFPS = encoder.measuredEncodedFPS;
    diagnostics.bitrateBps = encoder.measuredBitrateBps;
    diagnostics.droppedFrames = static_cast<std::int64_t>(encoder.droppedFrameCounter + outbound.droppedVideoFrames);
    diagnostics.queueDepth = outbound.largestVideoQueue;
    diagnostics.lastEncodeDurationMilliseconds = encoder.lastEncodeDurationMs;
    streamDiagnostics.set(diagnostics);
}

asio::awaitable<void> HostModel::stopVideoStream(VideoStreamState finalState) {
    return keepAlive(shared_from_this(), stopVideoStreamBody(std::move(finalState)));
}

asio::awaitable<void> HostModel::stopVideoStreamBody(VideoStreamState finalState) {
    ++pipelineEpoch_;
    if (diagnosticsTask.get()) diagnosticsTask.get().cancel();
    diagnosticsTask.set({});
    if (frameBroadcastTask.get()) frameBroadcastTask.get().cancel();
    frameBroadcastTask.set({});
    captureService->setOnSampleBuffer({});
    if (const std::shared_ptr<VideoEncoderPort> encoder = encoderBox->take()) encoder->invalidate();
    activeVideoConfiguration.set(std::nullopt);
    co_await captureService->stopCapture();
    if (!finalState.failureMessage()) captureState.set(CaptureState::idle());
    hostStreamState.set(std::move(finalState));
    streamDiagnostics.set(VideoStreamDiagnostics::empty());
}

asio::awaitable<void> HostModel::handleVideoStreamStopped() { co_await stopStreamingIfUnwatched(); }

asio::awaitable<void> HostModel::handleCaptureStopped(std::string errorDescription) {
    const bool granted = platform.screenRecording->preflight();
    co_await stopStreaming(granted ? VideoStreamStopReason::hostStopped
                                   : VideoStreamStopReason::screenRecordingPermissionRequired,
                           std::move(errorDescription));
}

asio::awaitable<void> HostModel::stopStreamingIfUnwatched() {
    return keepAlive(shared_from_this(), stopStreamingIfUnwatchedBody());
}

asio::awaitable<void> HostModel::stopStreamingIfUnwatchedBody() {
    if (streamRequestsInFlight_ > 0) co_return;
    const std::uint64_t requests = lastStreamRequest_;
    const bool watched = co_await sessionServer->hasStreamingViewer();
    // An answer given before a request that began meanwhile is stale: that
    // request ends with a viewer streaming, or tears the pipeline down itself.
    if (watched || streamRequestsInFlight_ > 0 || lastStreamRequest_ != requests) co_return;
    if (!captureService->isCapturing() && !encoderBox->hasEncoder()) co_return;
    co_await stopVideoStream(VideoStreamState::idle());
}

asio::awaitable<void> HostModel::stopStreaming(VideoStreamStopReason reason, std::string detail) {
    return keepAlive(shared_from_this(), stopStreamingBody(reason, std::move(detail)));
}

asio::awaitable<void> HostModel::stopStreamingBody(VideoStreamStopReason reason, std::string detail) {
    co_await stopVideoStream(VideoStreamState::failed(detail));
    if (reason == VideoStreamStopReason::screenRecordingPermissionRequired) {
        screenRecordingGranted.set(false);
        captureState.set(CaptureState::failed(kScreenRecordingRequired));
    }
    co_await sessionServer->stopAllVideoStreams(reason, std::move(detail));
}

asio::awaitable<void> HostModel::restartCapture(VideoStreamConfiguration configuration) {
    return keepAlive(shared_from_this(), restartCaptureBody(configuration, pipelineEpoch_));
}

asio::awaitable<void> HostModel::restartCaptureBody(VideoStreamConfiguration configuration,
                                                    std::uint64_t scheduledEpoch) {
    if (pipelineEpoch_ != scheduledEpoch) co_return; // stopped since it was scheduled
    const CaptureStart started = co_await startCaptureWithin(configuration, scheduledEpoch, lastStreamRequest_);
    if (started.stopped) co_return;
    if (const auto& size = started.size) {
        VideoStreamDiagnostics diagnostics = streamDiagnostics.get();
        diagnostics.videoWidth = size->width;
        streamDiagnostics.set(diagnostics);
        diagnostics.videoHeight = size->height;
        streamDiagnostics.set(diagnostics);
        encoderBox->requestKeyframe();
        co_return;
    }
    const bool granted = platform.screenRecording->preflight();
    co_await stopStreaming(granted ? VideoStreamStopReason::encoderFailed
                                   : VideoStreamStopReason::screenRecordingPermissionRequired,
                           userFacingMessage(started.failure));
}

asio::awaitable<void> HostModel::handleScreenRecordingRevoked() {
    co_await stopStreaming(VideoStreamStopReason::screenRecordingPermissionRequired, kScreenRecordingRequired);
}

} // namespace velorinth
