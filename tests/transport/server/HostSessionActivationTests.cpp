#include "transport/server/ServerHarness.hpp"

#include "platform/tls/TLSSecurityError.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include <algorithm>

namespace velorinth::testing {
namespace {

using Code = HandshakeRejectionCode;
using StoreCase = TrustedDeviceStoreError::Case;

bool everListed(const ServerHarness& h, const Uuid& deviceID) {
    return std::any_of(h.sessionLists.begin(), h.sessionLists.end(), [&](const auto& list) {
        return std::any_of(list.begin(), list.end(), [&](const auto& d) { return d.peerIdentity.id == deviceID; });
    });
}

TEST(LoopbackReconnect, TrustStoreDecidesWithExactRefusals) {
    enum class Setup { unknown, revoked, withoutConnect, otherKey };
    struct Case {
        Setup setup;
        std::optional<Code> code; // none: nothing is sent
        std::string reason;
        StoreCase error;
    };
    const Case cases[] = {
        {Setup::unknown, Code::untrustedDevice, "This iPad is not paired with the Mac.", StoreCase::untrustedDevice},
        {Setup::revoked, Code::revokedDevice, "Access for this iPad was revoked on the Mac.", StoreCase::revokedDevice},
        {Setup::withoutConnect, Code::permissionDenied, "This iPad is not permitted to open a session.",
         StoreCase::permissionDenied},
        {Setup::otherKey, std::nullopt, "", StoreCase::identityChanged},
    };
    for (const Case& c : cases) {
        ServerHarness h;
        auto tablet = h.peer();
        if (c.setup == Setup::revoked) {
            h.trustTablet(*tablet);
            h.trust->revoke(tablet->identity().id);
        } else if (c.setup == Setup::withoutConnect) {
            h.trustTablet(*tablet, DevicePermissions(0x06));
        } else if (c.setup == Setup::otherKey) {
            auto impostor = h.peer();
            TrustedDevice record;
            const DevicePublicIdentity other = impostor->identity();
            record.identity = DevicePublicIdentity::fromPublicKey(tablet->identity().id, "Test iPad",
                                                                  other.discoveryInstanceID, other.signingPublicKey);
            record.id = record.identity.id;
            record.permissions = DevicePermissions::all;
            h.trust->trust(record);
        }
        h.run(tablet->connect(h.port));
        h.run(tablet->sendRequest(HandshakePurpose::reconnect));
        h.run(tablet->answerResponse());
        if (c.code) {
            const PairingDecision decision = h.run(tablet->receiveDecision());
            EXPECT_FALSE(decision.approved);
            EXPECT_EQ(tablet->decisionSequence, 0u);
            EXPECT_EQ(decision.rejectionCode, c.code);
            EXPECT_EQ(decision.reason, c.reason);
        }
        EXPECT_TRUE(nextReadFails(h, *tablet));
        h.settle();
        EXPECT_EQ(h.lastError<TrustedDeviceStoreError>().kind, c.error);
        EXPECT_TRUE(h.sessionLists.empty());
    }
}

TEST(LoopbackReconnect, ReadyMismatchCreatesNoSession) {
    const std::function<void(ClientSessionReady&)> edits[] = {
        [](ClientSessionReady& ready) { ready.sessionID = Uuid::random(); },
        [](ClientSessionReady& ready) { ready.clientHello.deviceID = Uuid::random(); },
        [](ClientSessionReady& ready) { ready.clientHello.protocolVersion = 2; },
    };
    for (const auto& edit : edits) {
        ServerHarness h;
        auto tablet = h.peer();
        h.trustTablet(*tablet);
        EXPECT_TRUE(h.run(tablet->runUntilDecision(h.port, HandshakePurpose::reconnect)).approved);
        h.run(tablet->sendClientReady(edit));
        EXPECT_TRUE(nextReadFails(h, *tablet));
        h.settle();
        EXPECT_EQ(h.lastError<PairingProtocolError>().kind, PairingProtocolError::Case::transcriptMismatch);
        EXPECT_TRUE(h.sessionLists.empty());
    }
}

TEST(LoopbackReconnect, SecondSessionOfTheSameTabletReplacesTheFirstAndOutlivesIt) {
    ServerHarness h;
    auto first = h.peer();
    const ServerHello firstHello = h.openTrustedSession(*first);
    auto second = std::make_unique<ScriptedTabletPeer>(h.io.get_executor(), h.peerKdf);
    second->identityService = first->identityService; // the same tablet
    const ServerHello secondHello = h.run(second->openSession(h.port, HandshakePurpose::reconnect));

    EXPECT_TRUE(nextReadFails(h, *first)); // the old scheduler closed its connection
    h.settle(100ms);
    ASSERT_EQ(h.sessions().size(), 1u);
    EXPECT_EQ(h.sessions()[0].id, secondHello.sessionID);
    // Clean-up ran for the replaced session at registration and again at its end.
    EXPECT_EQ(std::count(h.inputCleanups.begin(), h.inputCleanups.end(), firstHello.sessionID), 2);

    h.run(second->send(ScriptedTabletPeer::message(SessionControlCommand::ping, 7)));
    EXPECT_EQ(h.run(second->receiveControl()).command, SessionControlCommand::pong);
}

// Connections in their handshake hold a place from accept to registration.
TEST(LoopbackReconnect, HandshakeCapClosesExtraConnectionsBeforeTLS) {
    HostSessionServer::Options options = ServerHarness::fastOptions();
    options.handshakeCapacity = 1;
    ServerHarness h(options);
    auto holder = h.peer();
    h.trustTablet(*holder);
    h.run(holder->connect(h.port));
    h.settle();
    EXPECT_EQ(h.server->handshakesInFlight(), 1u);

    auto extra = h.peer("Extra");
    EXPECT_NE(h.run(failureOf(extra->connect(h.port))), nullptr);

    h.run(holder->sendRequest(HandshakePurpose::reconnect));
    h.run(holder->answerResponse());
    h.run(holder->receiveDecision());
    h.run(holder->sendClientReady());
    h.run(holder->receiveServerReady());
    EXPECT_EQ(h.server->handshakesInFlight(), 0u);

    auto later = h.peer("Later");
    h.trustTablet(*later);
    h.run(later->openSession(h.port, HandshakePurpose::reconnect));
    EXPECT_EQ(h.sessions().size(), 2u);
    EXPECT_TRUE(h.errors.empty()); // the refused connection is reported nowhere
}

// Stop answers the pending prompt with a sealed rejection, disconnects running
// sessions, and no handshake in flight becomes a session afterwards.
TEST(LoopbackReconnect, StopEndsEverythingInFlight) {
    ServerHarness h;
    auto running = h.peer("Running");
    h.openTrustedSession(*running);

    auto pairing = h.peer("Pairing");
    h.run(pairing->connect(h.port));
    h.run(pairing->sendRequest(HandshakePurpose::pair));
    h.run(pairing->answerResponse());
    h.run([&]() -> asio::awaitable<void> {
        while (!h.server->pendingPairingID()) co_await sleepFor(5ms);
    }());

    auto midway = h.peer("Midway");
    h.trustTablet(*midway);
    EXPECT_TRUE(h.run(midway->runUntilDecision(h.port, HandshakePurpose::reconnect)).approved);

    h.run(h.server->stop());
    EXPECT_FALSE(h.server->currentPort().has_value());
    EXPECT_FALSE(h.prompts.back().has_value());

    const SessionControlMessage bye = h.run(running->receiveControl());
    EXPECT_EQ(bye.command, SessionControlCommand::disconnect);
    EXPECT_EQ(bye.reason, "Velorinth Host stopped remote access.");

    const PairingDecision rejected = h.run(pairing->receiveDecision());
    EXPECT_EQ(rejected.rejectionCode, Code::userRejected);
    EXPECT_TRUE(nextReadFails(h, *pairing));

    h.run(failureOf(midway->sendClientReady()));
    EXPECT_TRUE(nextReadFails(h, *midway));
    h.settle(100ms);
    EXPECT_FALSE(everListed(h, midway->identity().id));
    EXPECT_TRUE(h.sessions().empty());
    EXPECT_TRUE(h.errors.empty()); // ends that stop caused are no failures
}

// Whatever the host queues the moment a session is registered is sealed
// after the server-ready message, never before it.
TEST(LoopbackReconnect, HostMessageQueuedAtRegistrationFollowsServerReady) {
    ServerHarness h;
    HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
    callbacks.onSessionsChanged = [&](const std::vector<ActiveSessionDescriptor>& list) {
        h.sessionLists.push_back(list);
        if (h.sessionLists.size() == 1) h.server->updateHostState(DisplayDescriptor{7, 1920, 1080, 2.0}, true, {});
    };
    h.server->setCallbacks(callbacks);
    auto tablet = h.peer();
    h.openTrustedSession(*tablet);
    EXPECT_EQ(tablet->serverReadySequence, 1u);
    const SessionControlMessage state = h.run(tablet->receiveControl());
    EXPECT_EQ(tablet->lastReceivedSequence, 2u);
    EXPECT_EQ(state.command, SessionControlCommand::hostStateUpdated);
    EXPECT_EQ(state.hostDisplay->identifier, 7u);
}

} // namespace
} // namespace velorinth::testing
