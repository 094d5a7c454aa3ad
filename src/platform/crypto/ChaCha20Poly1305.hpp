#pragma once

#include "core/Bytes.hpp"
#include "platform/crypto/OpenSslHandles.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace velorinth {

// RFC 8439 ChaCha20-Poly1305. A sealed box is ciphertext ‖ 16-byte tag.
// Failures throw CryptoError: invalidParameter (key not 32 bytes, nonce not
// 12 bytes, output buffer of the wrong size), ciphertextTooShort (open of
// fewer than 16 bytes), authenticationFailed (open with a tag that does not
// verify; nothing of the plaintext is returned).
struct ChaCha20Poly1305 {
    static constexpr std::size_t kKeySize = 32;
    static constexpr std::size_t kNonceSize = 12;
    static constexpr std::size_t kTagSize = 16;

    static Bytes seal(ByteView key, ByteView nonce, ByteView plaintext, ByteView aad);
    static Bytes open(ByteView key, ByteView nonce, ByteView sealed, ByteView aad);
};

// A key with its own reused cipher context: no per-message allocation or
// algorithm lookup, for the video path. Not thread-safe (one owner, or a lock).
class ChaCha20Poly1305Key {
public:
    // Throws CryptoError(invalidParameter) unless `key` is 32 bytes.
    explicit ChaCha20Poly1305Key(ByteView key);
    ChaCha20Poly1305Key(ChaCha20Poly1305Key&&) noexcept = default;
    ChaCha20Poly1305Key& operator=(ChaCha20Poly1305Key&&) noexcept = default;
    ChaCha20Poly1305Key(const ChaCha20Poly1305Key&) = delete;
    ChaCha20Poly1305Key& operator=(const ChaCha20Poly1305Key&) = delete;
    ~ChaCha20Poly1305Key();

    Bytes seal(ByteView nonce, ByteView plaintext, ByteView aad);
    Bytes open(ByteView nonce, ByteView sealed, ByteView aad);

    // Into a caller's buffer: `out` must be exactly plaintext.size() + 16
    // (seal) or sealed.size() - 16 (open) bytes. On a failed open `out` is
    // zeroed.
    void sealInto(ByteView nonce, ByteView plaintext, ByteView aad, std::span<std::uint8_t> out);
    // The parts, in order, sealed as one plaintext.
    void sealInto(ByteView nonce, std::span<const ByteView> plaintextParts, ByteView aad, std::span<std::uint8_t> out);
    void openInto(ByteView nonce, ByteView sealed, ByteView aad, std::span<std::uint8_t> out);

private:
    EvpCipherCtxPtr encrypt_;
    EvpCipherCtxPtr decrypt_;
};

} // namespace velorinth
