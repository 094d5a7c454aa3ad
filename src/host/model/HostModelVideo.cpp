// Video streaming: the stream request with its encoder and frame stream, the
// broadcast to the server, the diagnostics loop and every stop of the pipeline.

#include "host/model/HostModel.hpp"

#include "core/KeepAlive.hpp"
#include "host/capture/ScreenCaptureService.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>

namespace velorinth {

namespace {

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
    const VideoPipeline::Request request(*videoPipeline);
    const std::uint64_t epoch = videoPipeline->epoch();
    hostStreamState.set(captureService->isCapturing() ? VideoStreamState::reconfiguring()
                                                      : VideoStreamState::startingCapture());
    activeVideoConfiguration.set(configuration);

    const asio::any_io_executor consumerExecutor =
        broadcastsOnMainExecutor_ ? mainExecutor_ : sessionServer->loopExecutor();
    VideoPipeline::FrameStream frames = videoPipeline->openFrameStream(consumerExecutor);
    if (frameBroadcastTask.get()) frameBroadcastTask.get().cancel();
    const HostModelTask broadcast(mainExecutor_);
    asio::co_spawn(consumerExecutor,
                   broadcastFrames(std::move(frames.consumer), sessionServer, broadcast, !broadcastsOnMainExecutor_),
                   asio::detached);
    frameBroadcastTask.set(broadcast);

    const std::shared_ptr<VideoEncoderPort> encoder = videoPipeline->prepareEncoder(configuration, generation);
    // Each sample is encoded on the encoder thread while the capture grabs the next.
    captureService->setOnSampleBuffer(videoPipeline->sampleHandler(std::move(frames.producer)));

    const CaptureStart started = co_await startCaptureWithin(configuration, epoch, request.number());
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
    if (videoPipeline->epoch() != epoch) {
        // What started must not run unwatched, unless a newer request has
        // taken the pipeline over.
        started.stopped = true;
        if (videoPipeline->lastRequest() == request) co_await captureService->stopCapture();
    }
    co_return started;
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
    if (const std::shared_ptr<VideoEncoderPort> current = videoPipeline->encoderBox()->current()) {
        encoder = current->statistics();
    }
    const std::uint64_t epoch = videoPipeline->epoch();
    const SessionServerPort::OutboundVideoStatistics outbound = co_await sessionServer->outboundVideoStatistics();
    // A stop meanwhile emptied the diagnostics: they stay empty.
    if (videoPipeline->epoch() != epoch) co_return;
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
    using namespace asio::experimental::awaitable_operators;
    // Everything before the first wait happens at once: a request that comes
    // during the waits starts from a stopped pipeline.
    if (diagnosticsTask.get()) diagnosticsTask.get().cancel();
    diagnosticsTask.set({});
    if (frameBroadcastTask.get()) frameBroadcastTask.get().cancel();
    frameBroadcastTask.set({});
    captureService->setOnSampleBuffer({});
    videoPipeline->stop();
    activeVideoConfiguration.set(std::nullopt);
    const std::uint64_t lastRequest = videoPipeline->lastRequest();
    // The encoder thread is joined while the capture stops, so the stop waits no longer than that.
    auto stopped = captureService->stopCapture() && videoPipeline->joinStoppedThreads();
    co_await std::move(stopped);
    // A request that came during the waits owns the stream's state now.
    if (videoPipeline->lastRequest() != lastRequest) co_return;
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
    if (videoPipeline->requestsUnderWay()) co_return;
    const std::uint64_t requests = videoPipeline->lastRequest();
    const bool watched = co_await sessionServer->hasStreamingViewer();
    // An answer given before a request that began meanwhile is stale: that
    // request ends with a viewer streaming, or tears the pipeline down itself.
    if (watched || videoPipeline->requestsUnderWay() || videoPipeline->lastRequest() != requests) co_return;
    if (!captureService->isCapturing() && !videoPipeline->encoderBox()->hasEncoder()) co_return;
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
    return keepAlive(shared_from_this(), restartCaptureBody(configuration, videoPipeline->epoch()));
}

asio::awaitable<void> HostModel::restartCaptureBody(VideoStreamConfiguration configuration,
                                                    std::uint64_t scheduledEpoch) {
    if (videoPipeline->epoch() != scheduledEpoch) co_return; // stopped since it was scheduled
    const CaptureStart started =
        co_await startCaptureWithin(configuration, scheduledEpoch, videoPipeline->lastRequest());
    if (started.stopped) co_return;
    if (const auto& size = started.size) {
        VideoStreamDiagnostics diagnostics = streamDiagnostics.get();
        diagnostics.videoWidth = size->width;
        streamDiagnostics.set(diagnostics);
        diagnostics.videoHeight = size->height;
        streamDiagnostics.set(diagnostics);
        videoPipeline->encoderBox()->requestKeyframe();
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
