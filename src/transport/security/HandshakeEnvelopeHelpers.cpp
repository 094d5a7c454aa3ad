#include "transport/security/HandshakeEnvelopeHelpers.hpp"

#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/NetworkFramedConnection.hpp"

#include <string>
#include <utility>

namespace velorinth {

HandshakeEnvelopeError::HandshakeEnvelopeError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

HandshakeEnvelopeError::HandshakeEnvelopeError(HandshakeErrorPayload remote)
    : Error(remote.message), kind(Case::remoteHandshakeError), payload(std::move(remote)) {}

HandshakeEnvelopeError HandshakeEnvelopeError::remoteHandshakeError(HandshakeErrorPayload payload) {
    return HandshakeEnvelopeError(std::move(payload));
}

std::string_view HandshakeEnvelopeError::text(Case kind) {
    switch (kind) {
    case Case::remoteHandshakeError: return {}; // the peer's own message
    case Case::unexpectedMessage: return "Received an unexpected protocol handshake message.";
    case Case::malformedPayload: return "Received a malformed handshake payload.";
    }
    return {};
}

bool HandshakeEnvelopeError::operator==(const HandshakeEnvelopeError& other) const {
    if (kind != other.kind) return false;
    return kind != Case::remoteHandshakeError || payload == other.payload;
}

// ---- HandshakeEnvelope's helpers ----------------------------------------------

HandshakeEnvelope HandshakeEnvelope::makeEncrypted(HandshakeMessageKind kind, std::uint64_t sequence,
                                                   Bytes ciphertext) {
    return makeEncrypted(kind, EncryptedSessionMessage{sequence, std::move(ciphertext)});
}

HandshakeEnvelope HandshakeEnvelope::makeEncrypted(HandshakeMessageKind kind, const EncryptedSessionMessage& message) {
    return HandshakeEnvelope{kind, json::encodeToBytes(message)};
}

HandshakeEnvelope HandshakeEnvelope::makeError(HandshakeMessageKind kind, HandshakeRejectionCode code,
                                               std::string message) {
    return HandshakeEnvelope{kind, json::encodeToBytes(HandshakeErrorPayload{code, std::move(message)})};
}

EncryptedSessionMessage HandshakeEnvelope::decodeEncryptedMessage(HandshakeMessageKind expected,
                                                                  HandshakeMessageKind received, ByteView payload) {
    return decodePayload<EncryptedSessionMessage>(expected, received, payload);
}

EncryptedSessionMessage HandshakeEnvelope::decodeEncryptedMessage(HandshakeMessageKind expected,
                                                                  const HandshakeEnvelope& received) {
    return decodePayload<EncryptedSessionMessage>(expected, received.kind, received.payload);
}

void HandshakeEnvelope::requireKind(HandshakeMessageKind expected, HandshakeMessageKind received, ByteView payload) {
    if (received == HandshakeMessageKind::error && expected != HandshakeMessageKind::error) {
        // An unreadable error envelope is just an unexpected message.
        std::optional<HandshakeErrorPayload> remote = json::tryDecodeFromBytes<HandshakeErrorPayload>(payload);
        if (remote) throw HandshakeEnvelopeError::remoteHandshakeError(std::move(*remote));
    }
    if (received != expected) throw HandshakeEnvelopeError(HandshakeEnvelopeError::Case::unexpectedMessage);
}

void HandshakeEnvelope::failMalformedPayload() {
    throw HandshakeEnvelopeError(HandshakeEnvelopeError::Case::malformedPayload);
}

// ---- on a framed connection ----------------------------------------------------

HandshakeEnvelope decodeHandshakeEnvelopeFrame(ByteView frame) {
    std::optional<HandshakeEnvelope> envelope = json::tryDecodeFromBytes<HandshakeEnvelope>(frame);
    if (!envelope) throw NetworkConnectionError(NetworkConnectionError::Case::malformedFrame);
    return std::move(*envelope);
}

asio::awaitable<HandshakeEnvelope> receiveHandshakeEnvelope(NetworkFramedConnection& connection) {
    Bytes frame = co_await connection.receiveFrame();
    co_return decodeHandshakeEnvelopeFrame(frame);
}

asio::awaitable<void> sendHandshakeEnvelope(NetworkFramedConnection& connection, HandshakeEnvelope envelope) {
    Bytes frame = json::encodeToBytes(envelope);
    co_await connection.sendRawFrame(std::move(frame));
}

} // namespace velorinth
