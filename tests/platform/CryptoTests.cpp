#include "core/Bytes.hpp"
#include "platform/crypto/ChaCha20Poly1305.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/Hashing.hpp"
#include "platform/crypto/KeyDerivation.hpp"
#include "platform/crypto/P256KeyAgreementKey.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "platform/crypto/P256SigningKey.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>
#include <openssl/ec.h>

#include <sstream>

using namespace velorinth;
using Case = CryptoError::Case;

namespace {

Bytes unhex(std::string_view text) { return hexDecode(text).value(); }

Bytes joined(Bytes head, ByteView tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

template <class F>
Case failureOf(F&& call) {
    return velorinth::testing::thrown<CryptoError>(call).kind;
}

} // namespace

// Known answers: the pairing code's derivation against OpenSSL's command line, and Wycheproof for HKDF.
TEST(KeyDerivation, ScryptLimits) {
    // 1024 × 8 × 128 bytes alone exceed a 1 MiB cap; N must be a power of two; the length non-zero.
    EXPECT_EQ(failureOf([] { scrypt(bytesOf("p"), bytesOf("s"), 1024, 8, 1, 32, 1 << 20); }),
              Case::keyDerivationFailed);
    EXPECT_EQ(failureOf([] { scrypt(bytesOf("p"), bytesOf("s"), 1000, 8, 1, 32, 64u << 20); }),
              Case::keyDerivationFailed);
    EXPECT_EQ(failureOf([] { scrypt(bytesOf("p"), bytesOf("s"), 16, 1, 1, 0, 1 << 20); }), Case::keyDerivationFailed);
    EXPECT_EQ(failureOf([] { hkdfSha256(bytesOf("ikm"), {}, {}, 0); }), Case::keyDerivationFailed);
}

// Wycheproof covers modified and truncated tags.
TEST(Hmac, RefusesExtendedAndEmptyTags) {
    const Bytes key = bytesOf("key");
    const Bytes data = bytesOf("data");
    const Bytes tag = hmacSha256(key, data);
    ASSERT_EQ(tag.size(), 32u);
    EXPECT_TRUE(isValidHmacSha256(key, data, tag));
    EXPECT_FALSE(isValidHmacSha256(key, data, joined(tag, Bytes{0})));
    EXPECT_FALSE(isValidHmacSha256(key, data, {}));
}

TEST(P256SigningKey, X963RoundTripDerSignaturesAndHiddenDescriptions) {
    auto key = P256SigningKey::generate();
    SecretBytes x963 = key.x963Representation();
    ASSERT_EQ(x963.size(), P256SigningKey::kX963Size);
    EXPECT_TRUE(std::equal(key.publicKeyX963().begin(), key.publicKeyX963().end(), x963.bytes().begin()));
    auto reloaded = P256SigningKey::fromX963(x963.view());
    EXPECT_EQ(reloaded.x963Representation(), x963);
    // Each verifies the other's signatures: the same key, not just the same point.
    const Bytes message = bytesOf("transcript");
    EXPECT_TRUE(key.publicKey().isValidSignature(reloaded.signature(message), message));
    const Bytes signature = key.signature(message);
    EXPECT_TRUE(reloaded.publicKey().isValidSignature(signature, message));
    ASSERT_GE(signature.size(), 8u);
    EXPECT_EQ(signature[0], 0x30); // DER SEQUENCE
    EXPECT_FALSE(key.publicKey().isValidSignature(signature, bytesOf("transcripu")));
    EXPECT_FALSE(P256SigningKey::generate().publicKey().isValidSignature(signature, message));
    EXPECT_FALSE(key.publicKey().isValidSignature({}, message));
    EXPECT_FALSE(key.publicKey().isValidSignature(joined(signature, Bytes{0}), message));
    EXPECT_TRUE(key.publicKey().isValidSignature(key.signature({}), {}));

    std::ostringstream out;
    out << key << ' ' << P256KeyAgreementKey::generate();
    EXPECT_EQ(out.str(), "[REDACTED] [REDACTED]");
    EXPECT_EQ(key.description(), "[REDACTED]");
}

TEST(P256SigningKey, RefusesPrivateBlobsThatDoNotHoldTogether) {
    const Bytes good = P256SigningKey::generate().x963Representation().bytes();
    const Bytes point(good.begin(), good.begin() + 65);
    const Bytes other = P256SigningKey::generate().x963Representation().bytes();
    const Bytes otherD(other.begin() + 65, other.end());
    Bytes offCurve = good;
    offCurve[64] ^= 0x01;
    Bytes notUncompressed = good;
    notUncompressed[0] = 0x02;
    const std::vector<std::pair<const char*, Bytes>> bad{
        {"d of another key", joined(point, otherD)},
        {"d = 0", joined(point, Bytes(32, 0))},
        {"d = n", joined(point, unhex("FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551"))},
        {"point off the curve", offCurve},
        {"not 04", notUncompressed},
        {"too short", Bytes(good.begin(), good.end() - 1)},
        {"too long", joined(good, Bytes{0})},
        {"empty", Bytes{}},
    };
    for (const auto& [name, blob] : bad) {
        EXPECT_EQ(failureOf([&] { P256SigningKey::fromX963(blob); }), Case::invalidKey) << name;
        EXPECT_EQ(failureOf([&] { P256KeyAgreementKey::fromX963(blob); }), Case::invalidKey) << name;
    }
}

TEST(P256PublicKey, RefusesAnythingButAValidUncompressedP256Point) {
    auto key = P256SigningKey::generate();
    const Bytes good = key.publicKeyX963();
    EXPECT_EQ(P256PublicKey::fromX963(good).x963Representation(), good);
    // Off-curve and other invalid points are Wycheproof's ECDH cases; these are forms we never take.
    Bytes compressed(good.begin(), good.begin() + 33);
    compressed[0] = static_cast<std::uint8_t>(0x02 | (good[64] & 1));
    Bytes hybrid = good;
    hybrid[0] = static_cast<std::uint8_t>(0x06 | (good[64] & 1));
    for (const Bytes& bad : {compressed, hybrid, Bytes{0x00}, Bytes{}}) {
        EXPECT_EQ(failureOf([&] { P256PublicKey::fromX963(bad); }), Case::invalidKey) << hexEncodedString(bad);
    }

    EXPECT_EQ(P256PublicKey::fromNative(key.native()), key.publicKey());
    EvpPkeyPtr p384(EVP_EC_gen("secp384r1"));
    EvpPkeyPtr ed25519(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    ASSERT_TRUE(p384 && ed25519);
    for (EVP_PKEY* other : {p384.get(), ed25519.get(), static_cast<EVP_PKEY*>(nullptr)}) {
        EXPECT_EQ(failureOf([&] { P256PublicKey::fromNative(other); }), Case::invalidKey);
    }
}

// Which failure it is; Wycheproof covers tampered bodies, AAD, nonces and keys.
TEST(ChaCha20Poly1305, FailuresAreDistinguishable) {
    const Bytes key(32, 7);
    const Bytes nonce(12, 1);
    const Bytes aad = bytesOf("transcript hash");
    const Bytes sealed = ChaCha20Poly1305::seal(key, nonce, bytesOf("hello"), aad);
    ASSERT_EQ(sealed.size(), 5u + 16u);
    Bytes badTag = sealed;
    badTag.back() ^= 0x01;
    const auto open = [&](ByteView k, ByteView n, ByteView c, ByteView a) {
        return failureOf([&] { ChaCha20Poly1305::open(k, n, c, a); });
    };
    EXPECT_EQ(open(key, nonce, ByteView(sealed).first(15), aad), Case::ciphertextTooShort);
    EXPECT_EQ(open(key, nonce, {}, aad), Case::ciphertextTooShort);
    EXPECT_EQ(open(key, nonce, badTag, aad), Case::authenticationFailed);
    EXPECT_EQ(open(key, Bytes(24, 1), sealed, aad), Case::invalidParameter);
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::seal(Bytes(16, 7), nonce, {}, aad); }), Case::invalidParameter);
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::seal(key, Bytes(8, 1), {}, aad); }), Case::invalidParameter);
}

TEST(ChaCha20Poly1305Key, BufferVariantsCheckSizesAndWipeOnFailure) {
    ChaCha20Poly1305Key key(Bytes(32, 3));
    const Bytes nonce(12, 9);
    const Bytes message = bytesOf("forty-eight kibibytes, in spirit");
    Bytes sealed(message.size() + 16);
    key.sealInto(nonce, message, {}, sealed);
    Bytes opened(message.size());
    key.openInto(nonce, sealed, {}, opened);
    EXPECT_EQ(opened, message);

    Bytes wrongSize(message.size() + 15);
    EXPECT_EQ(failureOf([&] { key.sealInto(nonce, message, {}, wrongSize); }), Case::invalidParameter);
    sealed.back() ^= 1;
    Bytes output(message.size(), 0xAA);
    EXPECT_EQ(failureOf([&] { key.openInto(nonce, sealed, {}, output); }), Case::authenticationFailed);
    EXPECT_EQ(output, Bytes(message.size(), 0));
    // A failed open leaves the reusable context sound (Wycheproof checks it against the one-shot form).
    sealed.back() ^= 1;
    EXPECT_EQ(key.open(nonce, sealed, {}), message);
    EXPECT_EQ(failureOf([] { ChaCha20Poly1305Key(Bytes(31, 0)); }), Case::invalidParameter);
}
