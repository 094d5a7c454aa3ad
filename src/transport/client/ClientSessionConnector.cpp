#include "transport/client/ClientSessionConnector.hpp"

#include "core/Cancellation.hpp"
#include "core/Json.hpp"
#include "core/LoopSignal.hpp"
#include "core/WorkerCall.hpp"
#include "platform/tls/TLSSecurityError.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/AsyncTimeout.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>

#include <algorithm>
#include <cassert>
#include <iterator>
#include <utility>

namespace velorinth {

namespace {

using Kind = HandshakeMessageKind;
using ProtocolCase = PairingProtocolError::Case;
using RefusalCase = SessionHandshakeError::Case;

// The record written after a pairing. What the tablet learnt of the host over
// time (wake data, endpoints, reachability, relay) survives a re-pairing of
// the same identity; `trust` replaces the old record in one write, so a
// failure can never leave the host without one.
TrustedDevice pairedRecord(const DevicePublicIdentity& peer, const ServerHello& hello, Date now,
                           const std::optional<TrustedDevice>& previous) {
    TrustedDevice record = TrustedDevice::newlyPaired(peer, now, hello.grantedPermissions);
    if (previous && previous->identity.fingerprint == peer.fingerprint) {
        record.wakeConfiguration = previous->wakeConfiguration;
        record.remoteEndpoints = previous->remoteEndpoints;
        record.preferredRemoteEndpointID = previous->preferredRemoteEndpointID;
        record.lastSuccessfulEndpointID = previous->lastSuccessfulEndpointID;
        record.lastReachability = previous->lastReachability;
        record.wakeRelayConfiguration = previous->wakeRelayConfiguration;
    }
    return record;
}

ActiveSessionDescriptor firstDescriptor(const DevicePublicIdentity& peer, const ServerHello& hello,
                                        const CapabilitySet& offered, Date now) {
    ActiveSessionDescriptor descriptor;
    descriptor.id = hello.sessionID;
    descriptor.peerIdentity = peer;
    descriptor.negotiatedProtocolVersion = hello.negotiatedProtocolVersion;
    std::set_intersection(offered.begin(), offered.end(), hello.acceptedCapabilities.begin(),
                          hello.acceptedCapabilities.end(),
                          std::inserter(descriptor.acceptedCapabilities, descriptor.acceptedCapabilities.end()));
    descriptor.grantedPermissions = hello.grantedPermissions;
    descriptor.hostAccessibilityGranted = true; // until the host reports otherwise
    descriptor.connectedAt = now;
    return descriptor;
}

// Ends once the connection has closed; the signal is notified on the loop.
asio::awaitable<void> closeOf(const NetworkFramedConnection& link, std::shared_ptr<LoopSignal> closed) {
    const asio::cancellation_state cancellation = co_await asio::this_coro::cancellation_state;
    while (!link.didClose()) {
        co_await closed->wait();
        if (isCancelled(cancellation)) throw CancellationError();
    }
}

// The local user's answer, or none when the host closed the connection first:
// nobody reads while the user compares, so only the close notice tells.
asio::awaitable<std::optional<bool>> answerUnlessClosed(NetworkFramedConnection& link, asio::awaitable<bool> answer) {
    using namespace asio::experimental::awaitable_operators;
    const asio::any_io_executor executor = co_await asio::this_coro::executor;
    auto closed = std::make_shared<LoopSignal>(executor);
    // The notice may come from any thread; the signal is the loop's.
    if (!link.setCloseHandler([closed, executor] { asio::post(executor, [closed] { closed->notifyAll(); }); })) {
        co_return std::nullopt; // no point asking about a connection already gone
    }
    // Only for as long as the question: the session installs its own later.
    struct Unwatch {
        NetworkFramedConnection& link;
        ~Unwatch() { link.clearCloseHandler(); }
    } unwatch{link};
    auto race = detail::captureOutcome(std::move(answer)) || closeOf(link, closed);
    auto first = co_await std::move(race);
    if (first.index() == 1) co_return std::nullopt;
    auto& outcome = std::get<0>(first);
    if (outcome.error) std::rethrow_exception(outcome.error);
    co_return *outcome.value;
}

} // namespace

ClientSessionConnector::ClientSessionConnector(asio::any_io_executor executor, asio::thread_pool& kdfWorker,
                                               asio::thread_pool& storeWorker, Timing timing,
                                               AuthenticatedClientSession::Clocks clocks)
    : executor_(std::move(executor)), pairing_(kdfWorker), storeWorker_(storeWorker), timing_(timing),
      clocks_(std::move(clocks)) {}

std::exception_ptr ClientSessionConnector::refusalError(std::optional<HandshakeRejectionCode> code,
                                                        std::optional<std::string> text) {
    if (!code) return std::make_exception_ptr(PairingProtocolError(ProtocolCase::rejected));
    switch (*code) {
    case HandshakeRejectionCode::userRejected:
        return std::make_exception_ptr(SessionHandshakeError::rejectedByHost(
            text.value_or(std::string(SessionHandshakeError::text(RefusalCase::rejectedByHost)))));
    case HandshakeRejectionCode::untrustedDevice:
        return std::make_exception_ptr(SessionHandshakeError(RefusalCase::untrustedOnHost));
    case HandshakeRejectionCode::revokedDevice:
        return std::make_exception_ptr(SessionHandshakeError(RefusalCase::revokedOnHost));
    case HandshakeRejectionCode::permissionDenied:
        return std::make_exception_ptr(SessionHandshakeError(RefusalCase::permissionDeniedOnHost));
    case HandshakeRejectionCode::approvalTimedOut:
        return std::make_exception_ptr(SessionHandshakeError(RefusalCase::approvalTimedOut));
    case HandshakeRejectionCode::unsupportedProtocol:
        return std::make_exception_ptr(PairingProtocolError(ProtocolCase::unsupportedProtocol));
    case HandshakeRejectionCode::pairingBusy:
        return std::make_exception_ptr(SessionHandshakeError(RefusalCase::pairingBusyOnHost));
    case HandshakeRejectionCode::rateLimited:
        return std::make_exception_ptr(SessionHandshakeError(RefusalCase::rateLimitedOnHost));
    case HandshakeRejectionCode::malformedMessage:
        return std::make_exception_ptr(PairingProtocolError(ProtocolCase::malformedMessage));
    }
    return std::make_exception_ptr(PairingProtocolError(ProtocolCase::rejected));
}

std::exception_ptr ClientSessionConnector::mappedFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const HandshakeEnvelopeError& error) {
        if (error.kind == HandshakeEnvelopeError::Case::remoteHandshakeError && error.payload) {
            return refusalError(error.payload->code, error.payload->message);
        }
    } catch (const TLSSecurityError& error) {
        switch (error.kind) {
        case TLSSecurityError::Case::missingPeerCertificate:
        case TLSSecurityError::Case::invalidCertificateBinding:
            return std::make_exception_ptr(PairingProtocolError(ProtocolCase::invalidCertificateBinding));
        case TLSSecurityError::Case::pinnedFingerprintMismatch:
            return std::make_exception_ptr(PairingProtocolError(ProtocolCase::identityMismatch));
        default: break;
        }
    } catch (...) {
    }
    return failure;
}

asio::awaitable<std::shared_ptr<AuthenticatedClientSession>> ClientSessionConnector::connect(Request request) {
    assert(request.identityService && request.trustedDeviceStore && "connect needs both to keep its records");
    // No connection yet: these errors leave unchanged.
    const TLSDeviceIdentity tlsIdentity = request.identityService->tlsIdentity();
    std::optional<DeviceFingerprint> pin;
    if (request.purpose == HandshakePurpose::reconnect && request.trustedHost) {
        pin = request.trustedHost->identity.fingerprint;
    }
    std::shared_ptr<NetworkFramedConnection> connection = NetworkFramedConnection::connect(
        executor_, request.endpoint, tlsIdentity, pin, VelorinthService::maximumFrameSize, VelorinthService::applicationProtocol);

    std::exception_ptr failure;
    try {
        co_return co_await mapAsioCancellation<CancellationError>(run(request, pin, connection));
    } catch (...) {
        failure = std::current_exception();
    }
    if (request.onNetworkErrorObserved) {
        try {
            request.onNetworkErrorObserved(connection->lastObservedNWError());
        } catch (...) {
            connection->cancel();
            throw;
        }
    }
    connection->cancel();
    std::rethrow_exception(mappedFailure(failure));
}

asio::awaitable<std::shared_ptr<AuthenticatedClientSession>>
ClientSessionConnector::run(Request& request, const std::optional<DeviceFingerprint>& pin,
                            const std::shared_ptr<NetworkFramedConnection>& connection) {
    NetworkFramedConnection& link = *connection;
    const Duration step = timing_.stepTimeout;

    // A cancelled start cancels the connection itself.
    co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(step, link.start());
    const asio::cancellation_state cancellation = co_await asio::this_coro::cancellation_state;
    if (isCancelled(cancellation)) throw CancellationError();

    // The request, the response and this side's proof.
    std::vector<std::uint16_t> supported = request.supportedProtocolVersions.value_or(std::vector<std::uint16_t>{});
    if (supported.empty()) supported = {request.protocolVersion};
    PairingInitiatorState state = SecurePairingProtocol::createRequest(
        request.identityService, request.purpose, clocks_.now(), request.protocolVersion, supported);
    const Uuid ownDeviceID = state.request.initiatorIdentity.id;
    co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(step, sendHandshakeEnvelope(link, Kind::pairingRequest, state.request));
    const HandshakeEnvelope responseEnvelope = co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(step, receiveHandshakeEnvelope(link));
    PairingResponse response =
        HandshakeEnvelope::decodePayload<PairingResponse>(Kind::pairingResponse, responseEnvelope);
    PairingResponseOutcome outcome =
        SecurePairingProtocol::acceptResponse(state, response, link.capturedTLSContext(), pin);
    co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(step,
                                       sendHandshakeEnvelope(link, Kind::pairingConfirmation, outcome.confirmation));
    // The host derives its code once it has the confirmation: both run at once.
    co_await pairing_.deriveVerificationCode(outcome);
    const PairingVerification& verification = outcome.verification;

    // The decision and the ready messages, sealed: received 0 and 1, sent 0.
    auto cipher = std::make_shared<SessionCipher>(verification.sessionKey.view(), SessionRole::initiator);
    const Bytes& transcriptHash = verification.transcriptHash;
    auto receiveDecision = [&](Duration limit) {
        return AsyncTimeout::withTimeout<PairingTimeoutErrors>(
            limit, receiveSealed<PairingDecision>(link, Kind::encryptedDecision, *cipher, transcriptHash));
    };
    auto throwIfRefused = [](const PairingDecision& decision) {
        if (!decision.approved || !decision.serverHello) {
            std::rethrow_exception(refusalError(decision.rejectionCode, decision.reason));
        }
    };

    // The confirmation has gone: a local refusal reaches the host only as the
    // close. The user's check counts against the decision window, so an
    // unanswered prompt cannot hold the connection forever.
    if (request.purpose == HandshakePurpose::pair && request.confirmVerificationCode) {
        const std::optional<bool> confirmed = co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(
            timing_.decisionTimeout, answerUnlessClosed(link, request.confirmVerificationCode(verification)));
        if (!confirmed || link.didClose()) {
            // A refusal sent before the close says more than the close; an
            // approval counts for nothing without the user's answer. With no
            // decision waiting, the receive fails with the connection's error.
            const PairingDecision lastWord = co_await receiveDecision(step);
            throwIfRefused(lastWord);
            throw NetworkConnectionError(NetworkConnectionError::Case::closed);
        }
        if (!*confirmed) throw SessionHandshakeError(RefusalCase::verificationCodeRejected);
    }

    const Duration decisionLimit = request.purpose == HandshakePurpose::pair ? timing_.decisionTimeout : step;
    const PairingDecision decision = co_await receiveDecision(decisionLimit);
    throwIfRefused(decision);
    const ServerHello hello = *decision.serverHello;
    if (std::find(supported.begin(), supported.end(), hello.negotiatedProtocolVersion) == supported.end() ||
        !ProtocolVersion::supportedRange.contains(hello.negotiatedProtocolVersion)) {
        throw PairingProtocolError(ProtocolCase::unsupportedProtocol);
    }

    const ClientSessionReady ready{
        hello.sessionID,
        ClientHello{hello.negotiatedProtocolVersion, supported, ownDeviceID, transcriptHash, request.capabilities},
    };
    co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(step,
                                       sendSealed(link, Kind::encryptedClientReady, ready, *cipher, transcriptHash));
    const ServerSessionReady serverReady = co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(
        step, receiveSealed<ServerSessionReady>(link, Kind::encryptedServerReady, *cipher, transcriptHash));
    if (serverReady.sessionID != hello.sessionID) throw PairingProtocolError(ProtocolCase::transcriptMismatch);

    // Only a completed handshake reaches the trust store, and its write waits
    // for the disk on the store worker, not on the loop.
    const DevicePublicIdentity host = verification.peerIdentity;
    const std::shared_ptr<TrustedDeviceStore> store = request.trustedDeviceStore;
    const Date now = clocks_.now();
    if (request.purpose == HandshakePurpose::pair) {
        const TrustedDevice record = pairedRecord(host, hello, now, store->device(host.id));
        auto write = [store, record] { store->trust(record); };
        co_await callOnWorker(storeWorker_, std::move(write));
    } else {
        store->authorize(host, DevicePermissions::connect);
        auto write = [store, host, now] { store->recordAuthenticatedConnection(host, now); };
        co_await callOnWorker(storeWorker_, std::move(write));
    }

    auto session = std::make_shared<AuthenticatedClientSession>(
        executor_, firstDescriptor(host, hello, request.capabilities, now), connection, std::move(cipher),
        transcriptHash, request.trustedDeviceStore, storeWorker_, std::move(request.sessionHandlers), clocks_,
        timing_.finalMessageLimit);
    session->start(timing_.heartbeatInterval);
    co_return session;
}

} // namespace velorinth
