#pragma once

#include "core/Bytes.hpp"
#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/Uuid.hpp"
#include "platform/tls/TLSChannelContext.hpp"
#include "transport/relay/WakeRelayMessages.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velorinth {

class DeviceIdentityService;

// The relay protocol's signatures. Each side signs the SHA-256 digest of a
// label followed by length-prefixed fields (the pairing transcript's field
// encoding) that end with the TLS exporter binding of the connection, so a
// signed message is worth nothing on another TLS session. Signing and
// verification take the 32 digest bytes as the message (the identity
// service's convention: ECDSA P-256 over SHA-256 of the message, in DER).
namespace WakeRelayCrypto {

inline constexpr std::string_view kRequestLabel = "Velorinth wake relay request v1";
inline constexpr std::string_view kResponseLabel = "Velorinth wake relay response v1";
// The largest accepted distance between a request's timestamp and the verifier's clock.
inline constexpr std::int64_t requestWindowSeconds = 60;
inline constexpr std::size_t kNonceSize = 32;

ByteView requestLabel();
ByteView responseLabel();

// UUIDs as lower-case text, the secret lower-cased, the key as stored; an
// empty binding is written as an empty field.
Bytes requestDigest(const Uuid& requestID, std::uint16_t protocolVersion, const WakeRelayAction& action,
                    const DevicePublicIdentity& clientIdentity, const Uuid& targetMacDeviceID,
                    std::int64_t timestampEpochSeconds, ByteView nonce, ByteView channelBinding);
Bytes responseDigest(const Uuid& requestID, const DevicePublicIdentity& relayIdentity,
                     WakeRelayResponseStatus status, std::int64_t datagramsSent, std::string_view message,
                     std::int64_t respondedAtEpochSeconds, ByteView channelBinding);

// A request from `identityService`'s device, signed over `channelBinding`.
// The identity service's errors pass through.
WakeRelayRequest signedRequest(const Uuid& requestID, std::uint16_t protocolVersion, const WakeRelayAction& action,
                               const Uuid& targetMacDeviceID, std::int64_t timestampEpochSeconds, ByteView nonce,
                               ByteView channelBinding, DeviceIdentityService& identityService);
WakeRelayResponse signResponse(const Uuid& requestID, WakeRelayResponseStatus status, std::int64_t datagramsSent,
                               std::string_view message, std::int64_t respondedAtEpochSeconds,
                               ByteView channelBinding, DeviceIdentityService& identityService);

// In this order, the first failure thrown as PairingProtocolError:
// unsupportedProtocol (version), malformedMessage (nonce not 32 bytes),
// replayedHandshake (more than 60 s from `now`), CryptoError(invalidKey) for
// a key that is no P-256 point, identityMismatch (claimed fingerprint not the
// key's), invalidCertificateBinding (TLS peer not the claimed identity),
// invalidSignature (including a DER that does not parse).
void verifyRequest(const WakeRelayRequest& request, const std::optional<TLSChannelContext>& context, Date now);

// In this order: pairingIdentifierMismatch (not the request sent),
// CryptoError(invalidKey), identityMismatch (the key's fingerprint, the
// claimed one and the pin disagree), invalidCertificateBinding (TLS peer not
// the pinned relay), invalidSignature. No freshness check.
void verifyResponse(const WakeRelayResponse& response, const Uuid& requestID, const DeviceFingerprint& pinned,
                    const std::optional<TLSChannelContext>& context);

// From the system's secure generator; throws PairingProtocolError randomGenerationFailed.
Bytes randomBytes(std::size_t count);

// Unequal lengths differ at once; otherwise the time depends on the length only.
bool constantTimeEquals(ByteView a, ByteView b) noexcept;

} // namespace WakeRelayCrypto
} // namespace velorinth
