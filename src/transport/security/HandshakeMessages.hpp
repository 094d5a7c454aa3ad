#pragma once

// The messages of the application handshake. Each travels as the JSON of a
// HandshakeEnvelope: the kind by name and the payload's own JSON as bytes.
// The pairing messages go in clear (TLS protects them); the decision and the
// ready messages are sealed with the session cipher first.

#include "core/Bytes.hpp"
#include "core/ControlProtocol.hpp"
#include "core/IdentityModels.hpp"
#include "core/Json.hpp"
#include "core/Uuid.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

enum class HandshakeMessageKind {
    pairingRequest,
    pairingResponse,
    pairingConfirmation,
    encryptedDecision,
    encryptedClientReady,
    encryptedServerReady,
    encryptedSession,
    error,
};

enum class HandshakeRejectionCode {
    userRejected,
    untrustedDevice,
    revokedDevice,
    permissionDenied,
    approvalTimedOut,
    unsupportedProtocol,
    pairingBusy,
    rateLimited,
    malformedMessage,
};

// The text the host sends with each code, in a sealed decision or an error envelope.
std::string_view handshakeRejectionText(HandshakeRejectionCode code);

enum class HandshakePurpose { pair, reconnect };

struct HandshakeErrorPayload {
    HandshakeRejectionCode code = HandshakeRejectionCode::malformedMessage;
    std::string message;

    bool operator==(const HandshakeErrorPayload&) const = default;
};

// A sealed message: the sender's sequence and the ciphertext followed by its 16-byte tag.
struct EncryptedSessionMessage {
    std::uint64_t sequence = 0;
    Bytes ciphertext;

    bool operator==(const EncryptedSessionMessage&) const = default;
};

struct HandshakeEnvelope {
    HandshakeMessageKind kind = HandshakeMessageKind::error;
    Bytes payload; // the JSON of the kind's payload

    // An envelope of `kind` carrying the JSON of the sealed message.
    static HandshakeEnvelope makeEncrypted(HandshakeMessageKind kind, std::uint64_t sequence, Bytes ciphertext);
    static HandshakeEnvelope makeEncrypted(HandshakeMessageKind kind, const EncryptedSessionMessage& message);
    // An envelope of `kind` (the host passes `error`) carrying HandshakeErrorPayload {code, message}.
    static HandshakeEnvelope makeError(HandshakeMessageKind kind, HandshakeRejectionCode code, std::string message);

    // Reads a received payload as `T`, provided `received` is the kind the
    // caller expects. Throws HandshakeEnvelopeError (HandshakeEnvelopeHelpers.hpp):
    // remoteHandshakeError for a readable error envelope when another kind was
    // expected, malformedPayload for the expected kind with a payload that is
    // not a `T`, unexpectedMessage otherwise.
    template <class T>
    static T decodePayload(HandshakeMessageKind expected, HandshakeMessageKind received, ByteView payload) {
        requireKind(expected, received, payload);
        std::optional<T> decoded = json::tryDecodeFromBytes<T>(payload);
        if (!decoded) failMalformedPayload();
        return std::move(*decoded);
    }
    template <class T>
    static T decodePayload(HandshakeMessageKind expected, const HandshakeEnvelope& received) {
        return decodePayload<T>(expected, received.kind, received.payload);
    }

    // decodePayload for the sealed kinds.
    static EncryptedSessionMessage decodeEncryptedMessage(HandshakeMessageKind expected, HandshakeMessageKind received,
                                                          ByteView payload);
    static EncryptedSessionMessage decodeEncryptedMessage(HandshakeMessageKind expected,
                                                          const HandshakeEnvelope& received);

    bool operator==(const HandshakeEnvelope&) const = default;

private:
    // Throws unless `received` is `expected`; an error envelope read as such
    // becomes remoteHandshakeError.
    static void requireKind(HandshakeMessageKind expected, HandshakeMessageKind received, ByteView payload);
    [[noreturn]] static void failMalformedPayload();
};

struct PairingRequest {
    Uuid pairingID;
    std::uint16_t protocolVersion = 0;
    std::vector<std::uint16_t> supportedProtocolVersions;
    DevicePublicIdentity initiatorIdentity;
    Bytes ephemeralPublicKey; // 65-byte X9.63 P-256 point
    Bytes nonce;              // 32 bytes
    std::int64_t createdAtEpochSeconds = 0;
    HandshakePurpose purpose = HandshakePurpose::pair;

    bool operator==(const PairingRequest&) const = default;
};

struct PairingResponse {
    Uuid pairingID;
    std::uint16_t protocolVersion = 0;
    DevicePublicIdentity responderIdentity;
    Bytes ephemeralPublicKey; // 65-byte X9.63 P-256 point
    Bytes nonce;              // 32 bytes
    Bytes transcriptSignature; // DER ECDSA; empty while the transcript is hashed

    bool operator==(const PairingResponse&) const = default;
};

struct PairingConfirmation {
    Uuid pairingID;
    Bytes transcriptHash;
    Bytes transcriptSignature; // DER ECDSA

    bool operator==(const PairingConfirmation&) const = default;
};

struct PairingDecision {
    bool approved = false;
    std::optional<HandshakeRejectionCode> rejectionCode;
    std::optional<std::string> reason;
    std::optional<ServerHello> serverHello;

    bool operator==(const PairingDecision&) const = default;
};

struct ClientSessionReady {
    Uuid sessionID;
    ClientHello clientHello;

    bool operator==(const ClientSessionReady&) const = default;
};

struct ServerSessionReady {
    Uuid sessionID;

    bool operator==(const ServerSessionReady&) const = default;
};

namespace json {

template <>
struct EnumNames<HandshakeMessageKind> {
    static constexpr std::array<std::string_view, 8> names{
        "pairingRequest",       "pairingResponse",      "pairingConfirmation", "encryptedDecision",
        "encryptedClientReady", "encryptedServerReady", "encryptedSession",    "error",
    };
};

template <>
struct EnumNames<HandshakeRejectionCode> {
    static constexpr std::array<std::string_view, 9> names{
        "userRejected",        "untrustedDevice", "revokedDevice", "permissionDenied", "approvalTimedOut",
        "unsupportedProtocol", "pairingBusy",     "rateLimited",   "malformedMessage",
    };
};

template <>
struct EnumNames<HandshakePurpose> {
    static constexpr std::array<std::string_view, 2> names{"pair", "reconnect"};
};

template <>
struct JsonFields<HandshakeEnvelope> {
    static constexpr auto fields = std::make_tuple(
        member("kind", &HandshakeEnvelope::kind),
        member("payload", &HandshakeEnvelope::payload));
};

template <>
struct JsonFields<HandshakeErrorPayload> {
    static constexpr auto fields = std::make_tuple(
        member("code", &HandshakeErrorPayload::code),
        member("message", &HandshakeErrorPayload::message));
};

template <>
struct JsonFields<EncryptedSessionMessage> {
    static constexpr auto fields = std::make_tuple(
        member("sequence", &EncryptedSessionMessage::sequence),
        member("ciphertext", &EncryptedSessionMessage::ciphertext));
};

template <>
struct JsonFields<PairingRequest> {
    static constexpr auto fields = std::make_tuple(
        member("pairingID", &PairingRequest::pairingID),
        member("protocolVersion", &PairingRequest::protocolVersion),
        member("supportedProtocolVersions", &PairingRequest::supportedProtocolVersions),
        member("initiatorIdentity", &PairingRequest::initiatorIdentity),
        member("ephemeralPublicKey", &PairingRequest::ephemeralPublicKey),
        member("nonce", &PairingRequest::nonce),
        member("createdAtEpochSeconds", &PairingRequest::createdAtEpochSeconds),
        member("purpose", &PairingRequest::purpose));
};

template <>
struct JsonFields<PairingResponse> {
    static constexpr auto fields = std::make_tuple(
        member("pairingID", &PairingResponse::pairingID),
        member("protocolVersion", &PairingResponse::protocolVersion),
        member("responderIdentity", &PairingResponse::responderIdentity),
        member("ephemeralPublicKey", &PairingResponse::ephemeralPublicKey),
        member("nonce", &PairingResponse::nonce),
        member("transcriptSignature", &PairingResponse::transcriptSignature));
};

template <>
struct JsonFields<PairingConfirmation> {
    static constexpr auto fields = std::make_tuple(
        member("pairingID", &PairingConfirmation::pairingID),
        member("transcriptHash", &PairingConfirmation::transcriptHash),
        member("transcriptSignature", &PairingConfirmation::transcriptSignature));
};

template <>
struct JsonFields<PairingDecision> {
    static constexpr auto fields = std::make_tuple(
        member("approved", &PairingDecision::approved),
        member("rejectionCode", &PairingDecision::rejectionCode),
        member("reason", &PairingDecision::reason),
        member("serverHello", &PairingDecision::serverHello));
};

template <>
struct JsonFields<ClientSessionReady> {
    static constexpr auto fields = std::make_tuple(
        member("sessionID", &ClientSessionReady::sessionID),
        member("clientHello", &ClientSessionReady::clientHello));
};

template <>
struct JsonFields<ServerSessionReady> {
    static constexpr auto fields = std::make_tuple(
        member("sessionID", &ServerSessionReady::sessionID));
};

} // namespace json
} // namespace velorinth
