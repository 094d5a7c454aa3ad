#include "transport/security/PairingTranscript.hpp"

#include "core/BigEndian.hpp"
#include "core/Digest.hpp"
#include "core/Json.hpp"

#include <limits>
#include <stdexcept>

namespace velorinth {

namespace {

ByteView viewOf(std::string_view text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

} // namespace

void PairingTranscript::appendField(ByteView field, Bytes& buffer) {
    // Every field comes from a frame of at most a few tens of KiB; a longer
    // one cannot be encoded unambiguously, so it is refused, never truncated.
    if (field.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("A transcript field is longer than 4 GiB.");
    }
    bigendian::append(buffer, static_cast<std::uint32_t>(field.size()));
    buffer.insert(buffer.end(), field.begin(), field.end());
}

void PairingTranscript::appendTextField(std::string_view text, Bytes& buffer) { appendField(viewOf(text), buffer); }

void PairingTranscript::appendUuidField(const Uuid& id, Bytes& buffer) {
    appendTextField(id.lowercaseString(), buffer);
}

void PairingTranscript::appendUInt16Field(std::uint16_t value, Bytes& buffer) {
    bigendian::append<std::uint32_t>(buffer, 2);
    bigendian::append(buffer, value);
}

void PairingTranscript::appendInt64Field(std::int64_t value, Bytes& buffer) {
    bigendian::append<std::uint32_t>(buffer, 8);
    bigendian::append(buffer, static_cast<std::uint64_t>(value));
}

void PairingTranscript::appendIdentityFields(const DevicePublicIdentity& identity, Bytes& buffer) {
    appendUuidField(identity.id, buffer);
    appendTextField(identity.displayName, buffer);
    appendUuidField(identity.discoveryInstanceID, buffer);
    appendField(identity.signingPublicKey, buffer);
    appendField(identity.fingerprint.bytes(), buffer);
}

Bytes PairingTranscript::encode(const PairingRequest& request, const PairingResponse& response,
                                ByteView channelBinding) {
    Bytes versions;
    versions.reserve(request.supportedProtocolVersions.size() * 2);
    for (std::uint16_t version : request.supportedProtocolVersions) bigendian::append(versions, version);

    Bytes buffer(kLabel.begin(), kLabel.end());
    appendUuidField(request.pairingID, buffer);
    appendUInt16Field(request.protocolVersion, buffer);
    appendField(versions, buffer);
    appendTextField(json::caseName(request.purpose), buffer);
    appendInt64Field(request.createdAtEpochSeconds, buffer);
    appendIdentityFields(request.initiatorIdentity, buffer);
    appendField(request.ephemeralPublicKey, buffer);
    appendField(request.nonce, buffer);

    appendUInt16Field(response.protocolVersion, buffer);
    appendIdentityFields(response.responderIdentity, buffer);
    appendField(response.ephemeralPublicKey, buffer);
    appendField(response.nonce, buffer);

    appendField(channelBinding, buffer);
    return buffer;
}

Bytes PairingTranscript::hash(const PairingRequest& request, const PairingResponse& response,
                              ByteView channelBinding) {
    return sha256(encode(request, response, channelBinding));
}

} // namespace velorinth
