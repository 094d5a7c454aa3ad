#include "support/HostRig.hpp"

namespace velorinth::testing {
namespace {

using Code = HandshakeRejectionCode;
using Pair = HandshakePurpose;

// Two pairings that both passed the busy check: the later prompt replaces the
// earlier one, and an answer reaches only the prompt it names.
TEST(LoopbackPairing, AnswerReachesOnlyThePromptItNames) {
    HostRig h;
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

    // A click on a prompt no longer shown.
    h.call([&] { h.server->resolvePendingPairing(true, first->lastRequest->pairingID); });
    h.settle();
    EXPECT_EQ(h.prompts.size(), 2u);
    EXPECT_EQ(h.server->pendingPairingID(), secondID);

    h.call([&] { h.server->resolvePendingPairing(true, secondID); });
    EXPECT_TRUE(h.run(second->receiveDecision()).approved);

    // The replaced pairing ends with its own tablet, leaving the prompt state alone.
    first->close();
    h.settle(200ms);
    EXPECT_EQ(h.prompts.size(), 3u);
    EXPECT_FALSE(h.prompts.back().has_value());

    // With nothing pending an answer only withdraws whatever is shown.
    h.call([&] { h.server->resolvePendingPairing(false, Uuid::random()); });
    EXPECT_EQ(h.prompts.size(), 4u);
    EXPECT_FALSE(h.prompts.back().has_value());
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
