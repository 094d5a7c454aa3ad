#include "transport/server/HostHandshake.hpp"

#include "core/WorkerCall.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/PairingReplayGuard.hpp"
#include "transport/security/SecurePairingProtocol.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/AsyncTimeout.hpp"
#include "transport/server/PairingApproval.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <algorithm>
#include <iterator>
#include <type_traits>
#include <utility>

namespace velorinth {

namespace {

using Kind = HandshakeMessageKind;
using Code = HandshakeRejectionCode;
using StoreCase = TrustedDeviceStoreError::Case;

PairingDecision refusal(Code code) {
    PairingDecision decision;
    decision.approved = false;
    decision.rejectionCode = code;
    decision.reason = std::string(handshakeRejectionText(code));
    return decision;
}

// The refusals a reconnecting tablet is told about; anything else (a changed
// identity, a store failure) is answered with silence.
std::optional<Code> reconnectRefusal(StoreCase kind) {
    switch (kind) {
    case StoreCase::untrustedDevice: return Code::untrustedDevice;
    case StoreCase::revokedDevice: return Code::revokedDevice;
    case StoreCase::permissionDenied: return Code::permissionDenied;
    default: return std::nullopt;
    }
}

// An authorized record with this very key: the request was already bound to
// the TLS certificate, so the claim is proven. A store that cannot be read
// trusts nobody.
bool isTrustedInitiator(TrustedDeviceStore& store, const DevicePublicIdentity& initiator) {
    try {
        const std::optional<TrustedDevice> record = store.device(initiator.id);
        return record && record->authorization == DeviceAuthorization::authorized &&
               record->identity.signingPublicKey == initiator.signingPublicKey;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

HostHandshake::HostHandshake(const Dependencies& dependencies, std::uint64_t id, std::uint64_t generation,
                             std::shared_ptr<NetworkFramedConnection> connection, HandshakeSlot slot)
    : deps_(dependencies), id_(id), generation_(generation), connection_(std::move(connection)),
      slot_(std::move(slot)) {
    const TimePoint acceptedAt = slot_.holds() ? slot_.acceptedAt() : std::chrono::steady_clock::now();
    firstMessageDeadline_ = acceptedAt + deps_.firstMessageTimeout;
    deadline_ = acceptedAt + deps_.wholeHandshakeTimeout;
}

template <class T>
asio::awaitable<T> HostHandshake::timed(asio::awaitable<T> operation, bool firstMessage, bool endsTurn) {
    const TimePoint now = std::chrono::steady_clock::now();
    Duration limit = std::min<Duration>(deps_.handshakeTimeout, deadline_ - now);
    if (firstMessage) limit = std::min<Duration>(limit, firstMessageDeadline_ - now);
    if (limit <= Duration::zero()) throw PairingProtocolError(PairingProtocolError::Case::timedOut);
    std::weak_ptr<NetworkFramedConnection> weak = connection_;
    slot_.waitForPeer([weak] {
        if (auto connection = weak.lock()) connection->cancel();
    });
    struct BackOnHost {
        HandshakeSlot& slot;
        bool endsTurn;
        ~BackOnHost() {
            if (endsTurn) slot.workOnHost();
        }
    } backOnHost{slot_, endsTurn};
    if constexpr (std::is_void_v<T>) {
        co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(limit, std::move(operation));
    } else {
        co_return co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(limit, std::move(operation));
    }
}

template <class T>
asio::awaitable<T> HostHandshake::onHost(asio::awaitable<T> operation) {
    const TimePoint start = std::chrono::steady_clock::now();
    struct Excluded {
        TimePoint& deadline;
        TimePoint start;
        ~Excluded() { deadline += std::chrono::steady_clock::now() - start; }
    } excluded{deadline_, start};
    if constexpr (std::is_void_v<T>) {
        co_await std::move(operation);
    } else {
        co_return co_await std::move(operation);
    }
}

template <class T>
asio::awaitable<T> HostHandshake::onPerson(asio::awaitable<T> operation) {
    slot_.workOnHost();
    auto bounded = AsyncTimeout::withTimeout<PairingTimeoutErrors>(deps_.approvalTimeout, std::move(operation));
    if constexpr (std::is_void_v<T>) {
        co_await onHost(std::move(bounded));
    } else {
        co_return co_await onHost(std::move(bounded));
    }
}

asio::awaitable<std::optional<HostHandshake::Accepted>> HostHandshake::run() {
    co_await timed(connection_->start(), true, false);
    PairingRequest request = co_await receiveRequest();
    purpose_ = request.purpose;

    // Request checks, replay guard, identity, key and signed response. Only a
    // request the tablet can correct is answered; a replay gets nothing.
    const std::optional<TLSChannelContext> context = connection_->capturedTLSContext();
    std::optional<PairingResponderState> responder;
    std::exception_ptr invalid;
    std::optional<Code> answer;
    try {
        const Date checkedAt = now();
        const std::uint16_t version = SecurePairingProtocol::validateRequest(request, context, checkedAt);
        const bool trusted = isTrustedInitiator(*deps_.trustedDeviceStore, request.initiatorIdentity);
        deps_.replayGuard->consume(request.pairingID, checkedAt, trusted);
        responder.emplace(SecurePairingProtocol::createResponse(request, version, context, deps_.identityService));
    } catch (const PairingProtocolError& error) {
        invalid = std::current_exception();
        if (error.kind == PairingProtocolError::Case::unsupportedProtocol) answer = Code::unsupportedProtocol;
        if (error.kind == PairingProtocolError::Case::malformedMessage) answer = Code::malformedMessage;
    }
    if (invalid) {
        if (answer) co_await sendErrorQuietly(*answer);
        std::rethrow_exception(invalid);
    }

    co_await timed(sendHandshakeEnvelope(*connection_, Kind::pairingResponse, responder->response));
    const HandshakeEnvelope second = co_await timed(receiveHandshakeEnvelope(*connection_));
    PairingConfirmation confirmation =
        HandshakeEnvelope::decodePayload<PairingConfirmation>(Kind::pairingConfirmation, second);

    accepted_.emplace();
    accepted_->verification =
        co_await onHost(deps_.pairingProtocol->handleConfirmation(std::move(*responder), std::move(confirmation)));
    accepted_->cipher =
        std::make_shared<SessionCipher>(accepted_->verification.sessionKey.view(), SessionRole::responder);

    if (purpose_ == HandshakePurpose::reconnect) {
        co_await authorizeReconnection();
    } else if (!co_await decidePairing()) {
        co_return std::nullopt;
    }
    accepted_->acceptedCapabilities = co_await receiveClientReady();
    // A stop since this connection was accepted ends it here: it must not
    // become a session nor displace the tablet's running one.
    if (generation_ != *deps_.intakeGeneration) throw PairingProtocolError(PairingProtocolError::Case::cancelled);
    co_await writeTrustRecord();
    co_return std::move(accepted_);
}

// A pairing counts against the limiter and waits for no other prompt.
asio::awaitable<PairingRequest> HostHandshake::receiveRequest() {
    const HandshakeEnvelope first = co_await timed(receiveHandshakeEnvelope(*connection_), true);
    PairingRequest request = HandshakeEnvelope::decodePayload<PairingRequest>(Kind::pairingRequest, first);
    if (request.purpose != HandshakePurpose::pair) co_return request;

    std::exception_ptr refused;
    Code answer = Code::rateLimited;
    try {
        deps_.attemptLimiter->recordAttempt(now());
    } catch (const PairingAttemptLimitError&) {
        refused = std::current_exception();
    }
    if (!refused) {
        // Reserved here, at the check: two pairings checked together must not
        // both go on to a prompt only one of them can have.
        reservation_ = deps_.approval->reservePrompt();
        if (!reservation_) {
            refused = std::make_exception_ptr(SessionHandshakeError(SessionHandshakeError::Case::pairingBusyOnHost));
            answer = Code::pairingBusy;
        }
    }
    if (refused) {
        co_await sendErrorQuietly(answer);
        std::rethrow_exception(refused);
    }
    co_return request;
}

// The decision (approved with `granted`) sealed as the cipher's first message.
asio::awaitable<void> HostHandshake::approve(DevicePermissions granted) {
    ServerHello& hello = accepted_->serverHello;
    hello.sessionID = Uuid::random();
    hello.negotiatedProtocolVersion = accepted_->verification.negotiatedProtocolVersion;
    hello.acceptedCapabilities = deps_.hostCapabilities;
    hello.grantedPermissions = granted;
    PairingDecision decision;
    decision.approved = true;
    decision.serverHello = hello;
    co_await sendDecision(decision);
}

// The Mac user's decision.
asio::awaitable<bool> HostHandshake::decidePairing() {
    PairingApproval::Reservation reservation = std::move(reservation_).value_or(PairingApproval::Reservation());
    reservation_.reset();
    std::exception_ptr busy;
    ApprovalOutcome outcome = ApprovalOutcome::connectionClosed;
    try {
        outcome = co_await onHost(deps_.approval->await(accepted_->verification, connection_, std::move(reservation)));
    } catch (const SessionHandshakeError&) {
        busy = std::current_exception();
    }
    if (busy) {
        co_await sendErrorQuietly(Code::pairingBusy);
        std::rethrow_exception(busy);
    }
    switch (outcome) {
    case ApprovalOutcome::approved: co_await approve(DevicePermissions::all); co_return true;
    case ApprovalOutcome::rejected: {
        const PairingDecision refused = refusal(Code::userRejected);
        co_await sendDecisionQuietly(refused);
        connection_->cancel();
        co_return false;
    }
    case ApprovalOutcome::timedOut: {
        const PairingDecision refused = refusal(Code::approvalTimedOut);
        co_await sendDecisionQuietly(refused);
        connection_->cancel();
        throw PairingProtocolError(PairingProtocolError::Case::timedOut);
    }
    case ApprovalOutcome::connectionClosed: break;
    }
    connection_->cancel();
    throw PairingProtocolError(PairingProtocolError::Case::cancelled);
}

// A paired tablet proved its key; its trust record decides.
asio::awaitable<void> HostHandshake::authorizeReconnection() {
    TrustedDevice record;
    std::exception_ptr refused;
    std::optional<Code> answer;
    try {
        record = deps_.trustedDeviceStore->authorize(accepted_->verification.peerIdentity, deps_.requiredPermissions);
    } catch (const TrustedDeviceStoreError& error) {
        refused = std::current_exception();
        answer = reconnectRefusal(error.kind);
    }
    if (refused) {
        if (answer) {
            const PairingDecision refused = refusal(*answer);
            co_await sendDecisionQuietly(refused);
            connection_->cancel();
        }
        std::rethrow_exception(refused);
    }
    co_await approve(record.permissions);
}

asio::awaitable<void> HostHandshake::sendDecision(const PairingDecision& decision) {
    co_await timed(sendSealed(*connection_, Kind::encryptedDecision, decision, *accepted_->cipher,
                              accepted_->verification.transcriptHash));
}

// A refusal the tablet may miss: the handshake's own outcome stands either way.
asio::awaitable<void> HostHandshake::sendDecisionQuietly(const PairingDecision& decision) {
    try {
        co_await sendDecision(decision);
    } catch (const std::exception&) {
    }
}

// Before any session exists. The connection stays open: closing it is the caller's business.
asio::awaitable<void> HostHandshake::sendErrorQuietly(Code code) {
    try {
        HandshakeEnvelope envelope =
            HandshakeEnvelope::makeError(Kind::error, code, std::string(handshakeRejectionText(code)));
        co_await timed(sendHandshakeEnvelope(*connection_, std::move(envelope)));
    } catch (const std::exception&) {
    }
}

// The tablet's sealed ready message must name this session, this tablet and
// the negotiated version. After an approved pairing it follows the tablet's
// user comparing the code, who may take as long as the Mac's user could.
asio::awaitable<CapabilitySet> HostHandshake::receiveClientReady() {
    const PairingVerification& verification = accepted_->verification;
    auto receive = receiveSealed<ClientSessionReady>(*connection_, Kind::encryptedClientReady, *accepted_->cipher,
                                                     verification.transcriptHash);
    ClientSessionReady ready;
    if (purpose_ == HandshakePurpose::pair) {
        ready = co_await onPerson(std::move(receive));
    } else {
        ready = co_await timed(std::move(receive));
    }
    if (ready.sessionID != accepted_->serverHello.sessionID || ready.clientHello.deviceID != verification.peerIdentity.id ||
        ready.clientHello.protocolVersion != verification.negotiatedProtocolVersion) {
        throw PairingProtocolError(PairingProtocolError::Case::transcriptMismatch);
    }
    CapabilitySet accepted;
    std::set_intersection(ready.clientHello.capabilities.begin(), ready.clientHello.capabilities.end(),
                          deps_.hostCapabilities.begin(), deps_.hostCapabilities.end(),
                          std::inserter(accepted, accepted.end()));
    co_return accepted;
}

// A new pairing gets a fresh record, replacing one of the same key in one
// write (another key fails with identityChanged although the tablet already
// heard "approved"); a reconnection only records the connection.
asio::awaitable<void> HostHandshake::writeTrustRecord() {
    const DevicePublicIdentity peer = accepted_->verification.peerIdentity;
    const Date time = now();
    std::shared_ptr<TrustedDeviceStore> store = deps_.trustedDeviceStore;
    if (purpose_ == HandshakePurpose::pair) {
        const TrustedDevice record = TrustedDevice::newlyPaired(peer, time, DevicePermissions::all);
        auto write = [store, record] { store->trust(record); };
        co_await onHost(callOnWorker(*deps_.storeWorker, std::move(write)));
    } else {
        auto write = [store, peer, time] { store->recordAuthenticatedConnection(peer, time); };
        co_await onHost(callOnWorker(*deps_.storeWorker, std::move(write)));
    }
    if (deps_.onTrustChanged) deps_.onTrustChanged();
}

} // namespace velorinth
