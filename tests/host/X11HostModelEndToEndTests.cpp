// The host model as the application builds it, headless: the production
// environment on the test display, the real server on 127.0.0.1 on its own
// loop, the main executor on the test thread, and a real tablet client that
// pairs, streams, sends input and is disconnected.

#include "host/model/HostModel.hpp"
#include "host/model/ProductionHostEnvironment.hpp"
#include "platform/linux/FileSecureStore.hpp"
#include "support/FakeHostPlatform.hpp"
#include "support/DecodedFrames.hpp"
#include "support/LoopbackListener.hpp"
#include "support/PrivateUserFolders.hpp"
#include "support/TabletRig.hpp"
#include "support/TestDisplay.hpp"
#include "support/X11TestWindow.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace velorinth;
using namespace velorinth::testing;

namespace fs = std::filesystem;

TEST(X11HostModelEndToEnd, ATabletPairsStreamsControlsAndIsDisconnected) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    X11TestWindow window(display);
    PrivateUserFolders folders;
    LoopRunner ui; // the UI thread: the model, and the tablet's client
    EventLoop loop;
    loop.start();

    ProductionHostOptions options;
    options.displayName = display;
    options.pasteboard = std::make_shared<FakePasteboard>();
    options.windowActivator = std::make_shared<FakeWindowActivator>();
    options.serverOptions.listenerFactory = loopbackListener;
    auto trust = std::make_shared<TrustedDeviceStore>(SecureStore::create());
    auto model = std::make_shared<HostModel>(nullptr, trust,
                                             makeProductionHostEnvironment(loop, ui.io.get_executor(), options));
    EXPECT_TRUE(model->screenRecordingGranted.get());
    EXPECT_TRUE(model->accessibilityGranted.get());
    model->refreshPermissions();
    ui.run(model->start());
    ui.until([&] { return model->listenerStatus.get().kind() == ListenerStatus::Case::advertising; });
    const std::uint16_t port = model->listenerStatus.get().port();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(fs::exists(FileSecureStore::defaultRoot())); // the identity went to the private folder

    // Pairing, approved on the host by the prompt it showed.
    TabletRig tablet;
    tablet.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
    asio::thread_pool kdf{1}, store{1};
    ClientSessionConnector connector(ui.io.get_executor(), kdf, store, {10s, 10s, 1s, 300ms});
    auto connecting = ui.spawn(connector.connect(tablet.request(port, HandshakePurpose::pair)));
    ui.until([&] { return model->pendingPairing.get().has_value() && !tablet.codesShown.empty(); }, 20s);
    const IncomingPairingPrompt prompt = *model->pendingPairing.get();
    EXPECT_EQ(prompt.verificationCode, tablet.codesShown.front());
    model->pendingPairing.set(std::nullopt); // as the sheet does before answering
    ui.run(model->approvePendingPairing(prompt.id));
    const std::shared_ptr<AuthenticatedClientSession> session = ui.wait(connecting);
    ui.until([&] { return model->activeSessionList.get().size() == 1 && model->trustedDevices.get().size() == 1; });
    const TrustedDevice device = model->trustedDevices.get().front();
    EXPECT_EQ(device.id, tablet.publicIdentity().id);

    // Streaming the test display, decoded by the real decoder.
    auto decoded = std::make_unique<DecodedFrames>(ui, session);
    ui.run(session->configureVideoStream(
        VideoStreamConfiguration::clamped(Capability::h264, 640, 360, 30, 2'000'000, 60, 1'000'000, 16'384), 1));
    ui.until([&] { return decoded->size() >= 3; }, 20s);
    EXPECT_EQ(model->hostStreamState.get(), VideoStreamState::streaming());
    const DecodedVideoFrame last = decoded->frames().back();
    EXPECT_EQ(last.width, model->streamDiagnostics.get().videoWidth);
    EXPECT_EQ(last.height, model->streamDiagnostics.get().videoHeight);
    EXPECT_EQ(last.height, 360);

    // Input: the pointer lands on the mapped pixel of the display's bounds.
    const ContentRect2D bounds = model->platform.display->mainDisplayBounds();
    ui.run(session->sendInput(InputEvent::pointerMove(0.25, 0.75)));
    ui.until([&] {
        const X11TestWindow::Pointer pointer = window.queryPointer();
        return pointer.x == static_cast<int>(bounds.origin.x + 0.25 * bounds.size.width) &&
               pointer.y == static_cast<int>(bounds.origin.y + 0.75 * bounds.size.height);
    });
    // A key held by the tablet is let go when remote control is withdrawn.
    ui.run(session->sendInput(InputEvent::key(0x00, true, KeyModifiers{}))); // "a"
    ui.until([&] { return window.pressedKeycodes().count(38) == 1; });
    ui.run(model->setDeviceRemoteControl(false, device));
    ui.until([&] { return window.pressedKeycodes().empty(); }, 2s); // the X server's own turn, not a timing check
    EXPECT_EQ(model->activeSessionList.get().size(), 1u);
    EXPECT_TRUE(tablet.terminations.empty());

    // The Mac user ends the session.
    ui.run(model->disconnectSession(model->activeSessionList.get().front()));
    ui.until([&] { return !tablet.terminations.empty(); });
    EXPECT_EQ(tablet.terminations.front(), SessionTerminationReason::remoteDisconnect("Disconnected by Mac user."));
    ui.until([&] { return model->hostStreamState.get() == VideoStreamState::idle(); });

    decoded.reset();
    ui.run(model->sessionServer->stop());
    // The loop outlives the model: what the model has under way still hops there.
    const std::weak_ptr<HostModel> weak = model;
    model.reset();
    ui.until([&] { return weak.expired(); });
    ui.drain();
    loop.stop();
}
