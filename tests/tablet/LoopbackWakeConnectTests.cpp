// Wake and connect end to end: the real coordinator and the tablet program's
// environment against the real host on 127.0.0.1, asleep (stopped) until a
// real magic packet reaches it over UDP.

#include "tablet/TabletWakeEnvironment.hpp"
#include "transport/client/WakeConnectCoordinator.hpp"

#include "support/FakeBonjourBrowsing.hpp"
#include "support/FakeWakeRelayDispatcher.hpp"
#include "support/HostRig.hpp"
#include "support/SyntheticVideoSource.hpp"
#include "support/TabletRig.hpp"

#include "transport/client/AuthenticatedClientSession.hpp"

#include <asio/ip/udp.hpp>
#include <asio/redirect_error.hpp>
#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using State = WakeConnectState;
using Case = WakeConnectState::Case;

const MACAddress kHardware(std::string_view("00:11:22:33:44:55"));

struct WakeRig : HostRig {
    asio::thread_pool kdf{1};
    asio::thread_pool tabletStore{1};
    TabletRig tablet;
    std::shared_ptr<SyntheticVideoSource> video = SyntheticVideoSource::install(*this);
    std::shared_ptr<FakeBonjourBrowsing::Made> made = std::make_shared<FakeBonjourBrowsing::Made>();
    asio::ip::udp::socket receiver{io, {asio::ip::make_address("127.0.0.1"), 0}};
    std::vector<Bytes> packets;
    bool wakes = true;
    std::uint16_t macPort = 0;
    TrustedDevice mac;
    std::vector<State> states;
    std::shared_ptr<TabletWakeEnvironment> environment;

    // Paired, reached once (the Mac pushes its wake configuration), then asleep.
    WakeRig() {
        macPort = port;
        HostRig::trust->trust(trustedRecord(tablet.publicIdentity()));
        mac = trustedRecord(hostIdentity->publicIdentity(hostIdentity->loadOrCreateRecord()));
        mac.remoteEndpoints = {RemoteEndpoint{Uuid::random(), "127.0.0.1", port, RemoteHostKind::ipv4Literal,
                                              RemoteTransportKind::privateNetwork, std::nullopt, Date(1),
                                              std::nullopt, std::nullopt}};
        tablet.trust->trust(mac);
        SavedWakeConfiguration pushed = SavedWakeConfiguration::empty(Date::now());
        pushed.targets = {WakeNetworkInterfaceTarget("en0", WakeInterfaceKind::ethernet, kHardware,
                                                     std::string("127.0.0.1"))};
        pushed.bonjourServicePort = port;
        pushed.wakeForNetworkAccess = Evidence<bool>::verified(true);
        call([&] { server->updateHostState(std::nullopt, true, pushed); });
        ClientSessionConnector connector(io.get_executor(), kdf, tabletStore, {2s, 2s, 1s});
        const auto session = run(connector.connect(tablet.request(port, HandshakePurpose::reconnect, mac)));
        until([&] { return tablet.trust->device(mac.id)->wakeConfiguration == pushed; });
        run(session->disconnect("Good night."));
        run(server->stop());
        asio::co_spawn(io, listenForWake(), asio::detached);
        useEnvironment(false);
    }
    void useEnvironment(bool remote) {
        environment = std::make_shared<TabletWakeEnvironment>(
            ReconnectDialer{io.get_executor(), kdf, tabletStore, tablet.identity, tablet.trust, nullptr, {}},
            TabletWakeEnvironmentOptions{20ms, 2s, 1s, remote, FakeBonjourBrowsing::factory(made)});
    }
    ~WakeRig() {
        for (auto& sink : environment->takeSinks()) sink.reset(); // joined here, off the loop
        kdf.join();
        tabletStore.join();
    }

    // A magic packet for the Mac wakes it: the host listens again on its port.
    asio::awaitable<void> listenForWake() {
        for (;;) {
            Bytes datagram(1500);
            asio::ip::udp::endpoint from;
            asio::error_code error;
            const std::size_t length =
                co_await receiver.async_receive_from(asio::buffer(datagram), from, asio::redirect_error(asio::use_awaitable, error));
            if (error) co_return;
            datagram.resize(length);
            packets.push_back(datagram);
            if (wakes && isMagicPacket(datagram)) wake();
        }
    }
    static bool isMagicPacket(const Bytes& packet) {
        if (packet.size() != 102) return false;
        for (int i = 0; i < 6; ++i) if (packet[i] != 0xFF) return false;
        for (int i = 0; i < 16; ++i) {
            if (!std::equal(kHardware.bytes().begin(), kHardware.bytes().end(), packet.begin() + 6 + i * 6)) return false;
        }
        return true;
    }
    void wake() {
        if (!server->hasListener()) server->startListening(macPort, false);
    }

    std::shared_ptr<WakeConnectCoordinator> coordinator(std::shared_ptr<WakeRelayDispatching> relay = nullptr,
                                                        std::chrono::milliseconds wakeWait = 10000ms) {
        auto wake = std::make_shared<LocalWakeService>(
            io.get_executor(), nullptr,
            WakeDispatchPolicy({receiver.local_endpoint().port()}, 2s, 6, 2s, true));
        return std::make_shared<WakeConnectCoordinator>(
            io.get_executor(), tablet.trust, tabletStore, wake, relay,
            WakeConnectTimingPolicy(1s, wakeWait, BackoffPolicy{50ms, 200ms, 1.5, 40}, std::nullopt, 1, 3s, 5s, true),
            environment->environment(), [this](const State& state) { states.push_back(state); });
    }
    bool reported(std::vector<State> expected) const { // in this order, others between
        auto next = expected.begin();
        for (const State& state : states) {
            if (next != expected.end() && state == *next) ++next;
        }
        return next == expected.end();
    }
    std::optional<WakeAttemptOutcomeSummary> lastAttempt() {
        return tablet.trust->device(mac.id)->wakeConfiguration->lastAttempt;
    }
};

TEST(LoopbackWakeConnect, AMagicPacketWakesTheMacWhichIsThenConnectedAndShowsItsDesktop) {
    WakeRig h;
    const WakeConnectResult result = h.run(h.coordinator()->wakeAndConnect(h.mac.id));
    ASSERT_EQ(result.finalState, State(Case::connected)) << result.finalState.detailedStatusText();
    EXPECT_TRUE(h.reported({Case::checkingHost, Case::resolvingWakeRoute, Case::sendingWakeRequest,
                            Case::waitingForHost, Case::authenticating, Case::startingDesktopStream,
                            Case::waitingForFirstFrame, Case::connected}));
    EXPECT_TRUE(result.didSendWakeRequest);
    EXPECT_EQ(result.wakeRouteUsed, WakeRouteKind::directLocalNetwork);
    EXPECT_EQ(result.connectionRouteUsed, ConnectionRouteKind::privateNetwork);
    ASSERT_FALSE(h.packets.empty());
    EXPECT_TRUE(WakeRig::isMagicPacket(h.packets.front()));
    h.until([&] { return !h.verifiedWakes.empty(); }); // confirmed to the Mac over the session
    h.until([&] { return h.lastAttempt()->result == WakeAttemptResultKind::wakeConfirmedByAuthenticatedSession; });
    EXPECT_EQ(h.lastAttempt()->routeUsed, WakeRouteKind::directLocalNetwork);
    EXPECT_GE(h.environment->sinkFor(result.session)->decodedFrames(), 1u);
    h.run(std::static_pointer_cast<AuthenticatedClientSession>(result.session)->disconnect("Done."));
}

TEST(LoopbackWakeConnect, ARelayThatWakesTheMacIsRecordedWithItsDates) {
    WakeRig h;
    h.tablet.trust->setWakeRelayConfiguration(
        h.mac.id,
        PairedWakeRelayConfiguration{makeTestIdentity("Relay").publicIdentity,
                                     RemoteEndpoint{Uuid::random(), "127.0.0.1", 51892, RemoteHostKind::ipv4Literal,
                                                    RemoteTransportKind::privateNetwork, std::nullopt, Date(1),
                                                    std::nullopt, std::nullopt},
                                     h.mac.id, Date(2), std::nullopt, std::nullopt},
        true);
    auto relay = std::make_shared<FakeWakeRelayDispatcher>();
    relay->outcome.dispatchedAt = Date(800'000'000);
    relay->hook = [&] { h.wake(); };
    h.wakes = false;
    h.useEnvironment(true); // away from home: no local wake
    const WakeConnectResult result = h.run(h.coordinator(relay)->wakeAndConnect(h.mac.id));
    ASSERT_EQ(result.finalState, State(Case::connected)) << result.finalState.detailedStatusText();
    EXPECT_EQ(result.wakeRouteUsed, WakeRouteKind::externalWakeRelay);
    EXPECT_TRUE(h.reported({Case::resolvingWakeRoute, Case::contactingWakeRelay, Case::wakeRequestSent,
                            Case::waitingForHost, Case::connected}));
    const auto relayRecord = h.tablet.trust->device(h.mac.id)->wakeRelayConfiguration;
    EXPECT_EQ(relayRecord->lastWakeDispatchedAt, Date(800'000'000));
    EXPECT_EQ(relayRecord->lastVerifiedAt, Date(800'000'000));
    EXPECT_TRUE(h.packets.empty());
    h.run(std::static_pointer_cast<AuthenticatedClientSession>(result.session)->disconnect("Done."));
}

TEST(LoopbackWakeConnect, AMacThatNeverWakesTimesOutAndIsRecorded) {
    WakeRig h;
    h.wakes = false;
    const WakeConnectResult result = h.run(h.coordinator(nullptr, 600ms)->wakeAndConnect(h.mac.id));
    EXPECT_EQ(result.finalState, State(Case::wakeTimedOut));
    EXPECT_FALSE(h.packets.empty());
    h.until([&] { return h.lastAttempt()->result == WakeAttemptResultKind::wakeTimedOut; });
}

} // namespace
