#pragma once

#include "core/Bytes.hpp"
#include "platform/crypto/OpenSslHandles.hpp"
#include "platform/crypto/P256PublicKey.hpp"

#include <cstddef>
#include <iosfwd>
#include <string>

namespace velorinth {

// A P-256 ECDSA private key. Immutable; copies share the underlying EVP_PKEY,
// so signing from several threads at once is safe.
class P256SigningKey {
public:
    // X9.63 private form: 04 ‖ X ‖ Y ‖ d.
    static constexpr std::size_t kX963Size = 97;

    // Throws CryptoError(keyGenerationFailed).
    static P256SigningKey generate();
    // Throws CryptoError(invalidKey) unless `x963` is 97 bytes holding a valid
    // point and a scalar d in [1, n-1] whose public point it is.
    static P256SigningKey fromX963(ByteView x963);

    P256SigningKey(const P256SigningKey& other);
    P256SigningKey& operator=(const P256SigningKey& other);
    P256SigningKey(P256SigningKey&&) noexcept = default;
    P256SigningKey& operator=(P256SigningKey&&) noexcept = default;
    ~P256SigningKey();

    // 97 bytes; the caller keeps them secret.
    SecretBytes x963Representation() const;
    // 65 bytes: 04 ‖ X ‖ Y.
    const Bytes& publicKeyX963() const noexcept { return publicKey_.x963Representation(); }
    const P256PublicKey& publicKey() const noexcept { return publicKey_; }

    // DER-encoded ECDSA signature over SHA-256(message) (randomised nonce).
    // Throws CryptoError(signingFailed).
    Bytes signature(ByteView message) const;

    // Borrowed; valid as long as this object. For the TLS layer (certificates).
    EVP_PKEY* native() const noexcept { return key_.get(); }

    // Never the key material: "[REDACTED]".
    std::string description() const { return "[REDACTED]"; }

private:
    P256SigningKey(EvpPkeyPtr key, P256PublicKey publicKey);

    EvpPkeyPtr key_;
    P256PublicKey publicKey_;
};

std::ostream& operator<<(std::ostream& out, const P256SigningKey& key);

} // namespace velorinth
