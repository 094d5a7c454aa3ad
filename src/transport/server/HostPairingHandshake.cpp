#include "transport/server/HostSessionServer.hpp"

#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/PairingReplayGuard.hpp"

#include <utility>

namespace velorinth {

namespace {

using Kind = HandshakeMessageKind;
using Code = HandshakeRejectionCode;

PairingDecision refusal(Code code) {
    PairingDecision decision;
    decision.approved = false;
    decision.rejectionCode = code;
    decision.reason = std::string(handshakeRejectionText(code));
    return decision;
}

} // namespace

// The host's side of every accepted connection's handshake: the pairing
// request, the limiter and the single-prompt rule for pairings, the replay
// guard, the signed response, the confirmation with its code and key; then
// the approval (pair) or the trust check (reconnect), and the session.
// Returns normally when the Mac user rejected the pairing and when the
// session ended in an orderly way; every other end throws.
asio::awaitable<void> HostSessionServer::performHandshake(std::shared_ptr<Intake> intake) {
    NetworkFramedConnection& connection = *intake->connection;

    const HandshakeEnvelope first = co_await timed(receiveHandshakeEnvelope(connection));
    PairingRequest request = HandshakeEnvelope::decodePayload<PairingRequest>(Kind::pairingRequest, first);

    if (request.purpose == HandshakePurpose::pair) {
        std::exception_ptr refused;
        Code answer = Code::rateLimited;
        try {
            attemptLimiter_->recordAttempt(now());
        } catch (const PairingAttemptLimitError&) {
            refused = std::current_exception();
        }
        if (!refused && pendingPairingID_) {
            refused = std::make_exception_ptr(SessionHandshakeError(SessionHandshakeError::Case::pairingBusyOnHost));
            answer = Code::pairingBusy;
        }
        if (refused) {
            co_await sendHandshakeErrorQuietly(connection, answer);
            std::rethrow_exception(refused);
        }
    }

    // Request checks, replay guard, identity, key and signed response. Only a
    // request the tablet can correct is answered; a replay gets nothing.
    const std::optional<TLSChannelContext> context = connection.capturedTLSContext();
    std::optional<PairingResponderState> responder;
    std::exception_ptr invalid;
    std::optional<Code> answer;
    try {
        const Date checkedAt = now();
        const std::uint16_t version = SecurePairingProtocol::validateRequest(request, context, checkedAt);
        replayGuard_->consume(request.pairingID, checkedAt);
        responder.emplace(SecurePairingProtocol::createResponse(request, version, context, identityService_));
    } catch (const PairingProtocolError& error) {
        invalid = std::current_exception();
        if (error.kind == PairingProtocolError::Case::unsupportedProtocol) answer = Code::unsupportedProtocol;
        if (error.kind == PairingProtocolError::Case::malformedMessage) answer = Code::malformedMessage;
    }
    if (invalid) {
        if (answer) co_await sendHandshakeErrorQuietly(connection, *answer);
        std::rethrow_exception(invalid);
    }

    co_await timed(sendHandshakeEnvelope(connection, Kind::pairingResponse, responder->response));
    const HandshakeEnvelope second = co_await timed(receiveHandshakeEnvelope(connection));
    PairingConfirmation confirmation =
        HandshakeEnvelope::decodePayload<PairingConfirmation>(Kind::pairingConfirmation, second);

    HandshakeState state;
    state.intake = intake;
    state.request = std::move(request);
    state.verification = co_await pairingProtocol_.handleConfirmation(std::move(*responder), std::move(confirmation));
    state.cipher = std::make_shared<SessionCipher>(state.verification.sessionKey.view(), SessionRole::responder);

    if (state.request.purpose == HandshakePurpose::reconnect) {
        co_await authorizeReconnection(state);
    } else if (!co_await decidePairing(state)) {
        co_return;
    }
    co_await activateSession(std::move(state));
}

// The Mac user's decision, sealed as the cipher's first message.
asio::awaitable<bool> HostSessionServer::decidePairing(HandshakeState& state) {
    NetworkFramedConnection& connection = *state.intake->connection;
    const ApprovalOutcome outcome = co_await awaitPairingApproval(state.verification, state.intake);
    switch (outcome) {
    case ApprovalOutcome::approved: {
        state.serverHello.sessionID = Uuid::random();
        state.serverHello.negotiatedProtocolVersion = state.verification.negotiatedProtocolVersion;
        state.serverHello.acceptedCapabilities = hostCapabilities;
        state.serverHello.grantedPermissions = DevicePermissions::all;
        PairingDecision decision;
        decision.approved = true;
        decision.serverHello = state.serverHello;
        co_await sendDecision(state, std::move(decision));
        co_return true;
    }
    case ApprovalOutcome::rejected:
        co_await sendDecisionQuietly(state, refusal(Code::userRejected));
        connection.cancel();
        co_return false;
    case ApprovalOutcome::timedOut:
        co_await sendDecisionQuietly(state, refusal(Code::approvalTimedOut));
        connection.cancel();
        throw PairingProtocolError(PairingProtocolError::Case::timedOut);
    case ApprovalOutcome::connectionClosed:
        break;
    }
    connection.cancel();
    throw PairingProtocolError(PairingProtocolError::Case::cancelled);
}

asio::awaitable<void> HostSessionServer::sendDecision(HandshakeState& state, PairingDecision decision) {
    const Bytes plaintext = json::encodeToBytes(decision);
    const EncryptedSessionMessage sealed = state.cipher->seal(plaintext, state.verification.transcriptHash);
    HandshakeEnvelope envelope = HandshakeEnvelope::makeEncrypted(Kind::encryptedDecision, sealed);
    co_await timed(sendHandshakeEnvelope(*state.intake->connection, std::move(envelope)));
}

// A refusal the tablet may miss: the handshake's own outcome stands either way.
asio::awaitable<void> HostSessionServer::sendDecisionQuietly(HandshakeState& state, PairingDecision decision) {
    try {
        co_await sendDecision(state, std::move(decision));
    } catch (const std::exception&) {
    }
}

} // namespace velorinth
