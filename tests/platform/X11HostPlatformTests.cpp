// The host's display monitor and its two grants on a real X server.

#include "platform/AccessibilityAccess.hpp"
#include "platform/DisplayMonitor.hpp"
#include "platform/ScreenRecordingAccess.hpp"
#include "platform/linux/X11DisplayConnection.hpp"
#include "support/PrivateXvfb.hpp"
#include "support/TestDisplay.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::PrivateXvfb;

// Screen sleep as the test says, read from the monitor's thread.
class ScriptedScreenSleep final : public WakeEnvironmentPlatform {
public:
    std::atomic<bool> asleep{false};
    std::atomic<int> readings{0};

    std::optional<std::string> providingPowerSourceType() override { return std::nullopt; }
    bool isMainDisplayAsleep() override {
        ++readings;
        return asleep.load();
    }
    std::map<std::string, WakeInterfaceKind> interfaceKinds() override { return {}; }
    std::optional<std::vector<InterfaceAddress>> interfaceAddresses() override { return std::nullopt; }
    MagicPacketWake magicPacketWake(const std::string&) override { return MagicPacketWake::unavailable; }
};

struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DisplayEvent> events;

    DisplayMonitor::Handler handler() {
        return [this](DisplayEvent event) {
            std::lock_guard guard(mutex);
            events.push_back(event);
            changed.notify_all();
        };
    }
    // Waits (bounded) until `count` reports came.
    std::vector<DisplayEvent> waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 10s, [&] { return events.size() >= count; });
        return events;
    }
};

void waitForReadings(const ScriptedScreenSleep& power, int atLeast) {
    for (int i = 0; i < 5000 && power.readings.load() < atLeast; ++i) std::this_thread::sleep_for(1ms);
}

TEST(X11DisplayMonitor, CachesTheCapturesMainDisplayAndReportsScreenSleep) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    X11DisplayConnection connection(display);
    const ShareableContent content = connection.displays();
    ASSERT_TRUE(content.mainDisplayID);
    const std::optional<X11Rectangle> rectangle = connection.displayRectangle(*content.mainDisplayID);
    ASSERT_TRUE(rectangle);

    const auto power = std::make_shared<ScriptedScreenSleep>();
    const std::shared_ptr<DisplayMonitor> monitor = DisplayMonitor::create(display, power, 5ms);
    EXPECT_EQ(monitor->mainDisplay(), (DisplayDescriptor{0, 1, 1, 1.0})); // nothing read before the start
    Reports reports;
    monitor->start(reports.handler());
    EXPECT_EQ(monitor->mainDisplay(),
              (DisplayDescriptor{*content.mainDisplayID, rectangle->width, rectangle->height, 1.0}));
    EXPECT_EQ(monitor->mainDisplayBounds(),
              (ContentRect2D{{static_cast<double>(rectangle->x), static_cast<double>(rectangle->y)},
                             {static_cast<double>(rectangle->width), static_cast<double>(rectangle->height)}}));
    EXPECT_EQ(rectangle->width, 1280);
    EXPECT_EQ(rectangle->height, 800);

    waitForReadings(*power, 3);
    power->asleep = true;
    EXPECT_EQ(reports.waitFor(1), std::vector<DisplayEvent>{DisplayEvent::screensDidSleep});
    const int seen = power->readings.load();
    waitForReadings(*power, seen + 3); // asleep for a few readings: still one report
    power->asleep = false;
    EXPECT_EQ(reports.waitFor(2),
              (std::vector<DisplayEvent>{DisplayEvent::screensDidSleep, DisplayEvent::screensDidWake}));
}

TEST(X11HostGrants, BothGrantsHoldOnTheTestDisplayAndAccessibilityNeedsXTest) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    EXPECT_TRUE(ScreenRecordingAccess::create(CaptureBackend::create(display))->preflight());
    EXPECT_NO_THROW(ScreenRecordingAccess::create(CaptureBackend::create(display))->confirmShareableContent());
    EXPECT_TRUE(AccessibilityAccess::create(InputEventSink::create(display))->isTrusted());

    if (!PrivateXvfb::isInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    PrivateXvfb::Options options;
    options.extraArguments = {"-extension", "XTEST"};
    PrivateXvfb withoutXTest(options);
    EXPECT_TRUE(ScreenRecordingAccess::create(CaptureBackend::create(withoutXTest.displayName()))->preflight());
    const auto accessibility = AccessibilityAccess::create(InputEventSink::create(withoutXTest.displayName()));
    EXPECT_FALSE(accessibility->isTrusted());
    EXPECT_FALSE(accessibility->isTrustedWithPrompt());

    // No display at all: neither grant, and nothing throws.
    EXPECT_FALSE(ScreenRecordingAccess::create(CaptureBackend::create(":9731"))->preflight());
    EXPECT_FALSE(AccessibilityAccess::create(InputEventSink::create(":9731"))->isTrusted());
}

} // namespace
} // namespace velorinth
