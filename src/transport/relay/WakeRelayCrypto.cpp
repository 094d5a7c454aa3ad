#include "transport/relay/WakeRelayCrypto.hpp"

#include "core/Digest.hpp"
#include "core/Text.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/PairingTranscript.hpp"
#include "transport/security/SecurePairingProtocol.hpp"

#include <openssl/crypto.h>

namespace velorinth::WakeRelayCrypto {

namespace {

using Case = PairingProtocolError::Case;
using Field = PairingTranscript;

[[noreturn]] void fail(Case kind) { throw PairingProtocolError(kind); }

ByteView viewOf(std::string_view text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

Bytes bindingOf(const std::optional<TLSChannelContext>& context) {
    return context ? context->exporterChannelBinding : Bytes{};
}

DevicePublicIdentity ownIdentity(DeviceIdentityService& service) {
    return service.publicIdentity(service.loadOrCreateRecord());
}

} // namespace

ByteView requestLabel() { return viewOf(kRequestLabel); }
ByteView responseLabel() { return viewOf(kResponseLabel); }

Bytes requestDigest(const Uuid& requestID, std::uint16_t protocolVersion, const WakeRelayAction& action,
                    const DevicePublicIdentity& clientIdentity, const Uuid& targetMacDeviceID,
                    std::int64_t timestampEpochSeconds, ByteView nonce, ByteView channelBinding) {
    Bytes input(kRequestLabel.begin(), kRequestLabel.end());
    Field::appendUuidField(requestID, input);
    Field::appendUInt16Field(protocolVersion, input);
    if (const WakeRelayAction::PairClient* pairing = action.pairing()) {
        Field::appendTextField("pair", input);
        Field::appendUuidField(pairing->ticketID, input);
        // The secret's letter case carries no meaning: both cases sign alike.
        Field::appendTextField(lowercased(pairing->secretHex), input);
    } else {
        Field::appendTextField("wake", input);
    }
    Field::appendUuidField(clientIdentity.id, input);
    Field::appendField(clientIdentity.signingPublicKey, input);
    Field::appendUuidField(targetMacDeviceID, input);
    Field::appendInt64Field(timestampEpochSeconds, input);
    Field::appendField(nonce, input);
    Field::appendField(channelBinding, input);
    return sha256(input);
}

Bytes responseDigest(const Uuid& requestID, const DevicePublicIdentity& relayIdentity, WakeRelayResponseStatus status,
                     std::int64_t datagramsSent, std::string_view message, std::int64_t respondedAtEpochSeconds,
                     ByteView channelBinding) {
    Bytes input(kResponseLabel.begin(), kResponseLabel.end());
    Field::appendUuidField(requestID, input);
    Field::appendUuidField(relayIdentity.id, input);
    Field::appendField(relayIdentity.signingPublicKey, input);
    Field::appendTextField(rawValue(status), input);
    Field::appendInt64Field(datagramsSent, input);
    Field::appendTextField(message, input);
    Field::appendInt64Field(respondedAtEpochSeconds, input);
    Field::appendField(channelBinding, input);
    return sha256(input);
}

WakeRelayRequest signedRequest(const Uuid& requestID, std::uint16_t protocolVersion, const WakeRelayAction& action,
                               const Uuid& targetMacDeviceID, std::int64_t timestampEpochSeconds, ByteView nonce,
                               ByteView channelBinding, DeviceIdentityService& identityService) {
    WakeRelayRequest request;
    request.requestID = requestID;
    request.protocolVersion = protocolVersion;
    request.action = action;
    request.clientIdentity = ownIdentity(identityService);
    request.targetMacDeviceID = targetMacDeviceID;
    request.timestampEpochSeconds = timestampEpochSeconds;
    request.nonce.assign(nonce.begin(), nonce.end());
    request.signature = identityService.sign(requestDigest(requestID, protocolVersion, action, request.clientIdentity,
                                                           targetMacDeviceID, timestampEpochSeconds, nonce,
                                                           channelBinding));
    return request;
}

WakeRelayResponse signResponse(const Uuid& requestID, WakeRelayResponseStatus status, std::int64_t datagramsSent,
                               std::string_view message, std::int64_t respondedAtEpochSeconds,
                               ByteView channelBinding, DeviceIdentityService& identityService) {
    WakeRelayResponse response;
    response.requestID = requestID;
    response.relayIdentity = ownIdentity(identityService);
    response.status = status;
    response.datagramsSent = datagramsSent;
    response.message = std::string(message);
    response.respondedAtEpochSeconds = respondedAtEpochSeconds;
    response.signature = identityService.sign(responseDigest(requestID, response.relayIdentity, status,
                                                             datagramsSent, message, respondedAtEpochSeconds,
                                                             channelBinding));
    return response;
}

void verifyRequest(const WakeRelayRequest& request, const std::optional<TLSChannelContext>& context, Date now) {
    if (!ProtocolVersion::supportedRange.contains(request.protocolVersion)) fail(Case::unsupportedProtocol);
    if (request.nonce.size() != kNonceSize) fail(Case::malformedMessage);
    if (SecurePairingProtocol::distance(SecurePairingProtocol::epochSeconds(now), request.timestampEpochSeconds) >
        static_cast<std::uint64_t>(requestWindowSeconds)) {
        fail(Case::replayedHandshake);
    }
    const DevicePublicIdentity& client = request.clientIdentity;
    const P256PublicKey key = P256PublicKey::fromX963(client.signingPublicKey);
    if (DeviceFingerprint::fromPublicKey(key.x963Representation()) != client.fingerprint) fail(Case::identityMismatch);
    if (context && (context->peerFingerprint != client.fingerprint ||
                    context->peerSigningPublicKey != client.signingPublicKey)) {
        fail(Case::invalidCertificateBinding);
    }
    const Bytes digest = requestDigest(request.requestID, request.protocolVersion, request.action, client,
                                       request.targetMacDeviceID, request.timestampEpochSeconds, request.nonce,
                                       bindingOf(context));
    if (!key.isValidSignature(request.signature, digest)) fail(Case::invalidSignature);
}

void verifyResponse(const WakeRelayResponse& response, const Uuid& requestID, const DeviceFingerprint& pinned,
                    const std::optional<TLSChannelContext>& context) {
    if (response.requestID != requestID) fail(Case::pairingIdentifierMismatch);
    const DevicePublicIdentity& relay = response.relayIdentity;
    const P256PublicKey key = P256PublicKey::fromX963(relay.signingPublicKey);
    const DeviceFingerprint actual = DeviceFingerprint::fromPublicKey(key.x963Representation());
    if (actual != relay.fingerprint || actual != pinned) fail(Case::identityMismatch);
    if (context && (context->peerFingerprint != pinned || context->peerSigningPublicKey != relay.signingPublicKey)) {
        fail(Case::invalidCertificateBinding);
    }
    const Bytes digest = responseDigest(response.requestID, relay, response.status, response.datagramsSent,
                                        response.message, response.respondedAtEpochSeconds, bindingOf(context));
    if (!key.isValidSignature(response.signature, digest)) fail(Case::invalidSignature);
}

Bytes randomBytes(std::size_t count) { return SecurePairingProtocol::randomBytes(count); }

bool constantTimeEquals(ByteView a, ByteView b) noexcept {
    if (a.size() != b.size()) return false;
    return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace velorinth::WakeRelayCrypto
