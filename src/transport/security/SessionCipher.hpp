#pragma once

#include "core/Bytes.hpp"
#include "core/Error.hpp"
#include "platform/crypto/ChaCha20Poly1305.hpp"
#include "transport/security/HandshakeMessages.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

namespace velorinth {

// Which end of the handshake this side was: the tablet initiates, the host responds.
enum class SessionRole { initiator, responder };

class SessionCipherError : public Error {
public:
    enum class Case { replayedOrOutOfOrder, malformedCiphertext, authenticationFailed, sequenceExhausted };

    explicit SessionCipherError(Case kind);
    static std::string_view text(Case kind);

    Case kind;
};

// Seals and opens the messages of one session with ChaCha20-Poly1305. Each
// direction has its own key and 4-byte nonce tag, derived from the pairing's
// session key; the nonce is the tag followed by the message's 64-bit sequence,
// so a sequence is never reused under one key. Receiving is strict: only the
// next sequence is accepted, and a refused message leaves the state as it was.
// Callable from any thread; calls are serialised so the order of seal calls
// is the order of sequences.
class SessionCipher {
public:
    static constexpr std::size_t kSessionKeySize = 32;
    static constexpr std::size_t kTagSize = ChaCha20Poly1305::kTagSize;
    static constexpr std::uint64_t kSequenceLimit = std::numeric_limits<std::uint64_t>::max();

    // Throws CryptoError(invalidParameter) unless `sessionKey` is 32 bytes.
    SessionCipher(ByteView sessionKey, SessionRole role);
    // Starts the sending and expected receiving sequences at the given values,
    // so a test reaches the end of the sequence space without 2^64 seals.
    static std::shared_ptr<SessionCipher> makeForTesting(ByteView sessionKey, SessionRole role,
                                                         std::uint64_t sendSequence, std::uint64_t receiveSequence);
    ~SessionCipher();

    SessionCipher(const SessionCipher&) = delete;
    SessionCipher& operator=(const SessionCipher&) = delete;

    // Returns the next sending sequence with ciphertext ‖ tag, then advances.
    // Throws SessionCipherError sequenceExhausted once the sequence would reach
    // 2^64 − 1, which is never used, so the counter never wraps.
    EncryptedSessionMessage seal(ByteView plaintext, ByteView associatedData);
    // The same, written into `out` (exactly plaintext.size() + kTagSize bytes,
    // else CryptoError invalidParameter with no sequence used), so a caller
    // can seal straight into the buffer it sends; returns the sequence.
    std::uint64_t sealInto(ByteView plaintext, ByteView associatedData, std::span<std::uint8_t> out);
    // The same for a plaintext in parts, sealed as one (a packet header and a
    // chunk of a shared frame, say); `out` holds their total + kTagSize bytes.
    std::uint64_t sealInto(std::span<const ByteView> plaintextParts, ByteView associatedData,
                           std::span<std::uint8_t> out);

    // Returns the plaintext of the message with the next expected sequence and
    // advances. Throws SessionCipherError: replayedOrOutOfOrder (any other
    // sequence), malformedCiphertext (fewer than 16 bytes), authenticationFailed.
    Bytes open(std::uint64_t sequence, ByteView ciphertext, ByteView associatedData);

private:
    SessionCipher(ByteView sessionKey, SessionRole role, std::uint64_t sendSequence, std::uint64_t receiveSequence);

    using Nonce = std::array<std::uint8_t, ChaCha20Poly1305::kNonceSize>;
    using NonceTag = std::array<std::uint8_t, 4>;

    struct Direction {
        ChaCha20Poly1305Key key;
        NonceTag nonceTag{};
    };

    static Direction deriveDirection(ByteView sessionKey, std::string_view info);
    static Nonce nonceFor(const NonceTag& tag, std::uint64_t sequence);

    std::mutex mutex_;
    Direction sending_;
    Direction receiving_;
    std::uint64_t sendSequence_;
    std::uint64_t receiveSequence_;
};

} // namespace velorinth
