#pragma once

// P-256 key plumbing shared by the key classes (not part of the layer's API).

#include "core/Bytes.hpp"
#include "platform/crypto/OpenSslHandles.hpp"

namespace velorinth::detail {

inline constexpr std::size_t kP256FieldSize = 32;

// Loads a public key (privateX963 empty) or a key pair from X9.63 bytes,
// validated in full (public check, or pairwise check for a pair).
// Throws CryptoError(invalidKey).
EvpPkeyPtr loadP256PublicKey(ByteView publicX963);
EvpPkeyPtr loadP256KeyPair(ByteView privateX963);

// Throws CryptoError(keyGenerationFailed).
EvpPkeyPtr generateP256KeyPair();

// 04 ‖ X ‖ Y of any EC key on P-256. Throws CryptoError(invalidKey).
Bytes p256PublicPoint(EVP_PKEY* key);
bool isP256Key(EVP_PKEY* key) noexcept;

// 04 ‖ X ‖ Y ‖ d. Throws CryptoError(invalidKey).
SecretBytes p256PrivateX963(EVP_PKEY* key);

} // namespace velorinth::detail
