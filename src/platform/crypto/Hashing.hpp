#pragma once

// SHA-256 itself is `sha256(ByteView)` from core/Digest.hpp (re-exported here).

#include "core/Bytes.hpp"
#include "core/Digest.hpp"

namespace velorinth {

inline constexpr std::size_t kSha256Size = 32;

// HMAC-SHA256 of `data` under `key` (any length, empty included): 32 bytes.
// Throws CryptoError(operationFailed).
Bytes hmacSha256(ByteView key, ByteView data);

// True when `tag` is the full 32-byte HMAC-SHA256 of `data` under `key`;
// compared in constant time. Truncated tags are refused.
bool isValidHmacSha256(ByteView key, ByteView data, ByteView tag);

} // namespace velorinth
