// The X11 capture back-end on the test display: what it lists, its grant,
// and the colours it delivers.

#include "core/Uptime.hpp"
#include "platform/CaptureBackend.hpp"
#include "platform/CaptureBackendError.hpp"
#include "platform/linux/X11DisplayConnection.hpp"
#include "platform/linux/X11ScreenGrabber.hpp"
#include "support/LoopRunner.hpp"
#include "support/TestDisplay.hpp"
#include "support/X11Painter.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

// Keeps the latest sample a stream delivers (its picture stays ours while held).
struct Collector : CaptureStreamOutput {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t count = 0;
    VideoSampleBuffer first;
    VideoSampleBuffer latest;
    std::exception_ptr stopped;

    void captureStreamDidOutputSample(const VideoSampleBuffer& sample) override {
        {
            std::lock_guard guard(mutex);
            if (count++ == 0) first = sample;
            latest = sample;
        }
        changed.notify_all();
    }
    void captureStreamDidStop(std::uint64_t, std::exception_ptr error) override {
        {
            std::lock_guard guard(mutex);
            stopped = error;
        }
        changed.notify_all();
    }
    // The sample delivered after `more` further ones.
    VideoSampleBuffer after(std::size_t more) {
        std::unique_lock lock(mutex);
        const std::size_t target = count + more;
        EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return count >= target || stopped; }));
        EXPECT_FALSE(stopped);
        return latest;
    }
};

CaptureStreamSettings settingsOf(int width, int height) {
    CaptureStreamSettings settings;
    settings.width = width;
    settings.height = height;
    settings.minimumFrameInterval = MediaTime::make(1, 60);
    return settings;
}

void expectNear(int actual, int expected, int tolerance, const char* what) {
    EXPECT_LE(std::abs(actual - expected), tolerance) << what << ": " << actual << " for " << expected;
}

} // namespace

TEST(X11CaptureBackend, ListsTheServersOutputAndReadsItsRoot) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    const auto backend = CaptureBackend::create(display);
    EXPECT_TRUE(backend->preflight());
    const ShareableContent content = backend->shareableContent();
    ASSERT_EQ(content.displays.size(), 1u);
    const CaptureDisplay& only = content.displays[0];
    EXPECT_EQ(content.mainDisplayID, only.displayID);
    X11Painter painter(display);
    EXPECT_EQ(only.width, painter.screenWidth()); // points are pixels here
    EXPECT_EQ(only.pixelWidth, painter.screenWidth());
    EXPECT_EQ(only.height, painter.screenHeight());

    const auto absent = CaptureBackend::create("unix:65000");
    EXPECT_FALSE(absent->preflight());
    EXPECT_EQ(thrown<CaptureBackendError>([&] { absent->shareableContent(); }).kind,
              CaptureBackendError::Case::displayUnavailable);
}

// Full-range RGB becomes video-range BT.709: white 235, black 16, grey
// chroma 128, red (63, 102, 240). Measured away from the pointer, which is
// drawn in.
TEST(X11CaptureBackend, DeliversTheScreenAsVideoRangeBt709AtTheAskedSize) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    X11Painter painter(display);
    const int width = painter.screenWidth(), height = painter.screenHeight();
    painter.fillBackground(0x000000);
    painter.fillRectangle(0, 0, width / 2, height, 0xFFFFFF);
    painter.fillRectangle(width * 5 / 8, height / 8, width / 4, height / 4, 0xFF0000);
    painter.warpPointer(width - 4, height - 4);

    const auto backend = CaptureBackend::create(display);
    const CaptureDisplay screen = backend->shareableContent().displays.at(0);
    for (const int divisor : {1, 2}) {
        SCOPED_TRACE(divisor);
        Collector collector;
        auto stream = backend->makeStream(screen, settingsOf(width / divisor, height / divisor), collector);
        stream->start();
        const VideoSampleBuffer sample = collector.after(2);
        stream->stop();
        EXPECT_EQ(sample.streamIdentity, stream->identity());
        EXPECT_EQ(sample.frameStatus, VideoSampleBuffer::kFrameStatusComplete);
        EXPECT_FALSE(sample.duration.isValid());
        EXPECT_EQ(sample.presentationTime.timescale, 1'000'000);
        ASSERT_TRUE(sample.image);
        const PixelBuffer& image = *sample.image;
        ASSERT_EQ(image.width(), width / divisor);
        ASSERT_EQ(image.height(), height / divisor);
        const auto scaled = [&](int v) { return v / divisor; };
        const int whiteX = scaled(width / 4), blackX = scaled(width * 7 / 8), y = scaled(height * 3 / 4);
        expectNear(image.luma(whiteX, y), 235, 1, "white Y");
        expectNear(image.luma(blackX, y), 16, 1, "black Y");
        for (const int x : {whiteX, blackX}) {
            expectNear(image.cb(x, y), 128, 1, "grey Cb");
            expectNear(image.cr(x, y), 128, 1, "grey Cr");
        }
        const int redX = scaled(width * 3 / 4), redY = scaled(height / 4);
        expectNear(image.luma(redX, redY), 63, 2, "red Y");
        expectNear(image.cb(redX, redY), 102, 2, "red Cb");
        expectNear(image.cr(redX, redY), 240, 2, "red Cr");
    }
}

TEST(X11CaptureBackend, APointerOverThePictureIsDrawnIn) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    X11Painter painter(display);
    painter.fillBackground(0x000000);
    painter.warpPointer(200, 200);
    const auto backend = CaptureBackend::create(display);
    Collector collector;
    auto stream = backend->makeStream(backend->shareableContent().displays.at(0),
                                      settingsOf(painter.screenWidth(), painter.screenHeight()), collector);
    stream->start();
    const VideoSampleBuffer sample = collector.after(1);
    stream->stop();
    int brightest = 0;
    for (int y = 180; y < 220; ++y) {
        for (int x = 180; x < 220; ++x) brightest = std::max<int>(brightest, sample.image->luma(x, y));
    }
    EXPECT_GT(brightest, 100); // the server's cursor is not black on black
}

// Work handed to a grab runs once, while the server copies; the pixels are
// the screen's, and a failure of that work leaves the grabber reading on.
TEST(X11CaptureBackend, AGrabRunsTheCallersWorkWhileTheServerCopiesAndOutlivesItsFailure) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    X11Painter painter(display);
    const X11Rectangle whole{0, 0, painter.screenWidth(), painter.screenHeight()};
    const auto pixelAt = [&](const X11ScreenGrabber::Image& image) {
        const std::uint8_t* bgrx = image.data + 10 * image.stride + 10 * 4;
        return std::uint32_t{bgrx[2]} << 16 | std::uint32_t{bgrx[1]} << 8 | bgrx[0];
    };
    painter.fillBackground(0x336699);
    X11DisplayConnection connection(display);
    X11ScreenGrabber grabber(connection, false);
    int ran = 0;
    EXPECT_EQ(pixelAt(grabber.grab(whole, [&] { ++ran; })), 0x336699u);
    EXPECT_EQ(ran, 1);
    EXPECT_THROW(grabber.grab(whole, [] { throw std::runtime_error("the caller's work failed"); }),
                 std::runtime_error);
    painter.fillBackground(0x996633);
    EXPECT_EQ(pixelAt(grabber.grab(whole)), 0x996633u);
}

// The start reads the screen to prove it can; that read is the first sample,
// not read again by the first tick.
TEST(X11CaptureBackend, TheFirstSampleIsTheStartsOwnRead) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    X11Painter painter(display);
    const auto backend = CaptureBackend::create(display);
    Collector collector;
    auto stream = backend->makeStream(backend->shareableContent().displays.at(0),
                                      settingsOf(painter.screenWidth(), painter.screenHeight()), collector);
    const auto before = static_cast<std::int64_t>(steadyUptimeNs() / 1000);
    stream->start();
    const auto started = static_cast<std::int64_t>(steadyUptimeNs() / 1000);
    collector.after(1);
    stream->stop();
    std::lock_guard guard(collector.mutex);
    EXPECT_GE(collector.first.presentationTime.value, before);
    EXPECT_LE(collector.first.presentationTime.value, started);
}
