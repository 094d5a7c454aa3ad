// The whole road of a frame on the test display, in one process: capture,
// encoder, the real host server, loopback TLS, the real tablet session, and
// the tablet's decoder on its own thread.

#include "host/capture/ScreenCaptureService.hpp"
#include "support/HostRig.hpp"
#include "support/TabletRig.hpp"
#include "support/TestDisplay.hpp"
#include "support/VideoHostWiring.hpp"
#include "support/X11Painter.hpp"
#include "tablet/VideoDecodeOwner.hpp"
#include "transport/client/ClientSessionConnector.hpp"

#include <gtest/gtest.h>

#include <mutex>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

// Where the bright pixels of a picture lie, in a region away from the pointer.
struct Box {
    int left = 0, top = 0, right = -1, bottom = -1; // inclusive; empty when right < left
};

Box brightBox(const PixelBuffer& picture, int width, int height) {
    Box box{width, height, -1, -1};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (picture.luma(x, y) < 96) continue;
            box.left = std::min(box.left, x);
            box.top = std::min(box.top, y);
            box.right = std::max(box.right, x);
            box.bottom = std::max(box.bottom, y);
        }
    }
    return box;
}

bool near(const Box& box, int left, int top, int right, int bottom) {
    constexpr int kTolerance = 3;
    return std::abs(box.left - left) <= kTolerance && std::abs(box.top - top) <= kTolerance &&
           std::abs(box.right - right) <= kTolerance && std::abs(box.bottom - bottom) <= kTolerance;
}

} // namespace

TEST(X11VideoEndToEnd, ATabletDecodesTheHostsScreenAndSeesAWindowMove) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    X11Painter painter(display);
    ASSERT_EQ(painter.screenWidth(), 1280);
    ASSERT_EQ(painter.screenHeight(), 800);
    painter.fillBackground(0x000000);
    painter.warpPointer(1276, 796); // outside the measured region
    const xcb_window_t window = painter.showWindow(100, 100, 200, 200, 0x20D040);

    HostRig h;
    const auto capture = std::make_shared<ScreenCaptureService>(h.io.get_executor(), CaptureBackend::create(display));
    const auto box = std::make_shared<EncoderBox>();
    HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
    wireVideo(capture, callbacks, box, h.server, h.io.get_executor());
    h.call([&] { h.server->setCallbacks(callbacks); });

    asio::thread_pool kdf{1}, store{1};
    TabletRig tablet;
    h.trust->trust(trustedRecord(tablet.publicIdentity()));
    const TrustedDevice hostRecord =
        trustedRecord(h.hostIdentity->publicIdentity(h.hostIdentity->loadOrCreateRecord()));
    tablet.trust->trust(hostRecord);
    ClientSessionConnector connector(h.io.get_executor(), kdf, store, {5s, 5s, 1s, 300ms});
    const auto session = h.run(connector.connect(tablet.request(h.port, HandshakePurpose::reconnect, hostRecord)));

    std::mutex mutex;
    Box seen;
    std::uint64_t decodedFrames = 0;
    DecodedVideoFrame last;
    auto owner = std::make_unique<VideoDecodeOwner>(h.io.get_executor(),
                                                    VideoDecodeOwner::requesterFor(h.io.get_executor(), session),
                                                    [&](const DecodedVideoFrame& frame) {
                                                        const Box found = brightBox(*frame.pixelBuffer, 600, 380);
                                                        std::lock_guard guard(mutex);
                                                        seen = found;
                                                        last = frame;
                                                        ++decodedFrames;
                                                    });
    h.call([&] { session->setVideoHandlers([&owner](const EncodedVideoFrame& frame) { owner->submit(frame); }, {}); });

    const VideoStreamConfiguration configuration =
        VideoStreamConfiguration::clamped(Capability::h264, 640, 400, 30, 2'000'000, 60, 2'097'152, 16'384);
    h.run(session->configureVideoStream(configuration, 1));
    const auto seenNear = [&](int left, int top, int right, int bottom) {
        return [&, left, top, right, bottom] {
            std::lock_guard guard(mutex);
            return decodedFrames > 0 && near(seen, left, top, right, bottom);
        };
    };
    h.until(seenNear(50, 50, 149, 149), 20s); // half the screen's size
    {
        std::lock_guard guard(mutex);
        EXPECT_EQ(last.width, 640);
        EXPECT_EQ(last.height, 400);
        EXPECT_EQ(last.sourceDisplayWidth, 1280);
        EXPECT_EQ(last.generation, 1u);
        const auto [x, y] = std::pair{100, 100};
        EXPECT_NEAR(last.pixelBuffer->luma(x, y), 16 + 219 * (0.2126 * 0x20 + 0.7152 * 0xD0 + 0.0722 * 0x40) / 255, 4);
        EXPECT_NEAR(last.pixelBuffer->luma(400, 300), 16, 4);
    }

    painter.moveWindow(window, 700, 400);
    h.until(seenNear(350, 200, 449, 299), 20s);
    EXPECT_TRUE(capture->isCapturing());
    EXPECT_EQ(owner->decoder().statistics().decoderErrorCount, 0u);

    h.run(session->disconnect("Test over."));
    h.run(capture->stopCapture());
    owner.reset();
    box->invalidate();
}
