#include "core/Bytes.hpp"
#include "platform/crypto/ChaCha20Poly1305.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/Hashing.hpp"
#include "platform/crypto/KeyDerivation.hpp"
#include "platform/crypto/P256KeyAgreementKey.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "platform/crypto/P256SigningKey.hpp"
#include "platform/crypto/SecureRandom.hpp"

#include <gtest/gtest.h>
#include <openssl/ec.h>

#include <sstream>

using namespace velorinth;

namespace {

Bytes unhex(std::string_view text) { return hexDecode(text).value(); }

template <class F>
CryptoError::Case failureOf(F&& call) {
    try {
        call();
    } catch (const CryptoError& error) {
        return error.kind;
    }
    ADD_FAILURE() << "no CryptoError thrown";
    return CryptoError::Case::operationFailed;
}

// n, the order of the P-256 group.
constexpr std::string_view kOrder = "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551";

} // namespace

TEST(Scrypt, Rfc7914KnownAnswers) {
    // RFC 7914 section 12, first and second vectors.
    EXPECT_EQ(scrypt({}, {}, 16, 1, 1, 64, 1 << 20).bytes(),
              unhex("77d6576238657b203b19ca42c18a0497f16b4844e3074ae8dfdffa3fede21442"
                    "fcd0069ded0948f8326a753a0fc81f17e8d3e0fb2e0d3628cf35e20c38d18906"));
    EXPECT_EQ(scrypt(bytesOf("password"), bytesOf("NaCl"), 1024, 8, 16, 64, 32u << 20).bytes(),
              unhex("fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b373162"
                    "2eaf30d92e22a3886ff109279d9830dac727afb94a83ee6d8360cbdfa2cc0640"));
}

TEST(Scrypt, RefusesBadParametersAndTooLittleMemory) {
    using Case = CryptoError::Case;
    // 1024 × 8 × 128 bytes alone exceed a 1 MiB cap.
    EXPECT_EQ(failureOf([] { scrypt(bytesOf("p"), bytesOf("s"), 1024, 8, 1, 32, 1 << 20); }),
              Case::keyDerivationFailed);
    EXPECT_EQ(failureOf([] { scrypt(bytesOf("p"), bytesOf("s"), 1000, 8, 1, 32, 64u << 20); }),
              Case::keyDerivationFailed);
    EXPECT_EQ(failureOf([] { scrypt(bytesOf("p"), bytesOf("s"), 16, 1, 1, 0, 1 << 20); }), Case::keyDerivationFailed);
}

TEST(Hkdf, EmptySaltMeansHashLengthZerosAndLengthIsBounded) {
    const Bytes ikm = bytesOf("input keying material");
    const Bytes info = bytesOf("Velorinth session key v1");
    EXPECT_EQ(hkdfSha256(ikm, {}, info, 32), hkdfSha256(ikm, Bytes(32, 0), info, 32));
    EXPECT_NE(hkdfSha256(ikm, Bytes(32, 1), info, 32), hkdfSha256(ikm, {}, info, 32));
    EXPECT_EQ(hkdfSha256(ikm, {}, {}, 255 * 32).size(), 255u * 32);
    EXPECT_EQ(failureOf([&] { hkdfSha256(ikm, {}, info, 0); }), CryptoError::Case::keyDerivationFailed);
    EXPECT_EQ(failureOf([&] { hkdfSha256(ikm, {}, info, 255 * 32 + 1); }), CryptoError::Case::keyDerivationFailed);
}

TEST(Hmac, RefusesTruncatedAndExtendedTags) {
    const Bytes key = bytesOf("key");
    const Bytes data = bytesOf("data");
    Bytes tag = hmacSha256(key, data);
    ASSERT_EQ(tag.size(), 32u);
    EXPECT_TRUE(isValidHmacSha256(key, data, tag));
    EXPECT_FALSE(isValidHmacSha256(key, data, ByteView(tag).first(16)));
    Bytes longer = tag;
    longer.push_back(0);
    EXPECT_FALSE(isValidHmacSha256(key, data, longer));
    EXPECT_FALSE(isValidHmacSha256(key, data, {}));
}

TEST(SecureRandom, GivesTheRequestedLengthAndFreshBytes) {
    EXPECT_TRUE(randomBytes(0).empty());
    auto a = randomBytes(32);
    auto b = randomBytes(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_EQ(randomSecretBytes(97).size(), 97u);
}

TEST(P256SigningKey, X963RoundTripKeepsTheKey) {
    auto key = P256SigningKey::generate();
    SecretBytes x963 = key.x963Representation();
    ASSERT_EQ(x963.size(), P256SigningKey::kX963Size);
    EXPECT_EQ(ByteView(x963.view()).first(65).size(), 65u);
    EXPECT_TRUE(std::equal(key.publicKeyX963().begin(), key.publicKeyX963().end(), x963.bytes().begin()));

    auto reloaded = P256SigningKey::fromX963(x963.view());
    EXPECT_EQ(reloaded.publicKeyX963(), key.publicKeyX963());
    EXPECT_EQ(reloaded.x963Representation(), x963);

    // Each verifies the other's signatures: the same key, not just the same point.
    const Bytes message = bytesOf("transcript");
    EXPECT_TRUE(key.publicKey().isValidSignature(reloaded.signature(message), message));
    EXPECT_TRUE(reloaded.publicKey().isValidSignature(key.signature(message), message));
}

TEST(P256SigningKey, RefusesPrivateBlobsThatDoNotHoldTogether) {
    auto key = P256SigningKey::generate();
    auto other = P256SigningKey::generate();
    const Bytes good = key.x963Representation().bytes();

    std::vector<std::pair<std::string, Bytes>> bad;
    Bytes mismatched(good.begin(), good.begin() + 65); // key's point, other's d
    auto otherBytes = other.x963Representation().bytes();
    mismatched.insert(mismatched.end(), otherBytes.begin() + 65, otherBytes.end());
    bad.emplace_back("d of another key", mismatched);
    Bytes zeroD = good;
    std::fill(zeroD.begin() + 65, zeroD.end(), 0);
    bad.emplace_back("d = 0", zeroD);
    Bytes orderD(good.begin(), good.begin() + 65);
    auto order = unhex(kOrder);
    orderD.insert(orderD.end(), order.begin(), order.end());
    bad.emplace_back("d = n", orderD);
    Bytes offCurve = good;
    offCurve[64] ^= 0x01;
    bad.emplace_back("point off the curve", offCurve);
    Bytes compressedTag = good;
    compressedTag[0] = 0x02;
    bad.emplace_back("not 04", compressedTag);
    bad.emplace_back("too short", Bytes(good.begin(), good.end() - 1));
    Bytes tooLong = good;
    tooLong.push_back(0);
    bad.emplace_back("too long", tooLong);
    bad.emplace_back("empty", Bytes{});

    for (const auto& [name, blob] : bad) {
        EXPECT_EQ(failureOf([&] { P256SigningKey::fromX963(blob); }), CryptoError::Case::invalidKey) << name;
        EXPECT_EQ(failureOf([&] { P256KeyAgreementKey::fromX963(blob); }), CryptoError::Case::invalidKey) << name;
    }
}

TEST(P256SigningKey, SignaturesAreDerAndBoundToMessageAndKey) {
    auto key = P256SigningKey::generate();
    const Bytes message = bytesOf("message");
    Bytes signature = key.signature(message);
    ASSERT_GE(signature.size(), 8u);
    EXPECT_EQ(signature[0], 0x30); // DER SEQUENCE
    EXPECT_TRUE(key.publicKey().isValidSignature(signature, message));
    EXPECT_FALSE(key.publicKey().isValidSignature(signature, bytesOf("messagf")));
    EXPECT_FALSE(P256SigningKey::generate().publicKey().isValidSignature(signature, message));
    EXPECT_FALSE(key.publicKey().isValidSignature({}, message));
    Bytes trailing = signature;
    trailing.push_back(0);
    EXPECT_FALSE(key.publicKey().isValidSignature(trailing, message));
    // The empty message is a message like any other.
    EXPECT_TRUE(key.publicKey().isValidSignature(key.signature({}), {}));
}

TEST(P256SigningKey, DescriptionsNeverShowKeyMaterial) {
    auto key = P256SigningKey::generate();
    auto agreement = P256KeyAgreementKey::generate();
    EXPECT_EQ(key.description(), "[REDACTED]");
    EXPECT_EQ(agreement.description(), "[REDACTED]");
    std::ostringstream out;
    out << key << ' ' << agreement;
    EXPECT_EQ(out.str(), "[REDACTED] [REDACTED]");
}

TEST(P256PublicKey, RefusesAnythingButAValidUncompressedPoint) {
    const Bytes good = P256SigningKey::generate().publicKeyX963();
    EXPECT_EQ(P256PublicKey::fromX963(good).x963Representation(), good);

    Bytes offCurve = good;
    offCurve[40] ^= 0x80;
    Bytes compressed(good.begin(), good.begin() + 33);
    compressed[0] = static_cast<std::uint8_t>(0x02 | (good[64] & 1));
    Bytes hybrid = good;
    hybrid[0] = static_cast<std::uint8_t>(0x06 | (good[64] & 1));
    Bytes zeros(65, 0);
    zeros[0] = 0x04;
    for (const Bytes& bad : {offCurve, compressed, hybrid, zeros, Bytes{0x00}, Bytes{}}) {
        EXPECT_EQ(failureOf([&] { P256PublicKey::fromX963(bad); }), CryptoError::Case::invalidKey)
            << hexEncodedString(bad);
    }
}

TEST(P256PublicKey, FromNativeAcceptsOnlyP256) {
    auto key = P256SigningKey::generate();
    auto shared = P256PublicKey::fromNative(key.native());
    EXPECT_EQ(shared, key.publicKey());

    EvpPkeyPtr p384(EVP_EC_gen("secp384r1"));
    ASSERT_TRUE(p384);
    EXPECT_EQ(failureOf([&] { P256PublicKey::fromNative(p384.get()); }), CryptoError::Case::invalidKey);
    EvpPkeyPtr ed25519(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    ASSERT_TRUE(ed25519);
    EXPECT_EQ(failureOf([&] { P256PublicKey::fromNative(ed25519.get()); }), CryptoError::Case::invalidKey);
    EXPECT_EQ(failureOf([&] { P256PublicKey::fromNative(nullptr); }), CryptoError::Case::invalidKey);
}

TEST(P256KeyAgreementKey, BothSidesDeriveTheSameSecret) {
    auto a = P256KeyAgreementKey::generate();
    auto b = P256KeyAgreementKey::generate();
    SecretBytes ab = a.sharedSecret(b.publicKeyX963());
    EXPECT_EQ(ab.size(), 32u);
    EXPECT_EQ(ab, b.sharedSecret(a.publicKeyX963()));
    EXPECT_EQ(ab, b.sharedSecret(a.publicKey()));
    EXPECT_FALSE(ab == P256KeyAgreementKey::generate().sharedSecret(b.publicKeyX963()));

    Bytes offCurve = b.publicKeyX963();
    offCurve[10] ^= 0x01;
    EXPECT_EQ(failureOf([&] { a.sharedSecret(offCurve); }), CryptoError::Case::invalidKey);
    EXPECT_EQ(failureOf([&] { a.sharedSecret(Bytes(65, 0)); }), CryptoError::Case::invalidKey);
}

TEST(ChaCha20Poly1305, FailuresAreDistinguishable) {
    using Case = CryptoError::Case;
    const Bytes key(32, 7);
    const Bytes nonce(12, 1);
    const Bytes aad = bytesOf("transcript hash");
    const Bytes sealed = ChaCha20Poly1305::seal(key, nonce, bytesOf("hello"), aad);
    ASSERT_EQ(sealed.size(), 5u + 16u);

    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::open(key, nonce, ByteView(sealed).first(15), aad); }),
              Case::ciphertextTooShort);
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::open(key, nonce, {}, aad); }), Case::ciphertextTooShort);
    Bytes badTag = sealed;
    badTag.back() ^= 0x01;
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::open(key, nonce, badTag, aad); }), Case::authenticationFailed);
    Bytes badBody = sealed;
    badBody[0] ^= 0x01;
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::open(key, nonce, badBody, aad); }), Case::authenticationFailed);
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::open(key, nonce, sealed, bytesOf("other")); }),
              Case::authenticationFailed);
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::open(key, Bytes(12, 2), sealed, aad); }), Case::authenticationFailed);
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::open(Bytes(32, 8), nonce, sealed, aad); }),
              Case::authenticationFailed);

    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::seal(Bytes(16, 7), nonce, {}, aad); }), Case::invalidParameter);
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::seal(key, Bytes(8, 1), {}, aad); }), Case::invalidParameter);
    EXPECT_EQ(failureOf([&] { ChaCha20Poly1305::open(key, Bytes(24, 1), sealed, aad); }), Case::invalidParameter);
}

TEST(ChaCha20Poly1305Key, ReusedContextMatchesOneShotAcrossManyMessages) {
    const Bytes key = randomBytes(32);
    const Bytes aad = randomBytes(32);
    ChaCha20Poly1305Key sender(key);
    ChaCha20Poly1305Key receiver(key);
    for (std::uint8_t sequence = 0; sequence < 20; ++sequence) {
        Bytes nonce(12, 0);
        nonce[11] = sequence;
        const Bytes message = randomBytes(sequence * 97u);
        Bytes sealed = sender.seal(nonce, message, aad);
        EXPECT_EQ(sealed, ChaCha20Poly1305::seal(key, nonce, message, aad));
        if (sequence % 3 == 0) {
            // A failed open must not poison the next one.
            Bytes tampered = sealed;
            tampered[tampered.size() / 2] ^= 0x40;
            EXPECT_THROW(receiver.open(nonce, tampered, aad), CryptoError);
        }
        EXPECT_EQ(receiver.open(nonce, sealed, aad), message);
        // The same object opening what it sealed itself.
        EXPECT_EQ(sender.open(nonce, sealed, aad), message);
    }
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
    EXPECT_EQ(failureOf([&] { key.sealInto(nonce, message, {}, wrongSize); }), CryptoError::Case::invalidParameter);
    sealed.back() ^= 1;
    Bytes output(message.size(), 0xAA);
    EXPECT_EQ(failureOf([&] { key.openInto(nonce, sealed, {}, output); }), CryptoError::Case::authenticationFailed);
    EXPECT_EQ(output, Bytes(message.size(), 0));
    EXPECT_EQ(failureOf([] { ChaCha20Poly1305Key(Bytes(31, 0)); }), CryptoError::Case::invalidParameter);
}

TEST(CryptoError, CarriesItsCaseAndText) {
    CryptoError error(CryptoError::Case::randomGenerationFailed);
    EXPECT_EQ(error.kind, CryptoError::Case::randomGenerationFailed);
    EXPECT_STREQ(error.what(), "Secure random number generation failed.");
}
