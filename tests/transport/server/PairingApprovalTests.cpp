#include "support/HostRig.hpp"

namespace velorinth::testing {
namespace {

using Code = HandshakeRejectionCode;
using Pair = HandshakePurpose;

// Two pairings together: the first holds the one prompt from its check on, so
// the second is refused at once rather than taking the prompt over; an answer
// reaches only the prompt it names; once the first ends, whichever way, the
// next pairing gets the prompt.
TEST(LoopbackPairing, TwoPairingsTogetherGetOnePromptAndOneImmediateRefusal) {
    for (const bool firstTabletLeaves : {true, false}) {
        SCOPED_TRACE(firstTabletLeaves ? "the first tablet leaves" : "the first pairing is rejected");
        HostRig h;
        auto first = h.peer("First");
        auto second = h.peer("Second");
        h.run(first->connect(h.port));
        h.run(first->sendRequest(Pair::pair));
        h.run(first->answerResponse()); // checked: the host now derives its code
        h.run(second->connect(h.port));
        h.run(second->sendRequest(Pair::pair));
        const HandshakeEnvelope refusal = h.run(second->receiveEnvelope());
        ASSERT_EQ(refusal.kind, HandshakeMessageKind::error);
        EXPECT_EQ(json::decodeFromBytes<HandshakeErrorPayload>(refusal.payload).code, Code::pairingBusy);

        h.until([&] { return h.prompts.size() == 1; });
        const Uuid firstID = first->lastRequest->pairingID;
        EXPECT_EQ(h.server->pendingPairingID(), firstID);
        h.call([&] { h.server->resolvePendingPairing(true, second->lastRequest->pairingID); });
        h.settle();
        EXPECT_EQ(h.prompts.size(), 1u);
        EXPECT_EQ(h.server->pendingPairingID(), firstID);

        if (firstTabletLeaves) {
            first->close();
        } else {
            h.call([&] { h.server->resolvePendingPairing(false, firstID); });
            EXPECT_EQ(h.run(first->receiveDecision()).rejectionCode, Code::userRejected);
        }
        h.until([&] { return h.prompts.size() == 2; });
        EXPECT_FALSE(h.prompts.back().has_value());

        auto third = h.peer("Third");
        h.run(third->startHandshake(h.port, Pair::pair));
        h.until([&] { return h.prompts.size() == 3; });
        EXPECT_EQ(h.server->pendingPairingID(), third->lastRequest->pairingID);
        h.call([&] { h.server->resolvePendingPairing(true, third->lastRequest->pairingID); });
        EXPECT_TRUE(h.run(third->receiveDecision()).approved);
    }
}

// A pairing that fails before its prompt (its tablet leaves instead of
// confirming) gives the prompt back.
TEST(LoopbackPairing, APairingThatFailsBeforeItsPromptReleasesIt) {
    HostRig h;
    auto first = h.peer("First");
    h.run(first->connect(h.port));
    h.run(first->sendRequest(Pair::pair));
    EXPECT_EQ(h.run(first->receiveEnvelope()).kind, HandshakeMessageKind::pairingResponse); // checked and reserved
    first->close();
    h.settle(100ms);
    auto next = h.peer("Next");
    h.run(next->startHandshake(h.port, Pair::pair));
    h.until([&] { return h.prompts.size() == 1; });
    EXPECT_EQ(h.server->pendingPairingID(), next->lastRequest->pairingID);
}

TEST(LoopbackPairing, CustomApprovalHandlerDecidesWithoutPrompt) {
    for (const bool answers : {true, false}) {
        HostRig h(HostRig::fastOptions(), 200ms);
        HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
        callbacks.customApprovalHandler = [answers](IncomingPairingPrompt) -> asio::awaitable<bool> {
            if (!answers) co_await sleepFor(1h); // never answers; cancelled when it loses
            co_return false;
        };
        h.call([&] { h.server->setCallbacks(callbacks); });
        auto tablet = h.peer();
        const PairingDecision decision = h.run(tablet->runUntilDecision(h.port, Pair::pair));
        EXPECT_EQ(decision.rejectionCode, answers ? Code::userRejected : Code::approvalTimedOut);
        EXPECT_TRUE(h.prompts.empty());
        EXPECT_FALSE(h.server->pendingPairingID().has_value());
    }
}

} // namespace
} // namespace velorinth::testing
