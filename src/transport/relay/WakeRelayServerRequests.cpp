// How the relay server decides one request: verification, the replay
// ledger (for a request that could act), then the pairing or the wake; the
// audit line; the signed answer.

#include "transport/relay/WakeRelayServer.hpp"

#include "core/KeepAlive.hpp"
#include "core/WorkerCall.hpp"
#include "platform/crypto/P256SigningKey.hpp"
#include "transport/relay/WakeRelayCrypto.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/SecurePairingProtocol.hpp"
#include "transport/wake/LocalWakeError.hpp"
#include "transport/wake/LocalWakeService.hpp"

#include <utility>

namespace velorinth {

namespace {

using Status = WakeRelayResponseStatus;
using Outcome = WakeRelayServer::Outcome;

// The outcomes and their texts, verbatim.
Outcome undecodableFrame() {
    return {Status::malformedRequest, "Rejected malformed wake relay request payload.", Status::malformedRequest,
            "Malformed wake relay request."};
}
Outcome badVersionOrNonce() {
    return {Status::malformedRequest, "Rejected invalid nonce or protocol version.", Status::malformedRequest,
            "Invalid wake relay protocol version or nonce."};
}
Outcome outsideWindow() {
    return {Status::replayRejected, "Rejected expired or out-of-window wake relay request.", Status::replayRejected,
            "Wake relay request timestamp is outside the allowed 60-second window."};
}
Outcome authenticationFailed() {
    return {Status::authenticationFailed, "Client signature or TLS certificate binding failed.",
            Status::authenticationFailed, "Cryptographic authentication failed."};
}
Outcome replay() {
    return {Status::replayRejected, "Blocked replayed wake relay request.", Status::replayRejected,
            "Replayed wake relay request rejected."};
}
Outcome paired() {
    return {Status::paired, "Wake relay paired and authorized for your Mac.", Status::paired,
            "Wake relay paired and authorized for your Mac."};
}
Outcome ticketRefused() {
    return {Status::permissionDenied, "Invalid, expired, or already-used wake relay pairing ticket.",
            Status::permissionDenied, "Invalid, expired, or already-used wake relay pairing ticket."};
}
Outcome notAuthorized() {
    return {Status::permissionDenied, "Unauthorized client attempted to wake Mac.", Status::permissionDenied,
            "This iPad is not authorized to wake the requested Mac via this relay."};
}
Outcome noTarget() {
    return {Status::targetNotConfigured, "Requested Mac target is not configured on relay.",
            Status::targetNotConfigured, "Target Mac is not configured on this Wake Relay."};
}
Outcome rateLimited() {
    return {Status::rateLimited, "Rate-limited repeated wake request.", Status::rateLimited,
            "Wake relay requests are temporarily rate-limited."};
}
Outcome transmissionFailed() {
    return {Status::packetTransmissionFailed, "Local wake packet transmission failed.",
            Status::packetTransmissionFailed,
            "Wake Relay authenticated your request, but sending the local LAN wake packet failed."};
}
Outcome wakeSent(std::int64_t datagrams) {
    return {Status::wakePacketSent,
            "Authenticated wake request; sent " + std::to_string(datagrams) + " local wake packet(s).",
            Status::wakePacketSent, "Wake request authenticated and local wake packet sent.", datagrams};
}

Outcome verificationFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const PairingProtocolError& error) {
        if (error.kind == PairingProtocolError::Case::unsupportedProtocol ||
            error.kind == PairingProtocolError::Case::malformedMessage) {
            return badVersionOrNonce();
        }
        if (error.kind == PairingProtocolError::Case::replayedHandshake) return outsideWindow();
    } catch (...) {
    }
    return authenticationFailed();
}

// A question for the store on its worker; an error of the store answers `onError`.
template <class Query>
asio::awaitable<bool> storeSays(asio::thread_pool& worker, Query query, bool onError = false) {
    try {
        co_return co_await callOnWorker(worker, std::move(query));
    } catch (...) {
        co_return onError;
    }
}

} // namespace

// One use of each verified request: the client, the request and its nonce.
std::string WakeRelayServer::requestKey(const WakeRelayRequest& request) {
    return request.clientIdentity.id.lowercaseString() + ":" + request.requestID.lowercaseString() + ":" +
           lowercaseHexString(request.nonce);
}

asio::awaitable<WakeRelayResponse> WakeRelayServer::handleRequest(WakeRelayRequest request,
                                                                  std::optional<TLSChannelContext> tlsContext) {
    return keepAlive(shared_from_this(), decideAndAnswer(std::move(request), std::move(tlsContext)));
}

asio::awaitable<WakeRelayResponse> WakeRelayServer::decideAndAnswer(WakeRelayRequest request,
                                                                    std::optional<TLSChannelContext> context) {
    // One instant for the audit, the checks, the ledger, the ticket and the dispatch.
    const Date now = options_.clock();
    const DeviceFingerprint& seen = context ? context->peerFingerprint : request.clientIdentity.fingerprint;
    std::string fingerprint = seen.shortDisplayText();
    const Outcome outcome = co_await decide(request, context, now);
    // Named: g++ 12 destroys some temporaries of a co_await expression twice.
    WakeRelayAuditEntry entry{now, std::move(fingerprint), request.targetMacDeviceID, outcome.auditStatus,
                              outcome.detail};
    co_await audit(std::move(entry));
    try {
        co_return signedAnswer(request.requestID, outcome, context);
    } catch (...) {
        co_return internalFailureResponse(request.requestID);
    }
}

asio::awaitable<WakeRelayServer::Outcome> WakeRelayServer::decide(const WakeRelayRequest& request,
                                                                  const std::optional<TLSChannelContext>& context,
                                                                  Date now) {
    try {
        WakeRelayCrypto::verifyRequest(request, context, now);
    } catch (...) {
        // Nothing of a request that failed verification reaches the store but its audit line.
        co_return verificationFailure(std::current_exception());
    }
    const std::string key = requestKey(request);
    const WakeRelayAction::PairClient* pairing = request.action.pairing();
    // A request takes a place in the replay ledger only when it could act: its
    // client is authorized for the target, or it carries a ticket that would
    // redeem. Anything else, signed by a key of the sender's own making, would
    // fill the ledger that the paired tablets need and cost a save each time;
    // it is refused as it would have been, a replay when its key is already there.
    auto authorized = [store = store_, client = request.clientIdentity, target = request.targetMacDeviceID] {
        return store->isClientAuthorized(client, target);
    };
    bool standing = co_await storeSays(storeWorker_, std::move(authorized));
    if (!standing && pairing) {
        auto redeemable = [store = store_, ticket = pairing->ticketID, secret = pairing->secretHex,
                           target = request.targetMacDeviceID, now] {
            return store->isPairingTicketRedeemable(ticket, secret, target, now);
        };
        standing = co_await storeSays(storeWorker_, std::move(redeemable));
    }
    if (!standing) {
        // A ledger that cannot be read refuses as a replay, as consumeRequest's failure does.
        auto seen = [store = store_, key, now] { return store->isRequestConsumed(key, now); };
        const bool consumed = co_await storeSays(storeWorker_, std::move(seen), true);
        if (consumed) co_return replay();
        co_return pairing ? ticketRefused() : notAuthorized();
    }

    auto consume = [store = store_, key, now] { return store->consumeRequest(key, now); };
    const bool fresh = co_await storeSays(storeWorker_, std::move(consume));
    if (!fresh) co_return replay();

    if (pairing) {
        auto redeem = [store = store_, ticket = pairing->ticketID, secret = pairing->secretHex,
                       target = request.targetMacDeviceID, client = request.clientIdentity, now] {
            return store->redeemPairingTicket(ticket, secret, target, client, now);
        };
        const bool redeemed = co_await storeSays(storeWorker_, std::move(redeem));
        co_return redeemed ? paired() : ticketRefused();
    }
    co_return co_await dispatchWake(request, now);
}

asio::awaitable<WakeRelayServer::Outcome> WakeRelayServer::dispatchWake(const WakeRelayRequest& request, Date now) {
    // Authorization before the target, so a stranger learns nothing of which Macs the relay knows.
    auto authorized = [store = store_, client = request.clientIdentity, target = request.targetMacDeviceID] {
        return store->isClientAuthorized(client, target);
    };
    const bool allowed = co_await storeSays(storeWorker_, std::move(authorized));
    if (!allowed) co_return notAuthorized();

    auto lookUp = [store = store_, target = request.targetMacDeviceID] { return store->target(target); };
    std::optional<WakeRelayTargetRecord> target;
    try {
        target = co_await callOnWorker(storeWorker_, std::move(lookUp));
    } catch (...) {
        target.reset();
    }
    if (!target) co_return noTarget();

    try {
        SavedWakeConfiguration configuration = target->wakeConfiguration(now);
        const WakeDispatchOutcome sent =
            co_await localWake_->dispatchWake(target->macDeviceID, std::move(configuration), now);
        co_return wakeSent(sent.datagramsSent);
    } catch (const LocalWakeError& error) {
        if (error.kind == LocalWakeError::Case::rateLimited) co_return rateLimited();
    } catch (...) {
    }
    co_return transmissionFailed();
}

asio::awaitable<void> WakeRelayServer::audit(WakeRelayAuditEntry entry) {
    auto append = [store = store_, entry = std::move(entry)] { store->appendAuditEntry(entry); };
    try {
        co_await callOnWorker(storeWorker_, std::move(append));
    } catch (...) {
        // A lost audit line changes no answer.
    }
}

asio::awaitable<std::optional<WakeRelayResponse>>
WakeRelayServer::answerUndecodable(std::optional<TLSChannelContext> context) {
    const Outcome outcome = undecodableFrame();
    std::string fingerprint =
        context ? context->peerFingerprint.shortDisplayText() : std::string(kUnverifiedFingerprint);
    WakeRelayAuditEntry entry{options_.clock(), std::move(fingerprint), std::nullopt, outcome.auditStatus,
                              outcome.detail};
    co_await audit(std::move(entry));
    try {
        // The request's own identifier cannot be read: a fresh one, which matches nothing the client sent.
        co_return signedAnswer(Uuid::random(), outcome, context);
    } catch (...) {
        co_return std::nullopt;
    }
}

WakeRelayResponse WakeRelayServer::signedAnswer(const Uuid& requestID, const Outcome& outcome,
                                                const std::optional<TLSChannelContext>& context) const {
    const Bytes binding = context ? context->exporterChannelBinding : Bytes{};
    return WakeRelayCrypto::signResponse(requestID, outcome.status, outcome.datagramsSent, outcome.message,
                                         SecurePairingProtocol::epochSeconds(options_.clock()), binding,
                                         *identityService_);
}

WakeRelayResponse WakeRelayServer::internalFailureResponse(const Uuid& requestID) const {
    WakeRelayResponse response;
    response.requestID = requestID;
    try {
        // Neither the relay's identity nor its key: a key made for this answer and dropped.
        const P256SigningKey key = P256SigningKey::generate();
        response.relayIdentity = DevicePublicIdentity::fromPublicKey(
            Uuid::random(), std::string(kThrowawayDisplayName), Uuid::random(), key.publicKeyX963());
    } catch (...) {
        response.relayIdentity.displayName = std::string(kThrowawayDisplayName);
    }
    response.status = WakeRelayResponseStatus::authenticationFailed;
    response.datagramsSent = 0;
    response.message = std::string(kInternalFailureMessage);
    response.respondedAtEpochSeconds = SecurePairingProtocol::epochSeconds(options_.clock());
    return response;
}

} // namespace velorinth
