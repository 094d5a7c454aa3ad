// The whole road of remote input in one process: the tablet's engine turns a
// click into events, the real client session sends them over loopback TLS,
// the real server hands them to the injector, and the XTest sink moves the
// test display's pointer and clicks; closing the session lets go of a key.

#include "core/RemoteInputEngine.hpp"
#include "host/input/InputInjector.hpp"
#include "support/HostRig.hpp"
#include "support/TabletRig.hpp"
#include "support/TestDisplay.hpp"
#include "support/X11TestWindow.hpp"
#include "transport/client/ClientSessionConnector.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>

using namespace velorinth;
using namespace velorinth::testing;

TEST(X11RemoteInputEndToEnd, AnEngineClickMovesAndClicksTheDisplayAndClosingReleasesAHeldKey) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    std::optional<X11TestWindow> window;
    window.emplace(display);
    const std::shared_ptr<InputEventSink> sink = InputEventSink::create(display);
    ASSERT_TRUE(sink->isTrusted());
    InputInjector injector(sink);
    const ContentRect2D bounds{{0, 0}, {1280, 800}};

    // The host's handlers as the host application installs them.
    HostRig h;
    std::size_t cleanups = 0;
    HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
    callbacks.onRemoteInput = [&](const Uuid&, const Uuid&, const InputEvent& event) {
        try {
            injector.inject(event, bounds);
        } catch (const InputInjectorError& error) {
            return error.kind != InputInjectorError::Case::accessibilityPermissionRequired;
        }
        return true;
    };
    callbacks.onSessionClosedForInputCleanup = [&](const Uuid&, const Uuid&) {
        ++cleanups;
        injector.releaseAllHeld();
    };
    h.call([&] {
        h.server->setCallbacks(callbacks);
        h.server->updateHostState(DisplayDescriptor{1, 1280, 800, 1.0}, true, std::nullopt);
    });

    // A tablet paired before reconnects.
    TabletRig tablet;
    tablet.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
    h.trust->trust(trustedRecord(tablet.publicIdentity()));
    const TrustedDevice hostRecord = trustedRecord(h.hostIdentity->publicIdentity(h.hostIdentity->loadOrCreateRecord()));
    tablet.trust->trust(hostRecord);
    asio::thread_pool kdf{1}, store{1};
    ClientSessionConnector connector(h.io.get_executor(), kdf, store, {2s, 2s, 1s, 300ms});
    const auto session = h.run(connector.connect(tablet.request(h.port, HandshakePurpose::reconnect, hostRecord)));

    std::vector<InputEvent> emitted;
    // A 640×400 view shows the 1280×800 display at half size, edge to edge.
    RemoteInputEngine engine(InputPreferences(InputInteractionMode::directPointer, 1.0, false, false, false),
                             Size2D{640, 400}, Size2D{1280, 800}, 0.3, 0.05, 4,
                             [&](const InputEvent& event) { emitted.push_back(event); });
    engine.updateSessionState(true, DevicePermissions{0x07}, true);
    auto send = [&] {
        std::vector<InputEvent> batch = std::exchange(emitted, {});
        const std::uint64_t total = h.sessions()[0].receivedInputEvents + batch.size();
        h.run([&]() -> asio::awaitable<void> {
            for (const InputEvent& event : batch) co_await session->sendInput(event);
        }());
        h.until([&] { return h.sessions()[0].receivedInputEvents >= total; });
        sink->currentPointerLocation(); // the sink's requests are done
        window->roundTrip();           // and their events are here
    };

    engine.performClick(MouseButton::primary, 10.0, Point2D{320, 100}, 1);
    ASSERT_EQ(emitted.size(), 3u); // move, down, up
    send();
    EXPECT_EQ(window->queryPointer().x, 640);
    EXPECT_EQ(window->queryPointer().y, 200);
    const std::vector<X11TestWindow::Event> events = window->takeEvents();
    const auto press = std::find_if(events.begin(), events.end(),
                                    [](const X11TestWindow::Event& e) { return e.type == XCB_BUTTON_PRESS; });
    ASSERT_NE(press, events.end());
    EXPECT_EQ(press->detail, 1);
    EXPECT_EQ(press->rootX, 640);
    EXPECT_EQ(press->rootY, 200);
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const X11TestWindow::Event& e) { return e.type == XCB_BUTTON_PRESS; }),
              1);

    // Command-A held on the tablet's keyboard.
    HardwareKeyDescriptor commandA{0x04, "a", "a", KeyModifiers::command};
    EXPECT_TRUE(engine.handleHardwareKeyDown(commandA, false));
    send();
    EXPECT_EQ(window->pressedKeycodes(), (std::set<std::uint8_t>{38, 133})); // A and Super

    const std::size_t cleanupsBefore = cleanups;
    h.run(session->disconnect("Done."));
    h.until([&] { return cleanups > cleanupsBefore && h.sessions().empty(); });
    sink->currentPointerLocation();
    EXPECT_TRUE(window->pressedKeycodes().empty());
    EXPECT_EQ(injector.heldState().heldKeyCodes, std::set<std::uint16_t>{});
}
