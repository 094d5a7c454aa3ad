#pragma once

#include "core/Bytes.hpp"
#include "core/IdentityModels.hpp"
#include "core/Uuid.hpp"
#include "transport/security/HandshakeMessages.hpp"

#include <cstdint>
#include <string_view>

namespace velorinth {

// The byte string both sides hash and sign in a pairing. Nothing in it is
// JSON: each field is written as a 4-byte big-endian length followed by its
// bytes, after a fixed label, so no two different transcripts can produce
// the same bytes. Other signed digests (the wake relay's) use the same field
// encoding.
struct PairingTranscript {
    static constexpr std::string_view kLabel = "Velorinth pairing transcript v1";

    // Appends the byte count as a UInt32 big-endian, then the bytes.
    static void appendField(ByteView field, Bytes& buffer);
    // The typed forms every digest uses: UTF-8 text as held; a UUID as its
    // 36-byte lower-case text; integers big-endian (2 or 8 bytes, two's
    // complement for the signed one).
    static void appendTextField(std::string_view text, Bytes& buffer);
    static void appendUuidField(const Uuid& id, Bytes& buffer);
    static void appendUInt16Field(std::uint16_t value, Bytes& buffer);
    static void appendInt64Field(std::int64_t value, Bytes& buffer);
    // id, displayName, discoveryInstanceID, signingPublicKey, fingerprint.
    static void appendIdentityFields(const DevicePublicIdentity& identity, Bytes& buffer);

    // The label followed by every field of the request, then of the response
    // (its signature left out), then the channel binding (empty without TLS).
    static Bytes encode(const PairingRequest& request, const PairingResponse& response, ByteView channelBinding);
    // SHA-256 of encode(): 32 bytes.
    static Bytes hash(const PairingRequest& request, const PairingResponse& response, ByteView channelBinding);
};

} // namespace velorinth
