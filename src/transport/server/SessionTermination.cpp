#include "transport/server/HostSessionServer.hpp"

#include "transport/security/HandshakeEnvelopeHelpers.hpp"

#include <utility>

namespace velorinth {

// Answers a handshake with an error envelope before any session exists. The
// connection stays open: closing it is the caller's business.
asio::awaitable<void> HostSessionServer::sendHandshakeError(NetworkFramedConnection& connection,
                                                            HandshakeRejectionCode code, std::string message) {
    HandshakeEnvelope envelope = HandshakeEnvelope::makeError(HandshakeMessageKind::error, code, std::move(message));
    co_await timed(sendHandshakeEnvelope(connection, std::move(envelope)));
}

// A failed error envelope never replaces the handshake's own error.
asio::awaitable<void> HostSessionServer::sendHandshakeErrorQuietly(NetworkFramedConnection& connection,
                                                                   HandshakeRejectionCode code) {
    try {
        co_await sendHandshakeError(connection, code, std::string(handshakeRejectionText(code)));
    } catch (const std::exception&) {
    }
}

// The scheduler sends what control waits, then this message, then cuts the
// connection; a peer that stopped reading holds it back for at most the
// final-close bound. The caller has already taken the entry out of the table.
asio::awaitable<void> HostSessionServer::sendClosingMessage(ActivePeerSession entry, SessionControlCommand command,
                                                            std::string reason) {
    SessionControlMessage message = makeMessage(command);
    message.reason = std::move(reason);
    co_await entry.scheduler->sendFinalControlAndClose(std::move(message));
}

void HostSessionServer::requestKeyframeIfStreaming(
    const Uuid& deviceID, const Uuid& sessionID,
    const std::function<void(const Uuid&, const Uuid&, std::uint64_t)>& request) {
    const ActivePeerSession* entry = sessionEntry(deviceID, sessionID);
    if (entry == nullptr || !entry->descriptor.isVideoStreaming || !request) return;
    request(deviceID, sessionID, entry->descriptor.videoGeneration);
}

} // namespace velorinth
