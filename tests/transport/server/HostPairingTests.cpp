#include "transport/server/ServerHarness.hpp"

#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/PairingProtocolError.hpp"

namespace velorinth::testing {
namespace {

using Kind = HandshakeMessageKind;
using Code = HandshakeRejectionCode;
using Pair = HandshakePurpose;

void expectErrorEnvelope(const HandshakeEnvelope& envelope, Code code, const std::string& message) {
    ASSERT_EQ(envelope.kind, Kind::error);
    const auto payload = json::decodeFromBytes<HandshakeErrorPayload>(envelope.payload);
    EXPECT_EQ(payload.code, code);
    EXPECT_EQ(payload.message, message);
}

TEST(LoopbackPairing, ApprovedPairingSealsDecisionAsZeroAndServerReadyAsOne) {
    ServerHarness h;
    h.autoAnswer = true;
    auto tablet = h.peer();
    tablet->capabilities = {Capability::h264, Capability::hevc};
    const PairingDecision decision = h.run(tablet->runUntilDecision(h.port, Pair::pair));
    ASSERT_TRUE(decision.approved);
    EXPECT_EQ(tablet->decisionSequence, 0u);
    // The hello lists the host's whole set; the session keeps the intersection.
    EXPECT_EQ(decision.serverHello->acceptedCapabilities,
              (CapabilitySet{Capability::h264, Capability::pointer, Capability::keyboard}));
    EXPECT_EQ(decision.serverHello->grantedPermissions, DevicePermissions::all);
    ASSERT_EQ(h.prompts.size(), 2u);
    EXPECT_EQ(h.prompts[0]->verificationCode, tablet->verification->verificationCode);
    EXPECT_EQ(h.prompts[0]->peerIdentity, tablet->identity());
    EXPECT_FALSE(h.prompts[1].has_value());

    h.run(tablet->sendClientReady());
    EXPECT_EQ(h.run(tablet->receiveServerReady()).sessionID, decision.serverHello->sessionID);
    EXPECT_EQ(tablet->serverReadySequence, 1u);
    ASSERT_EQ(h.sessions().size(), 1u);
    EXPECT_EQ(h.sessions()[0].acceptedCapabilities, CapabilitySet{Capability::h264});
    EXPECT_EQ(h.trust->device(tablet->identity().id)->permissions, DevicePermissions::all);
    EXPECT_TRUE(h.errors.empty());
}

// Rejection and timeout are told to the tablet, sealed; a tablet that leaves
// during the prompt is told nothing and the prompt is withdrawn once.
TEST(LoopbackPairing, EveryUnapprovedOutcomeEndsThePairing) {
    for (const bool reject : {true, false}) {
        ServerHarness h(ServerHarness::fastOptions(), reject ? 10s : 200ms);
        if (reject) h.autoAnswer = false;
        auto tablet = h.peer();
        const PairingDecision decision = h.run(tablet->runUntilDecision(h.port, Pair::pair));
        EXPECT_FALSE(decision.approved);
        EXPECT_EQ(decision.rejectionCode, reject ? Code::userRejected : Code::approvalTimedOut);
        EXPECT_EQ(decision.reason, std::string(reject ? "Pairing was rejected on the Mac."
                                                      : "Pairing approval timed out on the Mac."));
        EXPECT_TRUE(nextReadFails(h, *tablet));
        h.settle();
        if (reject) {
            EXPECT_TRUE(h.errors.empty()); // a rejection is a normal end
        } else {
            EXPECT_EQ(h.lastError<PairingProtocolError>().kind, PairingProtocolError::Case::timedOut);
        }
        EXPECT_EQ(h.prompts.size(), 2u);
        EXPECT_FALSE(h.trust->device(tablet->identity().id).has_value());
    }

    ServerHarness h;
    auto tablet = h.peer();
    h.run(tablet->startHandshake(h.port, Pair::pair));
    h.until([&] { return !h.prompts.empty(); });
    tablet->close();
    h.settle(200ms);
    ASSERT_EQ(h.prompts.size(), 2u);
    EXPECT_FALSE(h.prompts[1].has_value());
    EXPECT_EQ(h.lastError<PairingProtocolError>().kind, PairingProtocolError::Case::cancelled);
    EXPECT_FALSE(h.server->pendingPairingID().has_value());
}

// The limiter counts pairings only; a replayed pairing id gets nothing at all.
TEST(LoopbackPairing, SixthPairingInAMinuteIsRateLimitedWhileReconnectBypassesAndReplayGetsNothing) {
    ServerHarness h;
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto tablet = h.peer();
        h.run(tablet->connect(h.port));
        h.run(tablet->sendRequest(Pair::pair));
        EXPECT_EQ(h.run(tablet->receiveEnvelope()).kind, Kind::pairingResponse);
        tablet->close();
    }
    auto sixth = h.peer();
    h.run(sixth->connect(h.port));
    h.run(sixth->sendRequest(Pair::pair));
    expectErrorEnvelope(h.run(sixth->receiveEnvelope()), Code::rateLimited,
                        "Too many pairing attempts. Wait a minute and try again.");
    EXPECT_TRUE(nextReadFails(h, *sixth));
    h.settle();
    EXPECT_EQ(h.lastError<PairingAttemptLimitError>().kind, PairingAttemptLimitError::Case::rateLimited);

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

TEST(LoopbackPairing, SecondPairingWhilePromptIsOpenIsBusyButReconnectIsServed) {
    ServerHarness h;
    auto first = h.peer();
    h.run(first->startHandshake(h.port, Pair::pair));
    h.until([&] { return h.server->pendingPairingID().has_value(); });

    auto second = h.peer("Other iPad");
    h.run(second->connect(h.port));
    h.run(second->sendRequest(Pair::pair));
    expectErrorEnvelope(h.run(second->receiveEnvelope()), Code::pairingBusy,
                        "The Mac is already displaying another pairing request.");
    h.settle();
    EXPECT_EQ(h.lastError<SessionHandshakeError>().kind, SessionHandshakeError::Case::pairingBusyOnHost);

    auto known = h.peer("Known iPad");
    h.trustTablet(*known);
    EXPECT_TRUE(h.run(known->runUntilDecision(h.port, Pair::reconnect)).approved);
    EXPECT_EQ(h.prompts.size(), 1u); // the open prompt is untouched
}

// Two pairings that both passed the busy check: the later prompt replaces the
// earlier one, and an answer reaches only the prompt it names.
TEST(LoopbackPairing, AnswerReachesOnlyThePromptItNames) {
    ServerHarness h;
    auto first = h.peer("First");
    auto second = h.peer("Second");
    for (auto* tablet : {first.get(), second.get()}) {
        h.run(tablet->connect(h.port));
        h.run(tablet->sendRequest(Pair::pair));
    }
    h.run(first->answerResponse());
    h.until([&] { return h.prompts.size() == 1; });
    h.run(second->answerResponse());
    h.until([&] { return h.prompts.size() == 2; });
    const Uuid secondID = second->lastRequest->pairingID;
    ASSERT_EQ(h.server->pendingPairingID(), secondID);

    h.server->resolvePendingPairing(true, first->lastRequest->pairingID); // a click on a prompt no longer shown
    h.settle();
    EXPECT_EQ(h.prompts.size(), 2u);
    EXPECT_EQ(h.server->pendingPairingID(), secondID);

    h.server->resolvePendingPairing(true, secondID);
    EXPECT_TRUE(h.run(second->receiveDecision()).approved);

    // The replaced pairing ends with its own tablet, leaving the prompt state alone.
    first->close();
    h.settle(200ms);
    EXPECT_EQ(h.prompts.size(), 3u);
    EXPECT_FALSE(h.prompts.back().has_value());

    // With nothing pending an answer only withdraws whatever is shown.
    h.server->resolvePendingPairing(false, Uuid::random());
    EXPECT_EQ(h.prompts.size(), 4u);
    EXPECT_FALSE(h.prompts.back().has_value());
}

TEST(LoopbackPairing, CustomApprovalHandlerDecidesWithoutPrompt) {
    for (const bool answers : {true, false}) {
        ServerHarness h(ServerHarness::fastOptions(), 200ms);
        HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
        callbacks.customApprovalHandler = [answers](IncomingPairingPrompt) -> asio::awaitable<bool> {
            if (!answers) co_await sleepFor(1h); // never answers; cancelled when it loses
            co_return false;
        };
        h.server->setCallbacks(callbacks);
        auto tablet = h.peer();
        const PairingDecision decision = h.run(tablet->runUntilDecision(h.port, Pair::pair));
        EXPECT_EQ(decision.rejectionCode, answers ? Code::userRejected : Code::approvalTimedOut);
        EXPECT_TRUE(h.prompts.empty());
        EXPECT_FALSE(h.server->pendingPairingID().has_value());
    }
}

} // namespace
} // namespace velorinth::testing
