// The capture service over a scripted back-end: the display choice and sizes,
// in-place updates and replacement, sample checks, rates, platform stops, and
// operations that overlap.

#include "host/capture/ScreenCaptureService.hpp"

#include "platform/CaptureBackendError.hpp"
#include "support/FakeCaptureBackend.hpp"
#include "support/LoopRunner.hpp"
#include "support/WindDown.hpp"

#include <gtest/gtest.h>

#include <future>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using CaptureError = ScreenCaptureService::CaptureError;
using CaptureSize = ScreenCaptureService::CaptureSize;

VideoStreamConfiguration streamOf(std::int64_t maxWidth, std::int64_t maxHeight, std::int64_t fps = 30) {
    return VideoStreamConfiguration::clamped(Capability::h264, maxWidth, maxHeight, fps, 4'000'000, 60, 2'097'152,
                                             16'384);
}

struct Rig : LoopRunner {
    std::shared_ptr<FakeCaptureBackend> backend = std::make_shared<FakeCaptureBackend>();
    std::uint64_t nowNs = 50'000'000'000;
    std::shared_ptr<ScreenCaptureService> service =
        std::make_shared<ScreenCaptureService>(io.get_executor(), backend, [this] { return nowNs; });
    std::vector<ScreenCaptureService::PointsSize> delivered;
    std::vector<std::string> stopErrors;

    Rig() {
        service->setOnSampleBuffer(
            [this](const VideoSampleBuffer&, ScreenCaptureService::PointsSize points) { delivered.push_back(points); });
        service->setOnStreamStoppedWithError([this](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                stopErrors.emplace_back(e.what());
            }
        });
    }
    ~Rig() {
        windDown("the capture did not stop", [&] { run(service->stopCapture()); });
        service.reset(); // joins its worker before the loop goes
    }

    CaptureSize start(VideoStreamConfiguration configuration = streamOf(3840, 2400)) {
        return run(service->startCapture(configuration));
    }
    std::exception_ptr startFailure(VideoStreamConfiguration configuration = streamOf(3840, 2400)) {
        return run(outcome(service->startCapture(configuration)));
    }
};

} // namespace

TEST(ScreenCaptureService, ChoosesTheDisplayAndItsSizesByTheRules) {
    struct Case {
        const char* name;
        ShareableContent content;
        VideoStreamConfiguration configuration;
        CaptureSize expected;
        std::uint32_t expectedDisplay;
    };
    const std::vector<Case> cases{
        {"main display, fitted into the maximum",
         FakeCaptureBackend::oneDisplay(7, 2560, 1600),
         streamOf(1280, 1280),
         {1280, 800, 2560, 1600},
         7},
        {"below 64 points: 64 points, and 64 pixels at least",
         {{{3, 40, 30, 20, 10}}, 3},
         streamOf(3840, 2400),
         {320, 240, 64, 64},
         3},
        {"pixels below points: fitted from the points",
         {{{4, 1920, 1080, 960, 540}}, 4},
         streamOf(3840, 2400),
         {1920, 1080, 1920, 1080},
         4},
        {"no listed display is main: the first",
         {{{5, 1280, 800, 1280, 800}, {6, 1920, 1080, 1920, 1080}}, 99},
         streamOf(3840, 2400),
         {1280, 800, 1280, 800},
         5},
        {"the main one, listed second",
         {{{5, 1280, 800, 1280, 800}, {6, 1920, 1080, 1920, 1080}}, 6},
         streamOf(3840, 2400),
         {1920, 1080, 1920, 1080},
         6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.backend->setContent(c.content);
        EXPECT_EQ(rig.start(c.configuration), c.expected);
        ASSERT_EQ(rig.backend->streamCount(), 1u);
        const auto stream = rig.backend->stream(0);
        EXPECT_EQ(stream.display.displayID, c.expectedDisplay);
        EXPECT_EQ(stream.settings[0].width, c.expected.width);
        EXPECT_EQ(stream.settings[0].height, c.expected.height);
        EXPECT_TRUE(stream.started);
        EXPECT_TRUE(rig.service->isCapturing());
        rig.backend->emit(0, rig.backend->sampleOf(0));
        ASSERT_EQ(rig.delivered.size(), 1u);
        EXPECT_EQ(rig.delivered[0],
                  (ScreenCaptureService::PointsSize{c.expected.pointsWidth, c.expected.pointsHeight}));
    }
}

TEST(ScreenCaptureService, StreamSettingsBoundTheFrameRateBetween5And60) {
    for (const auto& [fps, timescale] : std::vector<std::pair<std::int64_t, std::int32_t>>{
             {-3, 5}, {0, 5}, {4, 5}, {5, 5}, {30, 30}, {60, 60}, {61, 60}, {1000, 60}}) {
        const CaptureStreamSettings settings = ScreenCaptureService::makeStreamConfiguration(640, 400, fps);
        EXPECT_EQ(settings.minimumFrameInterval, MediaTime::make(1, timescale)) << fps;
        EXPECT_EQ(settings.queueDepth, 3);
        EXPECT_TRUE(settings.showsCursor);
        EXPECT_FALSE(settings.capturesAudio);
    }
}

TEST(ScreenCaptureService, TheSameDisplayIsUpdatedInPlaceAndAnotherIsReplacedWithAFreshWindow) {
    Rig rig;
    rig.start(streamOf(1920, 1080, 30));
    for (int i = 0; i < 3; ++i) rig.backend->emit(0, rig.backend->sampleOf(0));
    rig.nowNs += 600'000'000; // the window closes at the next sample: 4 in 0.6 s
    rig.backend->emit(0, rig.backend->sampleOf(0));
    EXPECT_DOUBLE_EQ(rig.service->captureStatistics().measuredCapturedFPS, 4 / 0.6);

    rig.backend->setContent(FakeCaptureBackend::oneDisplay(1, 1280, 720)); // same display, new size
    EXPECT_EQ(rig.start(streamOf(1920, 1080, 60)), (CaptureSize{1280, 720, 1280, 720}));
    ASSERT_EQ(rig.backend->streamCount(), 1u);
    const auto updated = rig.backend->stream(0);
    ASSERT_EQ(updated.settings.size(), 2u);
    EXPECT_EQ(updated.settings[1].minimumFrameInterval, MediaTime::make(1, 60));
    EXPECT_EQ(updated.settings[1].width, 1280);
    EXPECT_EQ(rig.service->captureStatistics(), (ScreenCaptureService::Statistics{4, 4 / 0.6})); // kept
    rig.backend->emit(0, rig.backend->sampleOf(0));
    EXPECT_EQ(rig.delivered.back(), (ScreenCaptureService::PointsSize{1280, 720}));

    rig.backend->setContent(FakeCaptureBackend::oneDisplay(2, 1920, 1080)); // the main display changed
    rig.start(streamOf(1920, 1080, 60));
    ASSERT_EQ(rig.backend->streamCount(), 2u);
    EXPECT_TRUE(rig.backend->stream(0).stopped);
    EXPECT_EQ(rig.backend->stream(1).display.displayID, 2u);
    EXPECT_EQ(rig.backend->runningStreams(), 1u);
    const auto statistics = rig.service->captureStatistics();
    EXPECT_EQ(statistics.capturedCount, 5u); // the count lives as long as the service
    EXPECT_EQ(statistics.measuredCapturedFPS, 0.0);
    // A fresh window: one sample 0.5 s after the new start measures 2 fps.
    rig.nowNs += 500'000'000;
    rig.backend->emit(1, rig.backend->sampleOf(1));
    EXPECT_DOUBLE_EQ(rig.service->captureStatistics().measuredCapturedFPS, 2.0);
}

TEST(ScreenCaptureService, IgnoresSamplesThatAreIncompleteUnusableOrFromAnotherStream) {
    Rig rig;
    rig.start();
    using Mutation = std::function<void(VideoSampleBuffer&)>;
    const std::vector<std::pair<const char*, Mutation>> refused{
        {"audio", [](auto& s) { s.outputType = CaptureOutputType::audio; }},
        {"microphone", [](auto& s) { s.outputType = CaptureOutputType::microphone; }},
        {"invalid", [](auto& s) { s.isValid = false; }},
        {"data not ready", [](auto& s) { s.isDataReady = false; }},
        {"no image", [](auto& s) { s.image.reset(); }},
        {"no status", [](auto& s) { s.frameStatus.reset(); }},
        {"idle", [](auto& s) { s.frameStatus = 1; }},
        {"blank", [](auto& s) { s.frameStatus = 2; }},
        {"suspended", [](auto& s) { s.frameStatus = 3; }},
        {"started", [](auto& s) { s.frameStatus = 4; }},
        {"stopped", [](auto& s) { s.frameStatus = 5; }},
        {"another stream", [](auto& s) { s.streamIdentity += 1; }},
    };
    for (const auto& [name, mutate] : refused) {
        VideoSampleBuffer sample = rig.backend->sampleOf(0);
        mutate(sample);
        rig.backend->emit(0, sample);
        EXPECT_TRUE(rig.delivered.empty()) << name;
    }
    EXPECT_EQ(rig.service->captureStatistics().capturedCount, 0u);
    // A stopped stream's late sample counts neither.
    rig.run(rig.service->stopCapture());
    rig.backend->emit(0, rig.backend->sampleOf(0));
    EXPECT_TRUE(rig.delivered.empty());
    EXPECT_EQ(rig.service->captureStatistics().capturedCount, 0u);
}

TEST(ScreenCaptureService, TheRateFallsToZeroAfterOneAndAHalfSecondsWithoutSamples) {
    Rig rig;
    rig.start();
    rig.backend->emit(0, rig.backend->sampleOf(0));
    rig.nowNs += 500'000'000;
    rig.backend->emit(0, rig.backend->sampleOf(0));
    EXPECT_DOUBLE_EQ(rig.service->captureStatistics().measuredCapturedFPS, 4.0);
    rig.nowNs += 1'400'000'000;
    EXPECT_DOUBLE_EQ(rig.service->captureStatistics().measuredCapturedFPS, 4.0); // not yet
    rig.nowNs += 100'000'000;
    EXPECT_EQ(rig.service->captureStatistics().measuredCapturedFPS, 0.0);
    // A sample within the window keeps the last rate standing.
    rig.backend->emit(0, rig.backend->sampleOf(0));
    rig.nowNs += 400'000'000;
    rig.backend->emit(0, rig.backend->sampleOf(0));
    EXPECT_EQ(rig.service->captureStatistics().measuredCapturedFPS, 0.0);
    rig.nowNs += 1'600'000'000;
    EXPECT_EQ(rig.service->captureStatistics(), (ScreenCaptureService::Statistics{4, 0.0}));
}

TEST(ScreenCaptureService, StopsByTheUserAndByThePlatformLeaveItIdleAndReadyToStartAgain) {
    Rig rig;
    rig.run(rig.service->stopCapture()); // nothing to stop
    EXPECT_FALSE(rig.service->isCapturing());

    rig.start();
    rig.backend->stopWithError(0,
                               std::make_exception_ptr(CaptureBackendError(CaptureBackendError::Case::connectionLost)));
    EXPECT_EQ(rig.stopErrors, (std::vector<std::string>{"The X display connection was lost."}));
    EXPECT_FALSE(rig.service->isCapturing());
    // A second report of the same stream, or one of a stream long gone, calls nothing.
    rig.backend->stopWithError(0, std::make_exception_ptr(CaptureBackendError(CaptureBackendError::Case::grabFailed)));
    EXPECT_EQ(rig.stopErrors.size(), 1u);

    rig.start();
    EXPECT_TRUE(rig.service->isCapturing());
    EXPECT_EQ(rig.backend->runningStreams(), 1u);
    rig.backend->stopWithError(0, std::make_exception_ptr(CaptureBackendError(CaptureBackendError::Case::grabFailed)));
    EXPECT_EQ(rig.stopErrors.size(), 1u);
    EXPECT_TRUE(rig.service->isCapturing());
    rig.run(rig.service->stopCapture());
    EXPECT_EQ(rig.backend->runningStreams(), 0u);
    EXPECT_FALSE(rig.service->isCapturing());
}

TEST(ScreenCaptureService, FailuresAreTheGrantTheDisplayListOrThePlatformsOwn) {
    const auto backendError = std::make_exception_ptr(CaptureBackendError(CaptureBackendError::Case::grabFailed));
    {
        Rig rig;
        rig.backend->setGranted(false);
        expectFailure<CaptureError>(rig.startFailure());
        EXPECT_EQ(rig.backend->streamCount(), 0u);
    }
    {
        Rig rig;
        rig.backend->setContent({});
        const auto error = expectFailure<CaptureError>(rig.startFailure());
        EXPECT_STREQ(error.what(), "No display is available for capture.");
    }
    {
        Rig rig; // the list fails while the grant holds: the platform's error
        rig.backend->failContent(backendError);
        expectFailure<CaptureBackendError>(rig.startFailure());
    }
    {
        Rig rig; // the start fails and the grant is gone meanwhile
        rig.backend->failNextStart(backendError);
        rig.backend->closeStartGate();
        auto started = rig.spawn(outcome(rig.service->startCapture(streamOf(1280, 720))));
        rig.until([&] { return rig.backend->startsWaiting() == 1; });
        rig.backend->setGranted(false);
        rig.backend->openStartGate();
        const auto error = expectFailure<CaptureError>(rig.wait(started));
        EXPECT_STREQ(error.what(), "Screen Recording permission required");
        EXPECT_FALSE(rig.service->isCapturing());
        EXPECT_EQ(rig.backend->runningStreams(), 0u);
    }
    {
        Rig rig; // an update that fails keeps the stream
        rig.start();
        rig.backend->failNextUpdate(backendError);
        expectFailure<CaptureBackendError>(rig.startFailure());
        EXPECT_TRUE(rig.service->isCapturing());
    }
}

// Starts and stops come from tasks that interleave (two tablets configuring,
// a display change, the user stopping): each waits for the one before.
TEST(ScreenCaptureService, OverlappingStartsLeaveOneStreamAndAStopAfterAStartLeavesNone) {
    {
        Rig rig;
        rig.backend->closeStartGate();
        auto first = rig.spawn(rig.service->startCapture(streamOf(1280, 720)));
        auto second = rig.spawn(rig.service->startCapture(streamOf(1920, 1080)));
        rig.until([&] { return rig.backend->startsWaiting() == 1; });
        rig.settle(20ms);
        rig.backend->openStartGate();
        rig.wait(first);
        EXPECT_EQ(rig.wait(second), (CaptureSize{1920, 1080, 1920, 1080}));
        EXPECT_EQ(rig.backend->streamCount(), 1u);
        EXPECT_EQ(rig.backend->runningStreams(), 1u);
        EXPECT_EQ(rig.backend->stream(0).settings.size(), 2u); // the second updated the first's stream
    }
    {
        Rig rig;
        rig.backend->closeStartGate();
        auto started = rig.spawn(rig.service->startCapture(streamOf(1280, 720)));
        auto stopped = rig.spawn(rig.service->stopCapture());
        rig.until([&] { return rig.backend->startsWaiting() == 1; });
        rig.settle(20ms);
        rig.backend->openStartGate();
        rig.wait(started);
        rig.wait(stopped);
        EXPECT_EQ(rig.backend->streamCount(), 1u);
        EXPECT_EQ(rig.backend->runningStreams(), 0u);
        EXPECT_FALSE(rig.service->isCapturing());
    }
}
