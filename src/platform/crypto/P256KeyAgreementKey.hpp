#pragma once

#include "core/Bytes.hpp"
#include "platform/crypto/OpenSslHandles.hpp"
#include "platform/crypto/P256PublicKey.hpp"

#include <cstddef>
#include <iosfwd>
#include <string>

namespace velorinth {

// A P-256 ECDH private key (ephemeral in the pairing). Immutable; copies share
// the underlying EVP_PKEY.
class P256KeyAgreementKey {
public:
    static constexpr std::size_t kX963Size = 97;   // 04 ‖ X ‖ Y ‖ d
    static constexpr std::size_t kSharedSecretSize = 32;

    // Throws CryptoError(keyGenerationFailed).
    static P256KeyAgreementKey generate();
    // Same checks as P256SigningKey::fromX963. Throws CryptoError(invalidKey).
    static P256KeyAgreementKey fromX963(ByteView x963);

    P256KeyAgreementKey(const P256KeyAgreementKey& other);
    P256KeyAgreementKey& operator=(const P256KeyAgreementKey& other);
    P256KeyAgreementKey(P256KeyAgreementKey&&) noexcept = default;
    P256KeyAgreementKey& operator=(P256KeyAgreementKey&&) noexcept = default;
    ~P256KeyAgreementKey();

    // 65 bytes: 04 ‖ X ‖ Y.
    const Bytes& publicKeyX963() const noexcept { return publicKey_.x963Representation(); }
    const P256PublicKey& publicKey() const noexcept { return publicKey_; }

    // The raw ECDH shared secret: the 32-byte big-endian x-coordinate (no KDF).
    // Throws CryptoError(invalidKey) when the peer's bytes are not a valid
    // uncompressed point, CryptoError(keyAgreementFailed) otherwise.
    SecretBytes sharedSecret(ByteView peerPublicX963) const;
    SecretBytes sharedSecret(const P256PublicKey& peer) const;

    EVP_PKEY* native() const noexcept { return key_.get(); }

    std::string description() const { return "[REDACTED]"; }

private:
    P256KeyAgreementKey(EvpPkeyPtr key, P256PublicKey publicKey);

    EvpPkeyPtr key_;
    P256PublicKey publicKey_;
};

std::ostream& operator<<(std::ostream& out, const P256KeyAgreementKey& key);

} // namespace velorinth
