// The host application in process, through its window: the real wiring of
// VelorinthHostApp drawing off screen while it captures and injects on the
// test display, and a real tablet client on 127.0.0.1 that pairs through the
// sheet, streams, loses a held key with remote control and is disconnected.

#include "QtTestApplication.hpp"
#include "QtViewTestSupport.hpp"

#include "VelorinthHostApp.hpp"
#include "support/DecodedFrames.hpp"
#include "support/LoopbackListener.hpp"
#include "support/PrivateUserFolders.hpp"
#include "support/TabletRig.hpp"
#include "support/TestDisplay.hpp"
#include "support/X11TestWindow.hpp"

#include <QCheckBox>
#include <QCoreApplication>
#include <QPushButton>

#include <gtest/gtest.h>


using namespace velorinth;
using namespace velorinth::testing;

namespace {

// The test thread runs both Qt's loop (the host's UI) and the tablet's loop.
struct Pump {
    LoopRunner& tablet;

    void until(const std::function<bool()>& done, std::chrono::steady_clock::duration limit = 20s) {
        const auto giveUp = std::chrono::steady_clock::now() + limit; // a guard against hangs only
        while (!done()) {
            if (std::chrono::steady_clock::now() > giveUp) throw std::runtime_error("the condition never held");
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            tablet.io.restart();
            tablet.io.poll();
        }
    }
    template <class T>
    T wait(std::future<T>& future) {
        until([&] { return future.wait_for(0s) == std::future_status::ready; });
        return future.get();
    }
};

bool has(const QObject* root, const char* name, const std::string& text) {
    for (QLabel* label : allNamed(root, name)) {
        if (label->text().toStdString() == text && !label->isHidden()) return true;
    }
    return false;
}

} // namespace

TEST(X11HostAppEndToEnd, PairsThroughTheSheetStreamsAndIsControlledFromTheWindow) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    qtApplication();
    X11TestWindow window(display);
    PrivateUserFolders folders;
    LoopRunner tablet;
    Pump pump{tablet};

    VelorinthHostAppOptions options;
    options.displayName = display;
    options.watchesSystemSleep = false;
    options.serverOptions.listenerFactory = loopbackListener;
    std::vector<std::string> printed;
    options.print = [&](const std::string& line) { printed.push_back(line); };
    auto app = std::make_unique<VelorinthHostApp>(options);
    EXPECT_FALSE(app->model()->started.get()); // nothing starts before the window shows
    app->show();
    HostDashboard& dashboard = app->dashboard();
    HostModel* model = app->model().get(); // the application's alone: it goes before the loop
    pump.until([&] { return model->listenerStatus.get().kind() == ListenerStatus::Case::advertising; });
    const std::uint16_t port = model->listenerStatus.get().port();

    // Pairing: the sheet shows the code the tablet shows, and a click approves.
    TabletRig rig;
    rig.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
    asio::thread_pool kdf{1}, store{1};
    ClientSessionConnector connector(tablet.io.get_executor(), kdf, store, {10s, 10s, 1s, 300ms});
    auto connecting = tablet.spawn(connector.connect(rig.request(port, HandshakePurpose::pair)));
    pump.until([&] { return dashboard.pairingSheet() != nullptr && !rig.codesShown.empty(); });
    PairingApprovalView* sheet = dashboard.pairingSheet();
    EXPECT_EQ(textOf(sheet, "pairingCode"), rig.codesShown.front());
    EXPECT_EQ(textOf(sheet, "pairingFingerprint"), rig.publicIdentity().fingerprint.groupedHexString());
    keepPicture(sheet, "e2e-1-pairing-sheet");
    named<QPushButton>(sheet, "pairingApprove")->click();
    const std::shared_ptr<AuthenticatedClientSession> session = pump.wait(connecting);
    pump.until([&] {
        return has(&dashboard, "sessionBadge", "TLS 1.3 + AEAD Verified") && has(&dashboard, "sessionsBadge", "1") &&
               has(&dashboard, "deviceName", rig.publicIdentity().displayName);
    });
    keepPicture(&dashboard, "e2e-2-paired");

    // Streaming the test display to the real decoder.
    auto decoded = std::make_unique<DecodedFrames>(tablet, session);
    auto configured = tablet.spawn(session->configureVideoStream(
        VideoStreamConfiguration::clamped(Capability::h264, 640, 360, 30, 2'000'000, 60, 1'000'000, 16'384), 1));
    pump.wait(configured);
    pump.until([&] { return decoded->size() >= 3 && model->streamDiagnostics.get().videoWidth > 0; });
    pump.until([&] { return has(&dashboard, "statusTitle", "Live Desktop Streaming Active"); });
    const VideoStreamDiagnostics diagnostics = model->streamDiagnostics.get();
    pump.until([&] {
        return has(&dashboard, "metricResolution",
                   std::to_string(diagnostics.videoWidth) + "\u00D7" + std::to_string(diagnostics.videoHeight));
    });
    keepPicture(&dashboard, "e2e-3-streaming");

    // The row's switch withdraws remote control: a key the tablet holds is let go.
    auto pressed = tablet.spawn(session->sendInput(InputEvent::key(0x00, true, KeyModifiers{}))); // "a"
    pump.wait(pressed);
    pump.until([&] { return window.pressedKeycodes().count(38) == 1; });
    named<QCheckBox>(&dashboard, "deviceRemoteControl")->click();
    pump.until([&] { return window.pressedKeycodes().empty(); });
    pump.until([&] { return has(&dashboard, "sessionBadge", "View Only"); });
    EXPECT_TRUE(rig.terminations.empty());
    keepPicture(&dashboard, "e2e-4-view-only");

    // The row's "Disconnect".
    named<QPushButton>(&dashboard, "sessionDisconnect")->click();
    pump.until([&] { return !rig.terminations.empty(); });
    EXPECT_EQ(rig.terminations.front(), SessionTerminationReason::remoteDisconnect("Disconnected by Mac user."));
    pump.until([&] { return model->hostStreamState.get() == VideoStreamState::idle(); });
    keepPicture(&dashboard, "e2e-5-disconnected");
    EXPECT_FALSE(printed.empty()); // the listening line

    decoded.reset();
    app.reset(); // the application's own exit order
    tablet.drain();
}
