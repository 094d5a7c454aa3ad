// What the fuzz targets share: structured input, the one rule for errors, and
// fixed keys, so a signed or sealed input replays the same way everywhere.
#pragma once

#include "core/Bytes.hpp"
#include "core/Error.hpp"
#include "core/Json.hpp"
#include "core/Uuid.hpp"
#include "platform/tls/TLSChannelContext.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace velorinth::fuzz {

inline void require(bool condition) {
    if (!condition) std::abort();
}

// Runs `step` and tells whether it finished. `Refusal` (one of our errors) is
// a refusal; anything else escapes and crashes the target.
template <class Refusal = Error, class Step>
bool accepts(Step&& step) {
    try {
        step();
        return true;
    } catch (const Refusal&) {
        return false;
    }
}

// What was accepted survives its own encoding, unless the encoder refuses it
// (a non-finite number cannot be written back).
template <class T>
void requireRoundTrip(const T& value) {
    Bytes encoded;
    if (accepts<JSONEncodingError>([&] { encoded = json::encodeToBytes(value); })) {
        require(json::decodeFromBytes<T>(encoded) == value);
    }
}

// Runs `decode`; a value it accepts must survive its own encoding.
template <class Decode>
void requireRoundTripIfDecoded(Decode&& decode) {
    std::optional<std::invoke_result_t<Decode&>> value;
    if (accepts([&] { value.emplace(decode()); })) requireRoundTrip(*value);
}

inline Bytes takeBytes(FuzzedDataProvider& input, std::size_t limit) {
    return input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, limit));
}

// `valid` as it is (what an exhausted input gives), with one byte changed, or
// replaced by input bytes: the checks behind a parser see mostly sound values.
inline Bytes validOrTaken(FuzzedDataProvider& input, const Bytes& valid, std::size_t limit = 100) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0: return valid;
    case 1: {
        Bytes changed = valid;
        if (!changed.empty()) {
            changed[input.ConsumeIntegralInRange<std::size_t>(0, changed.size() - 1)] ^=
                input.ConsumeIntegralInRange<std::uint8_t>(1, 255);
        }
        return changed;
    }
    default: return takeBytes(input, limit);
    }
}

inline Uuid fixedUuid(std::uint8_t seed) {
    Uuid::Storage bytes{};
    bytes.fill(seed);
    return Uuid(bytes);
}

// Two P-256 keys in X9.63 private form (04 ‖ X ‖ Y ‖ d), made for these targets only.
inline const Bytes& fixedPrivateKey(int which) {
    static const Bytes keys[2] = {
        *hexDecode("0402660f1ff6a5b45f73eac1fc620bbd9bf8ae46962a271a77b6d2867ed28a81c142b267e058ca976f480bcba332b5d458"
                   "0742fc8b93a43bf6346dbccbbd5a6e27c2a419355fddee0e8f132e6c30b85656f824fa0958cb9f610e9e5f4579a113b5"),
        *hexDecode("04d3863df02685d7738fc85af9876da811ac6171f130467a895bb28826f6a4cb2029a646fc399856ee18db15b0eddfb78c"
                   "88a33273475f955d2da1bafd8c6f61bd24fe92061c1f5c71a5fa0b985246703700cb5e54ee2806a38d28f4095973c4cb"),
    };
    return keys[which];
}

// The device of fixedPrivateKey(which), with fixed identifiers.
inline std::shared_ptr<DeviceIdentityService> fixedIdentity(int which, const std::string& name) {
    auto store = std::make_shared<InMemorySecureStore>();
    const DeviceIdentity record{fixedUuid(static_cast<std::uint8_t>(1 + which)),
                                fixedUuid(static_cast<std::uint8_t>(3 + which)), name,
                                SecretBytes(ByteView(fixedPrivateKey(which))), Date(0)};
    store->setItem(json::encodeToBytes(record), DeviceIdentityService::service(), DeviceIdentityService::kAccount);
    return std::make_shared<DeviceIdentityService>(store, nullptr);
}

// The identity as presented: its key changed or replaced, the fingerprint
// kept, made to match, or replaced.
inline DevicePublicIdentity presentedIdentity(FuzzedDataProvider& input, DevicePublicIdentity identity) {
    identity.signingPublicKey = validOrTaken(input, identity.signingPublicKey);
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0: break;
    case 1: identity.fingerprint = DeviceFingerprint::fromPublicKey(identity.signingPublicKey); break;
    default: {
        Bytes bytes = input.ConsumeBytes<std::uint8_t>(DeviceFingerprint::kByteCount);
        bytes.resize(DeviceFingerprint::kByteCount);
        identity.fingerprint = DeviceFingerprint(bytes);
    }
    }
    return identity;
}

// What TLS saw of the peer: nothing, the real peer, or another key.
inline std::optional<TLSChannelContext> tlsPeer(FuzzedDataProvider& input, const DevicePublicIdentity& peer,
                                                const Bytes& exporter) {
    if (!input.ConsumeBool()) return std::nullopt;
    const Bytes key = validOrTaken(input, peer.signingPublicKey);
    return TLSChannelContext{key, DeviceFingerprint::fromPublicKey(key), exporter};
}

// Runs a signature check: "accepted", or the name of the refusal's case. A key
// that is no P-256 point is "invalidKey"; any other error escapes.
template <class Check>
std::string_view signatureCheckOutcome(Check&& check) {
    using Case = PairingProtocolError::Case;
    try {
        check();
        return "accepted";
    } catch (const PairingProtocolError& refusal) {
        switch (refusal.kind) {
        case Case::unsupportedProtocol: return "unsupportedProtocol";
        case Case::malformedMessage: return "malformedMessage";
        case Case::replayedHandshake: return "replayedHandshake";
        case Case::pairingIdentifierMismatch: return "pairingIdentifierMismatch";
        case Case::identityMismatch: return "identityMismatch";
        case Case::invalidCertificateBinding: return "invalidCertificateBinding";
        case Case::invalidSignature: return "invalidSignature";
        default: throw;
        }
    } catch (const CryptoError& refusal) {
        if (refusal.kind != CryptoError::Case::invalidKey) throw;
        return "invalidKey";
    }
}

inline const Bytes kSessionKey(32, 0x5A);
inline const Bytes kTranscriptHash(32, 0xC3);

} // namespace velorinth::fuzz
