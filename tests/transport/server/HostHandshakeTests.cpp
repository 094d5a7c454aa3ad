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

// What the host was told, in order: an input ('i') or a clean-up ('c') of a session.
struct InputLog {
    std::vector<std::pair<char, Uuid>> entries;

    void attach(HostRig& h) {
        HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
        callbacks.onRemoteInput = [this, record = callbacks.onRemoteInput](const Uuid& device, const Uuid& session,
                                                                           const InputEvent& event) {
            entries.emplace_back('i', session);
            return record(device, session, event);
        };
        callbacks.onSessionClosedForInputCleanup = [this](const Uuid&, const Uuid& session) {
            entries.emplace_back('c', session);
        };
        h.call([&] { h.server->setCallbacks(callbacks); });
    }
    // Exactly one clean-up of `session`, and none of its input after it.
    void expectCleanedUpOnceAndLast(const Uuid& session) const {
        const auto cleanup = std::find(entries.begin(), entries.end(), std::pair<char, Uuid>{'c', session});
        ASSERT_NE(cleanup, entries.end());
        EXPECT_EQ(std::count(entries.begin(), entries.end(), std::pair<char, Uuid>{'c', session}), 1);
        EXPECT_EQ(std::find(cleanup, entries.end(), std::pair<char, Uuid>{'i', session}), entries.end());
    }
};

// The replaced session is cleaned up once, at its replacement, before its
// successor's first input: a late clean-up would release the successor's keys.
TEST(LoopbackReconnect, SecondSessionOfTheSameTabletReplacesTheFirstAndOutlivesIt) {
    HostRig h;
    InputLog log;
    log.attach(h);
    auto first = h.peer();
    const ServerHello firstHello = h.openTrustedSession(*first);
    h.run(first->send(ScriptedTabletPeer::input(1)));
    h.run(first->roundTrip());
    auto second = h.peer();
    second->identityService = first->identityService; // the same tablet
    const ServerHello secondHello = h.run(second->openSession(h.port, HandshakePurpose::reconnect));
    h.run(second->send(ScriptedTabletPeer::input(1)));
    h.run(second->roundTrip());

    EXPECT_TRUE(nextReadFails(h, *first)); // the old scheduler closed its connection
    h.settle(100ms);                       // the old session's run has ended
    ASSERT_EQ(h.sessions().size(), 1u);
    EXPECT_EQ(h.sessions()[0].id, secondHello.sessionID);
    EXPECT_EQ(log.entries,
              (std::vector<std::pair<char, Uuid>>{
                  {'i', firstHello.sessionID}, {'c', firstHello.sessionID}, {'i', secondHello.sessionID}}));
    h.run(second->send(ScriptedTabletPeer::message(SessionControlCommand::ping, 7)));
    EXPECT_EQ(h.run(second->receiveControl()).command, SessionControlCommand::pong);
}

// A session the host takes is cleaned up when it is taken; what the tablet
// sends while its closing message is on the way is not injected.
TEST(LoopbackReconnect, ASessionTakenByTheHostIsCleanedUpOnceAndInjectsNothingAfter) {
    HostRig h;
    InputLog log;
    log.attach(h);
    auto tablet = h.peer();
    const ServerHello hello = h.openTrustedSession(*tablet);
    for (std::uint64_t sequence = 1; sequence <= 20; ++sequence)
        h.run(tablet->send(ScriptedTabletPeer::input(sequence)));
    h.run(h.server->disconnectSession(tablet->identity().id, "Bye."));
    h.settle(100ms);
    log.expectCleanedUpOnceAndLast(hello.sessionID);
    EXPECT_TRUE(h.sessions().empty());
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
