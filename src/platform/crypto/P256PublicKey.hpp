#pragma once

#include "core/Bytes.hpp"
#include "platform/crypto/OpenSslHandles.hpp"

#include <cstddef>
#include <iosfwd>

namespace velorinth {

// A validated P-256 public key (a point on the curve, never the identity).
// Immutable; copies share the underlying EVP_PKEY.
class P256PublicKey {
public:
    // Uncompressed X9.63 form: 04 ‖ X ‖ Y.
    static constexpr std::size_t kX963Size = 65;

    // Throws CryptoError(invalidKey) unless `x963` is 65 bytes, starts with 04
    // and is a point on the curve.
    static P256PublicKey fromX963(ByteView x963);
    // Shares `key` (e.g. from a certificate). Throws CryptoError(invalidKey)
    // when it is not an EC key on P-256.
    static P256PublicKey fromNative(EVP_PKEY* key);

    P256PublicKey(const P256PublicKey& other);
    P256PublicKey& operator=(const P256PublicKey& other);
    P256PublicKey(P256PublicKey&&) noexcept = default;
    P256PublicKey& operator=(P256PublicKey&&) noexcept = default;
    ~P256PublicKey();

    const Bytes& x963Representation() const noexcept { return x963_; }

    // True only for a strict-DER ECDSA signature (r, s) over SHA-256(message)
    // by this key. Malformed input, BER encodings and trailing bytes give false.
    bool isValidSignature(ByteView derSignature, ByteView message) const noexcept;

    // Borrowed; valid as long as this object.
    EVP_PKEY* native() const noexcept { return key_.get(); }

    bool operator==(const P256PublicKey& other) const noexcept { return x963_ == other.x963_; }

private:
    P256PublicKey(EvpPkeyPtr key, Bytes x963);

    EvpPkeyPtr key_;
    Bytes x963_;
};

std::ostream& operator<<(std::ostream& out, const P256PublicKey& key);

} // namespace velorinth
