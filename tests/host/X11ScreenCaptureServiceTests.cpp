// The capture service over the X11 back-end when the X server goes away.

#include "host/capture/ScreenCaptureService.hpp"
#include "support/LoopRunner.hpp"
#include "support/PrivateXvfb.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace velorinth;
using namespace velorinth::testing;

TEST(X11ScreenCaptureService, LosingTheXServerStopsTheStreamOnceAndANewStartWorksWhenItIsBack) {
    if (!PrivateXvfb::isInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    PrivateXvfb::Options options;
    options.screen = "640x480x24";
    auto xvfb = std::make_unique<PrivateXvfb>(options);
    LoopRunner loop;
    auto service =
        std::make_shared<ScreenCaptureService>(loop.io.get_executor(), CaptureBackend::create(xvfb->displayName()));
    std::atomic<int> samples{0};
    std::mutex mutex;
    std::vector<std::string> stops;
    service->setOnSampleBuffer([&](const VideoSampleBuffer&, ScreenCaptureService::PointsSize) { ++samples; });
    service->setOnStreamStoppedWithError([&](std::exception_ptr error) {
        std::lock_guard guard(mutex);
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            stops.emplace_back(e.what());
        }
    });
    const VideoStreamConfiguration configuration =
        VideoStreamConfiguration::clamped(Capability::h264, 640, 480, 30, 1'000'000, 60, 2'097'152, 16'384);
    const auto stopCount = [&] {
        std::lock_guard guard(mutex);
        return stops.size();
    };

    EXPECT_EQ(loop.run(service->startCapture(configuration)), (ScreenCaptureService::CaptureSize{640, 480, 640, 480}));
    loop.until([&] { return samples >= 2; });
    options.displayNumber = xvfb->displayNumber();
    xvfb->stop();
    loop.until([&] { return stopCount() == 1; });
    EXPECT_FALSE(service->isCapturing());
    EXPECT_EQ(stops[0], "The X display connection was lost.");
    // No server, no grant.
    const auto refused =
        expectFailure<ScreenCaptureService::CaptureError>(loop.run(outcome(service->startCapture(configuration))));
    EXPECT_EQ(refused.kind, ScreenCaptureService::CaptureError::Case::screenRecordingPermissionDenied);

    xvfb = std::make_unique<PrivateXvfb>(options);
    loop.run(service->startCapture(configuration));
    const int before = samples;
    loop.until([&] { return samples >= before + 2; });
    EXPECT_EQ(stopCount(), 1u);
    loop.run(service->stopCapture());
    service.reset();
}
