#include "transport/security/SessionCipher.hpp"

#include "core/BigEndian.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/KeyDerivation.hpp"

#include <algorithm>
#include <string>

namespace velorinth {

namespace {
constexpr std::string_view kInitiatorToResponderInfo = "Velorinth session initiator-to-responder v1";
constexpr std::string_view kResponderToInitiatorInfo = "Velorinth session responder-to-initiator v1";
constexpr std::size_t kDirectionKeyMaterialSize = ChaCha20Poly1305::kKeySize + 4;

ByteView viewOf(std::string_view text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

ByteView checkedSessionKey(ByteView key) {
    if (key.size() != SessionCipher::kSessionKeySize) throw CryptoError(CryptoError::Case::invalidParameter);
    return key;
}
} // namespace

SessionCipherError::SessionCipherError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view SessionCipherError::text(Case kind) {
    switch (kind) {
    case Case::replayedOrOutOfOrder: return "Out-of-order or replayed encrypted message was blocked.";
    case Case::malformedCiphertext: return "Malformed encrypted session frame was rejected.";
    case Case::authenticationFailed: return "Encrypted session message failed authenticity verification.";
    case Case::sequenceExhausted: return "Session sequence space exhausted; reconnect required.";
    }
    return {};
}

SessionCipher::SessionCipher(ByteView sessionKey, SessionRole role) : SessionCipher(sessionKey, role, 0, 0) {}

std::shared_ptr<SessionCipher> SessionCipher::makeForTesting(ByteView sessionKey, SessionRole role,
                                                             std::uint64_t sendSequence,
                                                             std::uint64_t receiveSequence) {
    return std::shared_ptr<SessionCipher>(new SessionCipher(sessionKey, role, sendSequence, receiveSequence));
}

SessionCipher::SessionCipher(ByteView sessionKey, SessionRole role, std::uint64_t sendSequence,
                             std::uint64_t receiveSequence)
    : sending_(deriveDirection(checkedSessionKey(sessionKey), role == SessionRole::initiator
                                                                   ? kInitiatorToResponderInfo
                                                                   : kResponderToInitiatorInfo)),
      receiving_(deriveDirection(sessionKey, role == SessionRole::initiator ? kResponderToInitiatorInfo
                                                                             : kInitiatorToResponderInfo)),
      sendSequence_(sendSequence), receiveSequence_(receiveSequence) {}

SessionCipher::~SessionCipher() {
    secureWipe(sending_.nonceTag.data(), sending_.nonceTag.size());
    secureWipe(receiving_.nonceTag.data(), receiving_.nonceTag.size());
}

SessionCipher::Direction SessionCipher::deriveDirection(ByteView sessionKey, std::string_view info) {
    // Bytes 0-31 are the key, 32-35 the nonce tag; the buffer wipes itself.
    SecretBytes material = hkdfSha256(sessionKey, {}, viewOf(info), kDirectionKeyMaterialSize);
    Direction direction{ChaCha20Poly1305Key(material.view().first(ChaCha20Poly1305::kKeySize)), {}};
    std::copy_n(material.data() + ChaCha20Poly1305::kKeySize, direction.nonceTag.size(), direction.nonceTag.begin());
    return direction;
}

SessionCipher::Nonce SessionCipher::nonceFor(const NonceTag& tag, std::uint64_t sequence) {
    Nonce nonce{};
    std::copy(tag.begin(), tag.end(), nonce.begin());
    bigendian::store<std::uint64_t>(std::span(nonce).last<8>(), sequence);
    return nonce;
}

EncryptedSessionMessage SessionCipher::seal(ByteView plaintext, ByteView associatedData) {
    Bytes sealed(plaintext.size() + kTagSize);
    const std::uint64_t sequence = sealInto(plaintext, associatedData, sealed);
    return EncryptedSessionMessage{sequence, std::move(sealed)};
}

std::uint64_t SessionCipher::sealInto(ByteView plaintext, ByteView associatedData, std::span<std::uint8_t> out) {
    return sealInto(std::span<const ByteView>(&plaintext, 1), associatedData, out);
}

std::uint64_t SessionCipher::sealInto(std::span<const ByteView> plaintextParts, ByteView associatedData,
                                      std::span<std::uint8_t> out) {
    std::lock_guard lock(mutex_);
    if (sendSequence_ == kSequenceLimit) throw SessionCipherError(SessionCipherError::Case::sequenceExhausted);
    const std::uint64_t sequence = sendSequence_;
    const Nonce nonce = nonceFor(sending_.nonceTag, sequence);
    sending_.key.sealInto(nonce, plaintextParts, associatedData, out);
    sendSequence_ = sequence + 1;
    return sequence;
}

Bytes SessionCipher::open(std::uint64_t sequence, ByteView ciphertext, ByteView associatedData) {
    std::lock_guard lock(mutex_);
    // No sender seals at the limit, so nothing authentic can carry it; refusing
    // it keeps the expected sequence from wrapping to 0.
    if (sequence != receiveSequence_ || sequence == kSequenceLimit) {
        throw SessionCipherError(SessionCipherError::Case::replayedOrOutOfOrder);
    }
    if (ciphertext.size() < kTagSize) throw SessionCipherError(SessionCipherError::Case::malformedCiphertext);
    const Nonce nonce = nonceFor(receiving_.nonceTag, sequence);
    Bytes plaintext(ciphertext.size() - kTagSize);
    try {
        receiving_.key.openInto(nonce, ciphertext, associatedData, plaintext);
    } catch (const CryptoError& error) {
        if (error.kind == CryptoError::Case::ciphertextTooShort) {
            throw SessionCipherError(SessionCipherError::Case::malformedCiphertext);
        }
        throw SessionCipherError(SessionCipherError::Case::authenticationFailed);
    }
    receiveSequence_ = sequence + 1;
    return plaintext;
}

} // namespace velorinth
