#pragma once

// Building, checking, sending and receiving handshake envelopes. The
// envelope's own helpers (makeEncrypted, makeError, decodePayload,
// decodeEncryptedMessage) are declared on HandshakeEnvelope; this is where
// their error and the connection-side helpers live. None of them keeps state
// or closes the connection: callers do.

#include "transport/security/HandshakeMessages.hpp"
#include "transport/security/SessionCipher.hpp"

#include <asio/awaitable.hpp>

#include <optional>
#include <string_view>

namespace velorinth {

class NetworkFramedConnection;

class HandshakeEnvelopeError : public Error {
public:
    enum class Case { remoteHandshakeError, unexpectedMessage, malformedPayload };

    // For the value-less cases; use remoteHandshakeError() for the other.
    explicit HandshakeEnvelopeError(Case kind);
    // The peer's error envelope; the text is the peer's message.
    static HandshakeEnvelopeError remoteHandshakeError(HandshakeErrorPayload payload);

    static std::string_view text(Case kind);

    // Equal cases, and for remoteHandshakeError equal payloads.
    bool operator==(const HandshakeEnvelopeError& other) const;

    Case kind;
    std::optional<HandshakeErrorPayload> payload; // set for remoteHandshakeError only

private:
    explicit HandshakeEnvelopeError(HandshakeErrorPayload remote);
};

// Reads one frame and returns the envelope it holds. A frame that is not the
// JSON of an envelope (an unknown kind included) fails with
// NetworkConnectionError malformedFrame; the connection's own errors pass
// through unchanged.
asio::awaitable<HandshakeEnvelope> receiveHandshakeEnvelope(NetworkFramedConnection& connection);

// The envelope in a received frame, as receiveHandshakeEnvelope reads it.
HandshakeEnvelope decodeHandshakeEnvelopeFrame(ByteView frame);

// Sends `envelope` as one frame (for sealed kinds, built by makeEncrypted).
asio::awaitable<void> sendHandshakeEnvelope(NetworkFramedConnection& connection, HandshakeEnvelope envelope);

// Wraps the JSON of `payload` in an envelope of `kind` and sends it as one
// frame. Both encodings happen before this returns, so an encoding failure
// throws at once and nothing is sent.
template <class T>
asio::awaitable<void> sendHandshakeEnvelope(NetworkFramedConnection& connection, HandshakeMessageKind kind,
                                            const T& payload) {
    return sendHandshakeEnvelope(connection, HandshakeEnvelope{kind, json::encodeToBytes(payload)});
}

// Seals the JSON of `message` under the cipher's next sequence, in an envelope
// of the sealed `kind`, and sends it as one frame. Sealed before this returns,
// so sequences follow the calls.
template <class T>
asio::awaitable<void> sendSealed(NetworkFramedConnection& connection, HandshakeMessageKind kind, const T& message,
                                 SessionCipher& cipher, ByteView transcriptHash) {
    const EncryptedSessionMessage sealed = cipher.seal(json::encodeToBytes(message), transcriptHash);
    return sendHandshakeEnvelope(connection, HandshakeEnvelope::makeEncrypted(kind, sealed));
}

// Reads the sealed envelope of `kind` and opens and decodes its message. The
// cipher and the transcript hash must outlive the wait.
template <class T>
asio::awaitable<T> receiveSealed(NetworkFramedConnection& connection, HandshakeMessageKind kind, SessionCipher& cipher,
                                 ByteView transcriptHash) {
    const HandshakeEnvelope envelope = co_await receiveHandshakeEnvelope(connection);
    const EncryptedSessionMessage sealed = HandshakeEnvelope::decodeEncryptedMessage(kind, envelope);
    co_return json::decodeFromBytes<T>(cipher.open(sealed.sequence, sealed.ciphertext, transcriptHash));
}

} // namespace velorinth
