#include "support/HostRig.hpp"

#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include <algorithm>
#include <future>

namespace velorinth::testing {
namespace {

using Kind = HandshakeMessageKind;
using Code = HandshakeRejectionCode;
using Pair = HandshakePurpose;
using StoreCase = TrustedDeviceStoreError::Case;

// A replayed pairing id gets nothing at all, not even a refusal. (The limit on
// pairings, which reconnections pass, is end to end.)
TEST(LoopbackPairing, AReplayedPairingIdGetsNothing) {
    HostRig h;
    auto known = h.peer();
    h.trustTablet(*known);
    EXPECT_TRUE(h.run(known->runUntilDecision(h.port, Pair::reconnect)).approved);

    auto replay = h.peer("Replay");
    h.run(replay->connect(h.port));
    h.run(replay->sendRequest(Pair::reconnect,
                              [&](PairingRequest& request) { request.pairingID = known->lastRequest->pairingID; }));
    EXPECT_TRUE(nextReadFails(h, *replay));
    h.settle();
    EXPECT_EQ(h.lastError<PairingProtocolError>().kind, PairingProtocolError::Case::replayedHandshake);
}

// ---- reconnection ----

// The refusals a tablet is told of are end to end; another key under a known
// id is not told anything: the connection just closes.
TEST(LoopbackReconnect, AnotherKeyUnderAKnownIdIsClosedWithoutAWord) {
    HostRig h;
    auto tablet = h.peer();
    const DevicePublicIdentity other = h.peer()->identity();
    h.trust->trust(trustedRecord(DevicePublicIdentity::fromPublicKey(
        tablet->identity().id, "Test iPad", other.discoveryInstanceID, other.signingPublicKey)));
    h.run(tablet->startHandshake(h.port, HandshakePurpose::reconnect));
    EXPECT_TRUE(nextReadFails(h, *tablet));
    h.settle();
    EXPECT_EQ(h.lastError<TrustedDeviceStoreError>().kind, StoreCase::identityChanged);
    EXPECT_TRUE(h.sessionLists.empty());
}

// The code is for a person to compare during a first pairing: with both KDF
// workers held busy, a trusted reconnection still opens its session and an
// untrusted one is refused, so neither ever waits for a derivation.
TEST(LoopbackReconnect, NeverRunsTheCodeDerivation) {
    HostRig h;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    for (asio::thread_pool* worker : {&h.hostKdf, &h.peerKdf}) asio::post(*worker, [released] { released.wait(); });
    struct Released {
        std::promise<void>& promise;
        ~Released() { promise.set_value(); }
    } releaseAtEnd{release};

    auto trusted = h.peer();
    h.openTrustedSession(*trusted);
    EXPECT_EQ(h.sessions().size(), 1u);

    auto stranger = h.peer();
    h.run(stranger->startHandshake(h.port, HandshakePurpose::reconnect));
    EXPECT_EQ(h.run(stranger->receiveDecision()).rejectionCode, Code::untrustedDevice);
}

TEST(LoopbackReconnect, ReadyMismatchCreatesNoSession) {
    const std::function<void(ClientSessionReady&)> edits[] = {
        [](ClientSessionReady& ready) { ready.sessionID = Uuid::random(); },
        [](ClientSessionReady& ready) { ready.clientHello.deviceID = Uuid::random(); },
        [](ClientSessionReady& ready) { ready.clientHello.protocolVersion = 2; },
    };
    for (const auto& edit : edits) {
        HostRig h;
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
    HostRig h;
    auto first = h.peer();
    const ServerHello firstHello = h.openTrustedSession(*first);
    auto second = h.peer();
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

// Stop answers the pending prompt with a sealed rejection, disconnects running
// sessions, and no handshake in flight becomes a session afterwards.
TEST(LoopbackReconnect, StopEndsEverythingInFlight) {
    HostRig h;
    auto running = h.peer("Running");
    h.openTrustedSession(*running);
    auto pairing = h.peer("Pairing");
    h.run(pairing->startHandshake(h.port, HandshakePurpose::pair));
    h.until([&] { return h.server->pendingPairingID().has_value(); });
    auto midway = h.peer("Midway");
    h.trustTablet(*midway);
    EXPECT_TRUE(h.run(midway->runUntilDecision(h.port, HandshakePurpose::reconnect)).approved);

    h.run(h.server->stop());
    EXPECT_FALSE(h.server->currentPort().has_value());
    EXPECT_FALSE(h.prompts.back().has_value());
    const SessionControlMessage bye = h.run(running->receiveControl());
    EXPECT_EQ(bye.command, SessionControlCommand::disconnect);
    EXPECT_EQ(bye.reason, "Velorinth Host stopped remote access.");
    EXPECT_EQ(h.run(pairing->receiveDecision()).rejectionCode, Code::userRejected);
    EXPECT_TRUE(nextReadFails(h, *pairing));

    h.run(outcome(midway->sendClientReady()));
    EXPECT_TRUE(nextReadFails(h, *midway));
    h.settle(100ms);
    const Uuid midwayID = midway->identity().id;
    for (const auto& list : h.sessionLists) {
        for (const auto& session : list) EXPECT_NE(session.peerIdentity.id, midwayID);
    }
    EXPECT_TRUE(h.sessions().empty());
    EXPECT_TRUE(h.errors.empty()); // ends that stop caused are no failures
}

// What the host queues the moment a session is registered is sealed after
// server-ready, never before it.
TEST(LoopbackReconnect, HostMessageQueuedAtRegistrationFollowsServerReady) {
    HostRig h;
    HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
    callbacks.onSessionsChanged = [&](const std::vector<ActiveSessionDescriptor>& list) {
        h.sessionLists.push_back(list);
        if (h.sessionLists.size() == 1) h.server->updateHostState(DisplayDescriptor{7, 1920, 1080, 2.0}, true, {});
    };
    h.call([&] { h.server->setCallbacks(callbacks); });
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
