#include "transport/server/HostSessionServer.hpp"

#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/post.hpp>

#include <algorithm>
#include <iterator>
#include <utility>

namespace velorinth {

namespace {

using Kind = HandshakeMessageKind;
using Code = HandshakeRejectionCode;
using StoreCase = TrustedDeviceStoreError::Case;

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

} // namespace

// A paired tablet proves its key; its trust record decides, and the decision
// (approved with the record's permissions, or the refusal) is sealed as 0.
asio::awaitable<void> HostSessionServer::authorizeReconnection(HandshakeState& state) {
    const DevicePublicIdentity& peer = state.verification.peerIdentity;
    TrustedDevice record;
    std::exception_ptr refused;
    std::optional<Code> answer;
    try {
        record = trustedDeviceStore_->authorize(peer, requiredPermissions);
    } catch (const TrustedDeviceStoreError& error) {
        refused = std::current_exception();
        answer = reconnectRefusal(error.kind);
    }
    if (refused) {
        if (answer) {
            PairingDecision decision;
            decision.approved = false;
            decision.rejectionCode = *answer;
            decision.reason = std::string(handshakeRejectionText(*answer));
            co_await sendDecisionQuietly(state, std::move(decision));
            state.intake->connection->cancel();
        }
        std::rethrow_exception(refused);
    }

    state.serverHello.sessionID = Uuid::random();
    state.serverHello.negotiatedProtocolVersion = state.verification.negotiatedProtocolVersion;
    state.serverHello.acceptedCapabilities = hostCapabilities;
    state.serverHello.grantedPermissions = record.permissions;
    PairingDecision decision;
    decision.approved = true;
    decision.serverHello = state.serverHello;
    co_await sendDecision(state, std::move(decision));
}

// The tablet's sealed ready message must name this session, this tablet and
// the negotiated version; the accepted capabilities are what both offer.
asio::awaitable<CapabilitySet> HostSessionServer::receiveClientReady(HandshakeState& state) {
    const HandshakeEnvelope envelope = co_await timed(receiveHandshakeEnvelope(*state.intake->connection));
    const EncryptedSessionMessage sealed =
        HandshakeEnvelope::decodeEncryptedMessage(Kind::encryptedClientReady, envelope);
    const Bytes plaintext = state.cipher->open(sealed.sequence, sealed.ciphertext, state.verification.transcriptHash);
    const ClientSessionReady ready = json::decodeFromBytes<ClientSessionReady>(plaintext);
    if (ready.sessionID != state.serverHello.sessionID ||
        ready.clientHello.deviceID != state.verification.peerIdentity.id ||
        ready.clientHello.protocolVersion != state.verification.negotiatedProtocolVersion) {
        throw PairingProtocolError(PairingProtocolError::Case::transcriptMismatch);
    }
    CapabilitySet accepted;
    std::set_intersection(ready.clientHello.capabilities.begin(), ready.clientHello.capabilities.end(),
                          hostCapabilities.begin(), hostCapabilities.end(), std::inserter(accepted, accepted.end()));
    co_return accepted;
}

// A new pairing gets a fresh record, replacing one of the same key in one
// write (another key fails with identityChanged although the tablet already
// heard "approved"); a reconnection only records the connection.
void HostSessionServer::writeTrustRecord(const HandshakeState& state) {
    const DevicePublicIdentity& peer = state.verification.peerIdentity;
    const Date time = now();
    if (state.request.purpose == HandshakePurpose::pair) {
        TrustedDevice record;
        record.id = peer.id;
        record.identity = peer;
        record.pairedAt = time;
        record.lastSuccessfulConnection = time;
        record.authorization = DeviceAuthorization::authorized;
        record.permissions = DevicePermissions::all;
        trustedDeviceStore_->trust(record);
    } else {
        trustedDeviceStore_->recordAuthenticatedConnection(peer, time);
    }
    publishTrustedDevices();
}

// After the approved decision: the ready exchange, the trust record, the
// registration, the server-ready message (sealed as 1) and the session's
// receive loop, which this call awaits.
asio::awaitable<void> HostSessionServer::activateSession(HandshakeState state) {
    const CapabilitySet accepted = co_await receiveClientReady(state);
    // A stop since this connection was accepted ends it here: it must not
    // become a session nor displace the tablet's running one.
    if (state.intake->generation != intakeGeneration_) {
        throw PairingProtocolError(PairingProtocolError::Case::cancelled);
    }
    writeTrustRecord(state);

    const DevicePublicIdentity& peer = state.verification.peerIdentity;
    const Uuid deviceID = peer.id;
    const Uuid sessionID = state.serverHello.sessionID;
    const std::shared_ptr<NetworkFramedConnection> connection = state.intake->connection;
    const Bytes& transcriptHash = state.verification.transcriptHash;

    if (auto existing = activeSessions_.find(deviceID); existing != activeSessions_.end()) {
        const ActivePeerSession old = existing->second;
        if (callbacks_.onSessionClosedForInputCleanup) {
            callbacks_.onSessionClosedForInputCleanup(deviceID, old.descriptor.id);
        }
        if (old.descriptor.isVideoStreaming && callbacks_.onVideoStreamStopped) {
            callbacks_.onVideoStreamStopped(deviceID, old.descriptor.id);
        }
        old.scheduler->close();
    }

    ActivePeerSession entry;
    entry.descriptor.id = sessionID;
    entry.descriptor.peerIdentity = peer;
    entry.descriptor.negotiatedProtocolVersion = state.verification.negotiatedProtocolVersion;
    entry.descriptor.acceptedCapabilities = accepted;
    entry.descriptor.grantedPermissions = state.serverHello.grantedPermissions;
    entry.descriptor.hostAccessibilityGranted = currentAccessibilityGranted_;
    entry.descriptor.remoteDisplay = currentHostDisplay_;
    entry.descriptor.wakeConfiguration = effectiveWakeConfiguration();
    if (entry.descriptor.wakeConfiguration) {
        entry.descriptor.hostPowerState = entry.descriptor.wakeConfiguration->lastKnownPowerState;
    }
    entry.descriptor.connectedAt = now();
    entry.connection = connection;
    entry.cipher = state.cipher;
    entry.transcriptHash = transcriptHash;
    entry.scheduler = makeScheduler(deviceID, sessionID, connection, state.cipher, transcriptHash);
    const std::shared_ptr<PeerOutboundScheduler> scheduler = entry.scheduler;
    activeSessions_.insert_or_assign(deviceID, std::move(entry));
    // A registered session no longer counts against the handshake budget,
    // and stop reaches it through disconnectAll.
    retireIntake(*state.intake);
    publishSessions();

    // The scheduler stays shut until this is written, so whatever the host
    // queues meanwhile follows it as sequence 2 onwards.
    try {
        ServerSessionReady ready{sessionID};
        const Bytes plaintext = json::encodeToBytes(ready);
        const EncryptedSessionMessage sealed = state.cipher->seal(plaintext, transcriptHash);
        HandshakeEnvelope envelope = HandshakeEnvelope::makeEncrypted(Kind::encryptedServerReady, sealed);
        co_await timed(sendHandshakeEnvelope(*connection, std::move(envelope)));
    } catch (...) {
        finishPeerSession(deviceID, sessionID, scheduler);
        throw;
    }

    if (currentHostDisplay_ || !currentAccessibilityGranted_ || effectiveWakeConfiguration()) {
        scheduler->enqueueControl(hostStateMessage());
    }
    scheduler->startDraining();

    SessionLink link{deviceID, sessionID, connection, state.cipher, transcriptHash, scheduler};
    std::exception_ptr failure;
    try {
        co_await runReceiveLoop(std::move(link));
    } catch (...) {
        failure = std::current_exception();
    }
    finishPeerSession(deviceID, sessionID, scheduler);
    if (failure) std::rethrow_exception(failure);
}

// Runs once per session when its loop ends: input clean-up, removal of the
// entry if it is still this session's, and the scheduler's close in a task of
// its own. Nothing is sent.
void HostSessionServer::finishPeerSession(const Uuid& deviceID, const Uuid& sessionID,
                                          const std::shared_ptr<PeerOutboundScheduler>& scheduler) {
    if (callbacks_.onSessionClosedForInputCleanup) callbacks_.onSessionClosedForInputCleanup(deviceID, sessionID);
    bool wasStreaming = false;
    if (const ActivePeerSession* entry = sessionEntry(deviceID, sessionID)) {
        wasStreaming = entry->descriptor.isVideoStreaming;
        activeSessions_.erase(deviceID);
        publishSessions();
    }
    if (wasStreaming && callbacks_.onVideoStreamStopped) callbacks_.onVideoStreamStopped(deviceID, sessionID);
    asio::post(executor_, [scheduler] { scheduler->close(); });
}

} // namespace velorinth
