#include "transport/security/SessionCipher.hpp"

#include "platform/crypto/ChaCha20Poly1305.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/KeyDerivation.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using C = SessionCipherError::Case;

Bytes sessionKey() {
    Bytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return key;
}

const Bytes kTranscript(32, 0xA5);

C openFailure(SessionCipher& cipher, std::uint64_t sequence, ByteView sealed, ByteView ad = kTranscript) {
    return testing::thrown<SessionCipherError>([&] { cipher.open(sequence, sealed, ad); }).kind;
}

TEST(SessionCipher, RoundTripsInBothDirectionsEachUnderItsOwnKey) {
    SessionCipher tablet(sessionKey(), SessionRole::initiator);
    SessionCipher host(sessionKey(), SessionRole::responder);
    // A buffer of the wrong size uses up no sequence.
    Bytes wrongSize(5 + 16);
    EXPECT_THROW(host.sealInto(bytesOf("host"), kTranscript, wrongSize), CryptoError);
    for (std::uint64_t i = 0; i < 3; ++i) {
        auto fromHost = host.seal(bytesOf("host " + std::to_string(i)), kTranscript);
        EXPECT_EQ(fromHost.sequence, i);
        EXPECT_EQ(fromHost.ciphertext.size(), 6 + 16);
        EXPECT_EQ(stringOf(tablet.open(fromHost.sequence, fromHost.ciphertext, kTranscript)),
                  "host " + std::to_string(i));
        auto fromTablet = tablet.seal(Bytes{}, kTranscript);
        EXPECT_EQ(fromTablet.sequence, i);
        EXPECT_TRUE(host.open(fromTablet.sequence, fromTablet.ciphertext, kTranscript).empty());
    }
    // A message reflected back to its sender must not open.
    auto reflected = tablet.seal(bytesOf("ping"), kTranscript);
    EXPECT_EQ(openFailure(tablet, 3, reflected.ciphertext), C::authenticationFailed);
    EXPECT_THROW(SessionCipher(Bytes(31), SessionRole::initiator), CryptoError);
}

// A plaintext in parts (a fragment header and a chunk of a shared frame) seals
// exactly as the joined bytes would, whatever the parts' lengths do to the
// cipher's 64-byte blocks.
TEST(SessionCipher, APlaintextInPartsSealsAsTheJoinedBytes) {
    for (const auto& [head, tail] :
         {std::pair<std::size_t, std::size_t>{48, 32'768}, {0, 100}, {63, 1}, {64, 0}, {1, 200'001}, {130, 65}}) {
        Bytes joined(head + tail);
        for (std::size_t i = 0; i < joined.size(); ++i) joined[i] = static_cast<std::uint8_t>(i * 13 + 5);
        const ByteView parts[] = {ByteView(joined).first(head), ByteView(), ByteView(joined).subspan(head)};
        SessionCipher whole(sessionKey(), SessionRole::responder);
        SessionCipher inParts(sessionKey(), SessionRole::responder);
        const EncryptedSessionMessage expected = whole.seal(joined, kTranscript);
        Bytes sealed(joined.size() + SessionCipher::kTagSize);
        EXPECT_EQ(inParts.sealInto(parts, kTranscript, sealed), expected.sequence);
        EXPECT_EQ(sealed, expected.ciphertext) << head << " + " << tail;
    }
}

TEST(SessionCipher, MatchesTheDerivedKeyAndBigEndianNonce) {
    const auto host = SessionCipher::makeForTesting(sessionKey(), SessionRole::responder, 0x0102030405060708, 0);
    auto sealed = host->seal(bytesOf("frame"), kTranscript);
    auto material = hkdfSha256(sessionKey(), {}, bytesOf("Velorinth session responder-to-initiator v1"), 36);
    Bytes nonce(material.data() + 32, material.data() + 36);
    for (std::uint8_t b = 1; b <= 8; ++b) nonce.push_back(b);
    EXPECT_EQ(sealed.ciphertext,
              ChaCha20Poly1305::seal(material.view().first(32), nonce, bytesOf("frame"), kTranscript));
}

TEST(SessionCipher, RefusedMessagesNeverAdvance) {
    SessionCipher host(sessionKey(), SessionRole::responder);
    SessionCipher tablet(sessionKey(), SessionRole::initiator);
    auto first = host.seal(bytesOf("first"), kTranscript);
    auto second = host.seal(bytesOf("second"), kTranscript);
    auto third = host.seal(bytesOf("third"), kTranscript);

    EXPECT_EQ(openFailure(tablet, second.sequence, second.ciphertext), C::replayedOrOutOfOrder); // reordered
    EXPECT_EQ(openFailure(tablet, 0, ByteView(first.ciphertext).first(15)), C::malformedCiphertext);
    auto tampered = first.ciphertext;
    tampered[0] ^= 0x01;
    EXPECT_EQ(openFailure(tablet, 0, tampered), C::authenticationFailed);
    auto tamperedTag = first.ciphertext;
    tamperedTag.back() ^= 0x80;
    EXPECT_EQ(openFailure(tablet, 0, tamperedTag), C::authenticationFailed);
    EXPECT_EQ(openFailure(tablet, 0, first.ciphertext, Bytes(32, 0)), C::authenticationFailed);

    EXPECT_EQ(stringOf(tablet.open(0, first.ciphertext, kTranscript)), "first");
    EXPECT_EQ(openFailure(tablet, 0, first.ciphertext), C::replayedOrOutOfOrder);
    // A valid ciphertext under a different claimed sequence.
    EXPECT_EQ(openFailure(tablet, 1, third.ciphertext), C::authenticationFailed);
    EXPECT_EQ(stringOf(tablet.open(1, second.ciphertext, kTranscript)), "second");
    EXPECT_EQ(stringOf(tablet.open(2, third.ciphertext, kTranscript)), "third");
}

TEST(SessionCipher, SealRefusesAtTheEndOfTheSequenceSpace) {
    constexpr auto kLast = SessionCipher::kSequenceLimit - 1;
    const auto hostCipher = SessionCipher::makeForTesting(sessionKey(), SessionRole::responder, kLast, 0);
    const auto tabletCipher = SessionCipher::makeForTesting(sessionKey(), SessionRole::initiator, 0, kLast);
    SessionCipher& host = *hostCipher;
    SessionCipher& tablet = *tabletCipher;
    auto last = host.seal(bytesOf("last"), kTranscript);
    EXPECT_EQ(last.sequence, kLast);
    for (int i = 0; i < 2; ++i) {
        const auto error = testing::thrown<SessionCipherError>([&] { host.seal(bytesOf("more"), kTranscript); });
        EXPECT_EQ(error.kind, C::sequenceExhausted);
        EXPECT_STREQ(error.what(), "Session sequence space exhausted; reconnect required.");
    }
    EXPECT_EQ(stringOf(tablet.open(kLast, last.ciphertext, kTranscript)), "last");
    // Nothing authentic carries the limit itself, and the counter must not wrap to 0.
    EXPECT_EQ(openFailure(tablet, SessionCipher::kSequenceLimit, last.ciphertext), C::replayedOrOutOfOrder);
}

} // namespace
} // namespace velorinth
