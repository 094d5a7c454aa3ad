// The capture service over the X11 back-end when the X server goes away.

#include "host/capture/ScreenCaptureService.hpp"
#include "support/LoopRunner.hpp"
#include "support/PrivateXvfb.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

// The X11 back-end on whichever display the test names now: a server started
// again takes a free number, since another may have taken the old one meanwhile.
class MovingDisplayBackend final : public CaptureBackend {
public:
    explicit MovingDisplayBackend(std::string displayName) : displayName_(std::move(displayName)) {}

    void moveTo(std::string displayName) {
        std::lock_guard guard(mutex_);
        displayName_ = std::move(displayName);
    }

    bool preflight() override { return current()->preflight(); }
    ShareableContent shareableContent() override { return current()->shareableContent(); }
    std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display, const CaptureStreamSettings& settings,
                                              CaptureStreamOutput& output) override {
        return current()->makeStream(display, settings, output);
    }

private:
    std::shared_ptr<CaptureBackend> current() {
        std::lock_guard guard(mutex_);
        return CaptureBackend::create(displayName_);
    }

    std::mutex mutex_;
    std::string displayName_;
};

} // namespace

TEST(X11ScreenCaptureService, LosingTheXServerStopsTheStreamOnceAndANewStartWorksWhenItIsBack) {
    if (!PrivateXvfb::isInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    PrivateXvfb::Options options;
    options.screen = "640x480x24";
    auto xvfb = std::make_unique<PrivateXvfb>(options);
    LoopRunner loop;
    const auto backend = std::make_shared<MovingDisplayBackend>(xvfb->displayName());
    auto service = std::make_shared<ScreenCaptureService>(loop.io.get_executor(), backend);
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
    xvfb->stop();
    loop.until([&] { return stopCount() == 1; });
    EXPECT_FALSE(service->isCapturing());
    EXPECT_EQ(stops[0], "The X display connection was lost.");
    // No server, no grant. The old number may be another server's by now.
    backend->moveTo("unix:65000");
    const auto refused =
        expectFailure<ScreenCaptureService::CaptureError>(loop.run(outcome(service->startCapture(configuration))));
    EXPECT_EQ(refused.kind, ScreenCaptureService::CaptureError::Case::screenRecordingPermissionDenied);

    xvfb = std::make_unique<PrivateXvfb>(options);
    backend->moveTo(xvfb->displayName());
    loop.run(service->startCapture(configuration));
    const int before = samples;
    loop.until([&] { return samples >= before + 2; });
    EXPECT_EQ(stopCount(), 1u);
    loop.run(service->stopCapture());
    service.reset();
}
