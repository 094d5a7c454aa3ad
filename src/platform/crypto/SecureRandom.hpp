#pragma once

#include "core/Bytes.hpp"

#include <cstddef>

namespace velorinth {

// `count` bytes from OpenSSL's private DRBG (RAND_priv_bytes).
// Throws CryptoError(randomGenerationFailed).
Bytes randomBytes(std::size_t count);
SecretBytes randomSecretBytes(std::size_t count);

} // namespace velorinth
