// Video streaming over fakes: requests, reconfiguration, failures, stops, and
// the races of a stop or a report landing while a start awaits capture.

#include "host/capture/ScreenCaptureService.hpp"
#include "host/model/DesktopVideoEncoderAdapter.hpp"
#include "support/FakeCompressionSession.hpp"
#include "support/HostModelRig.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Reason = std::optional<VideoStreamStopReason>;

VideoStreamConfiguration configuration(std::int64_t width = 1280) {
    return VideoStreamConfiguration::clamped(Capability::h264, width, 720, 30, 2'000'000, 60, 1'000'000, 16'384);
}

Reason request(HostModelRig& h, std::uint64_t generation, std::int64_t width = 1280) {
    Reason reason;
    auto body = [](HostModel& model, Reason& out, VideoStreamConfiguration c,
                   std::uint64_t g) -> asio::awaitable<void> { out = co_await model.handleVideoStreamRequest(c, g); };
    h.run(body(*h.model, reason, configuration(width), generation));
    return reason;
}

} // namespace

TEST(HostModelVideo, AReconfigurationKeepsTheEncoderAndEndsTheOldFrameStream) {
    HostModelRig h;
    HostModel& model = h.started();
    EXPECT_EQ(request(h, 1), std::nullopt);
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::streaming());
    EXPECT_EQ(model.captureState.get(), HostModel::CaptureState::capturing());
    EXPECT_EQ(model.streamDiagnostics.get().videoWidth, 640);
    h.capture->deliverSample();
    h.drain();
    ASSERT_EQ(h.server->frames.size(), 1u);
    EXPECT_EQ(h.server->frames[0]->generation, 1u);
    const HostModelTask firstBroadcast = model.frameBroadcastTask.get();

    h.changes.clear();
    EXPECT_EQ(request(h, 2, 960), std::nullopt);
    ASSERT_EQ(h.encoders->size(), 1u);
    const auto& encoder = h.encoders->front();
    EXPECT_EQ(encoder->generation, 2u);
    EXPECT_EQ(encoder->configuration, configuration(960));
    EXPECT_EQ(encoder->keyframeRequests, 2);
    EXPECT_TRUE(firstBroadcast.isCancelled());
    EXPECT_NE(model.frameBroadcastTask.get(), firstBroadcast);
    EXPECT_EQ(model.streamDiagnostics.get().streamGeneration, 2);
    h.capture->deliverSample();
    h.drain();
    ASSERT_EQ(h.server->frames.size(), 2u);
    EXPECT_EQ(h.server->frames[1]->generation, 2u);
    EXPECT_EQ(h.server->frames[1]->streamID, h.server->frames[0]->streamID);

    h.server->callbacks.onVideoKeyframeRequested(Uuid(), Uuid(), 2);
    EXPECT_EQ(encoder->keyframeRequests, 3);
    // Each start opened the codec ahead, at the capture size.
    EXPECT_EQ(encoder->prepared, (std::vector<std::pair<int, int>>{{640, 360}, {640, 360}}));
}

// The model's thread never waits for x264; the encoder's end waits for an open under way.
TEST(HostModelVideo, TheRealEncoderOpensItsCodecOffTheCallersThreadAndItsEndJoinsThat) {
    auto control = std::make_shared<FakeCompressionSession::Control>();
    std::mutex mutex;
    std::vector<std::thread::id> openers;
    const VideoCompressionSession::Factory open = FakeCompressionSession::factory(control);
    VideoCompressionSession::Factory sessions = [&](const VideoCompressionSession::Settings& settings, int& status) {
        {
            std::lock_guard guard(mutex);
            openers.push_back(std::this_thread::get_id());
        }
        return open(settings, status);
    };
    {
        const auto encoder = DesktopVideoEncoderAdapter::factory(sessions)(Uuid::random(), 1, configuration());
        encoder->prepare(640, 360);
        encoder->prepare(640, 360);
    }
    std::lock_guard guard(mutex);
    ASSERT_EQ(openers.size(), 1u);
    EXPECT_NE(openers[0], std::this_thread::get_id());
}

TEST(HostModelVideo, ARequestWithoutScreenRecordingLeavesARunningPipelineAlone) {
    HostModelRig h;
    HostModel& model = h.started();
    ASSERT_EQ(request(h, 1), std::nullopt);
    h.grants->screenRecording = false;
    EXPECT_EQ(request(h, 2), VideoStreamStopReason::screenRecordingPermissionRequired);
    EXPECT_EQ(model.captureState.get(), HostModel::CaptureState::failed("Screen Recording permission required"));
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::failed("Screen Recording permission required"));
    EXPECT_EQ(model.networkError.get(), std::string(HostModel::kStreamWithoutScreenRecordingText));
    EXPECT_TRUE(h.capture->capturing);
    EXPECT_FALSE(h.encoders->front()->invalidated);
    EXPECT_EQ(h.encoders->front()->generation, 1u);
}

TEST(HostModelVideo, AFailedStartStopsThePipelineAndTellsEveryViewer) {
    struct Case {
        std::exception_ptr failure;
        VideoStreamStopReason reason;
        VideoStreamState state;
        HostModel::CaptureState capture;
        std::string detail;
    };
    const std::string denied = "Screen Recording permission required";
    const std::string noDisplay = "No display is available for capture.";
    using CaptureError = ScreenCaptureService::CaptureError;
    for (const Case& c :
         {Case{std::make_exception_ptr(CaptureError(CaptureError::Case::noDisplay)),
               VideoStreamStopReason::encoderFailed, VideoStreamState::failed("Stream unavailable"),
               HostModel::CaptureState::failed(noDisplay), noDisplay},
          Case{std::make_exception_ptr(CaptureError(CaptureError::Case::screenRecordingPermissionDenied)),
               VideoStreamStopReason::screenRecordingPermissionRequired, VideoStreamState::failed(denied),
               HostModel::CaptureState::failed(denied), denied}}) {
        HostModelRig h;
        HostModel& model = h.started();
        ASSERT_EQ(request(h, 1), std::nullopt); // tablet A streams
        model.networkError.set(std::nullopt);
        h.capture->nextStartFailure = c.failure;
        EXPECT_EQ(request(h, 2), c.reason); // tablet B's start fails
        EXPECT_EQ(model.hostStreamState.get(), c.state);
        EXPECT_EQ(model.captureState.get(), c.capture);
        EXPECT_FALSE(h.capture->capturing);
        EXPECT_TRUE(h.encoders->front()->invalidated);
        // A is told its stream ended rather than left waiting.
        EXPECT_EQ(h.server->streamsStopped,
                  (std::vector<std::pair<VideoStreamStopReason, std::string>>{{c.reason, c.detail}}));
        if (c.reason == VideoStreamStopReason::encoderFailed) {
            EXPECT_EQ(model.networkError.get(), std::nullopt);
        } else {
            EXPECT_EQ(model.networkError.get(), std::string(HostModel::kScreenRecordingSettingsText));
            EXPECT_FALSE(model.screenRecordingGranted.get());
        }
    }
}

TEST(HostModelVideo, AStopSetsIdleUnlessFailedAndEmptiesTheDiagnostics) {
    for (const VideoStreamState& final : {VideoStreamState::stopped(), VideoStreamState::idle(),
                                          VideoStreamState::failed("gone")}) {
        HostModelRig h;
        HostModel& model = h.started();
        ASSERT_EQ(request(h, 1), std::nullopt);
        h.sleeper.releaseAll(); // one diagnostics refresh
        h.drain();
        EXPECT_EQ(model.capturedFrames.get(), 42u);
        EXPECT_EQ(model.streamDiagnostics.get().droppedFrames, 8); // the encoder's 3 and the schedulers' 5
        EXPECT_EQ(model.streamDiagnostics.get().queueDepth, 2);
        h.run(model.stopVideoStream(final));
        const bool failed = final.failureMessage() != nullptr;
        EXPECT_EQ(model.captureState.get(),
                  failed ? HostModel::CaptureState::capturing() : HostModel::CaptureState::idle());
        EXPECT_EQ(model.hostStreamState.get(), final);
        EXPECT_EQ(model.streamDiagnostics.get(), VideoStreamDiagnostics::empty());
        EXPECT_FALSE(model.diagnosticsTask.get());
        EXPECT_FALSE(model.activeVideoConfiguration.get());
        EXPECT_FALSE(h.capture->hasSampleHandler());
    }
}

TEST(HostModelVideo, AReportThatNobodyWatchesLeavesAStartUnderWayAlone) {
    HostModelRig h;
    HostModel& model = h.started();
    h.capture->startGate.held = true;
    Reason reason{VideoStreamStopReason::hostStopped};
    auto future = h.spawn([](HostModel& m, Reason& out) -> asio::awaitable<void> {
        out = co_await m.handleVideoStreamRequest(configuration(), 1);
    }(model, reason));
    h.drain();
    ASSERT_EQ(h.capture->startGate.waiting, 1);
    h.server->reportSessions({}); // the requester is not streaming on the server yet
    h.drain();
    h.capture->startGate.release();
    h.wait(future);
    h.drain();
    EXPECT_EQ(reason, std::nullopt);
    EXPECT_TRUE(h.capture->capturing);
    EXPECT_TRUE(h.capture->hasSampleHandler());
    ASSERT_EQ(h.encoders->size(), 1u);
    EXPECT_FALSE(h.encoders->front()->invalidated);
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::streaming());
}

TEST(HostModelVideo, AnAnswerThatNobodyWatchesGivenBeforeARequestIsStale) {
    HostModelRig h;
    HostModel& model = h.started();
    h.server->viewerGate.held = true;
    h.server->reportSessions({}); // asks whether anyone watches; the answer waits
    h.drain();
    ASSERT_EQ(h.server->viewerGate.waiting, 1);
    ASSERT_EQ(request(h, 1), std::nullopt); // meanwhile a tablet starts streaming
    h.server->viewerGate.release();
    h.drain();
    EXPECT_TRUE(h.capture->capturing);
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::streaming());
}

TEST(HostModelVideo, AStopWhileAStartAwaitsCaptureFailsTheStart) {
    HostModelRig h;
    HostModel& model = h.started();
    h.capture->startGate.held = true;
    Reason reason;
    auto future = h.spawn([](HostModel& m, Reason& out) -> asio::awaitable<void> {
        out = co_await m.handleVideoStreamRequest(configuration(), 1);
    }(model, reason));
    h.drain();
    // "Stop Sharing".
    h.run(model.stopVideoStream(VideoStreamState::stopped()));
    h.capture->startGate.release();
    h.wait(future);
    h.drain();
    EXPECT_EQ(reason, VideoStreamStopReason::hostStopped);
    EXPECT_FALSE(h.capture->capturing);
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::stopped());
    EXPECT_EQ(model.captureState.get(), HostModel::CaptureState::idle());
}

TEST(HostModelVideo, ARequestWhileAStopWaitsKeepsItsStateFromTheStopsLastWrites) {
    HostModelRig h;
    HostModel& model = h.started();
    ASSERT_EQ(request(h, 1), std::nullopt);
    h.capture->stopGate.held = true;
    auto stop = h.spawn(model.stopVideoStream(VideoStreamState::stopped()));
    h.drain();
    ASSERT_EQ(h.capture->stopGate.waiting, 1);
    ASSERT_EQ(request(h, 2), std::nullopt); // a tablet asks again while the stop still waits
    h.capture->stopGate.release();
    h.wait(stop);
    h.drain();
    EXPECT_TRUE(h.capture->capturing);
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::streaming());
    EXPECT_EQ(model.captureState.get(), HostModel::CaptureState::capturing());
    EXPECT_EQ(model.streamDiagnostics.get().streamGeneration, 2);
    EXPECT_TRUE(model.activeVideoConfiguration.get());
}

TEST(HostModelVideo, TwoRequestsUnderWayBothSucceedWithOneEncoder) {
    HostModelRig h;
    HostModel& model = h.started();
    h.capture->startGate.held = true;
    Reason first{VideoStreamStopReason::hostStopped}, second{VideoStreamStopReason::hostStopped};
    auto body = [](HostModel& m, Reason& out, std::uint64_t g) -> asio::awaitable<void> {
        out = co_await m.handleVideoStreamRequest(configuration(), g);
    };
    auto a = h.spawn(body(model, first, 1));
    auto b = h.spawn(body(model, second, 2));
    h.drain();
    h.capture->startGate.release();
    h.wait(a);
    h.wait(b);
    h.drain();
    EXPECT_EQ(first, std::nullopt);
    EXPECT_EQ(second, std::nullopt);
    ASSERT_EQ(h.encoders->size(), 1u);
    EXPECT_EQ(h.encoders->front()->generation, 2u);
    EXPECT_EQ(model.streamDiagnostics.get().streamGeneration, 2);
    EXPECT_TRUE(h.capture->capturing);
}

TEST(HostModelVideo, ANewDisplayGeometryRestartsCaptureUnlessAStopCameFirst) {
    HostModelRig h;
    HostModel& model = h.started();
    ASSERT_EQ(request(h, 1), std::nullopt);
    h.capture->size = {800, 500, 1600, 1000};
    const std::size_t pushes = h.server->count("updateHostState");
    model.handleDisplayConfigurationChange();
    h.drain();
    EXPECT_EQ(h.server->count("updateHostState"), pushes + 1);
    EXPECT_EQ(model.streamDiagnostics.get().videoWidth, 800);
    EXPECT_EQ(model.streamDiagnostics.get().videoHeight, 500);
    EXPECT_EQ(h.encoders->front()->keyframeRequests, 2);

    // A stop made after the restart was scheduled, before it ran.
    auto changeThenStop = [](HostModel& m) -> asio::awaitable<void> {
        m.handleDisplayConfigurationChange();
        co_await m.stopVideoStream(VideoStreamState::stopped());
    };
    const int starts = h.capture->starts;
    h.run(changeThenStop(model));
    EXPECT_EQ(h.capture->starts, starts);
    EXPECT_FALSE(h.capture->capturing);
}

TEST(HostModelVideo, TheLastViewerLeavingStopsThePipeline) {
    HostModelRig h;
    HostModel& model = h.started();
    ASSERT_EQ(request(h, 1), std::nullopt);
    ActiveSessionDescriptor session;
    session.peerIdentity.id = Uuid::random();
    h.server->streamingViewer = true; // another tablet still watches
    h.run(model.disconnectSession(session));
    EXPECT_TRUE(h.capture->capturing);
    h.server->streamingViewer = false;
    h.run(model.disconnectSession(session));
    EXPECT_FALSE(h.capture->capturing);
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::idle());
    EXPECT_EQ(h.server->disconnects.back().second, "Disconnected by Mac user.");

    // A capture stream that dies takes the pipeline down and tells the viewers.
    ASSERT_EQ(request(h, 2), std::nullopt);
    h.capture->stoppedHandler()(std::make_exception_ptr(std::runtime_error("the display went away")));
    // The stop joins the encoder thread off the UI thread.
    h.until([&] { return !h.server->streamsStopped.empty(); });
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::failed("the display went away"));
    EXPECT_EQ(h.server->streamsStopped.back(),
              std::make_pair(VideoStreamStopReason::hostStopped, std::string("the display went away")));
}

TEST(LatestFrameChannel, KeepsTheNewestTwoAndEndsWithItsProducer) {
    LoopRunner loop;
    LatestFrameChannel<int> channel(loop.io.get_executor());
    auto consumer = channel.consumer();
    auto producer = channel.producer();
    for (int i = 1; i <= 3; ++i) producer->yield(i);
    producer.reset();
    std::vector<int> received;
    loop.run([](LatestFrameChannel<int>::Consumer frames, std::vector<int>& out) -> asio::awaitable<void> {
        while (auto item = co_await frames.next()) out.push_back(*item);
    }(consumer, received));
    EXPECT_EQ(received, (std::vector<int>{2, 3}));
    EXPECT_EQ(consumer.droppedCount(), 1u);
}

TEST(LatestFrameChannel, AProducerOnAnotherThreadReachesTheConsumer) {
    LoopRunner loop;
    LatestFrameChannel<int> channel(loop.io.get_executor());
    auto consumer = channel.consumer();
    std::thread producer([producer = channel.producer()] {
        for (int i = 1; i <= 2000; ++i) producer->yield(i);
    });
    std::vector<int> received;
    loop.run([](LatestFrameChannel<int>::Consumer frames, std::vector<int>& out) -> asio::awaitable<void> {
        while (auto item = co_await frames.next()) out.push_back(*item);
    }(consumer, received));
    producer.join();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), 2000);
    EXPECT_TRUE(std::is_sorted(received.begin(), received.end()));
    EXPECT_EQ(received.size() + consumer.droppedCount(), 2000u);
}
