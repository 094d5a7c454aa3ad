#pragma once

#include "core/Bytes.hpp"

#include <cstddef>
#include <cstdint>

namespace velorinth {

// RFC 5869 HKDF-SHA256 (extract then expand) through EVP_KDF "HKDF".
// An empty salt means HashLen zero bytes, as the RFC says.
// Throws CryptoError(keyDerivationFailed), e.g. for length 0 or above 255 × 32.
SecretBytes hkdfSha256(ByteView ikm, ByteView salt, ByteView info, std::size_t length);

// RFC 7914 scrypt through EVP_KDF "SCRYPT". `n` must be a power of two > 1.
// `maxMemoryBytes` bounds the memory OpenSSL may take (about 128 × r × (n + p)
// bytes are needed); a derivation that needs more fails.
// Throws CryptoError(keyDerivationFailed).
SecretBytes scrypt(ByteView password, ByteView salt, std::uint64_t n, std::uint32_t r, std::uint32_t p,
                   std::size_t length, std::uint64_t maxMemoryBytes);

} // namespace velorinth
