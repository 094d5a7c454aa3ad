// Wycheproof vectors through the calls the protocol makes: every "valid" case
// gives the expected output, every "invalid" case is refused. "acceptable"
// cases and those our API cannot express (truncated HMAC tags, compressed
// ECDH points) are skipped; invalid ones run even when they do not fit.

#include "core/Bytes.hpp"
#include "platform/crypto/ChaCha20Poly1305.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/Hashing.hpp"
#include "platform/crypto/KeyDerivation.hpp"
#include "platform/crypto/P256KeyAgreementKey.hpp"
#include "platform/crypto/P256PublicKey.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <cstdlib>
#include <fstream>
#include <string>

using namespace velorinth;
using Vector = nlohmann::json;

namespace {

Bytes hex(const Vector& value) {
    auto decoded = hexDecode(value.get<std::string>());
    EXPECT_TRUE(decoded.has_value()) << value;
    return decoded.value_or(Bytes{});
}

// Calls check(group, test, valid) for each valid or invalid case; check
// returns false for a case it skips. Every case is run or counted as skipped.
template <class Check>
void runVectors(const std::string& name, Check check) {
    // CTest names the data folder, so no compiled file carries the checkout's path.
    const char* data = std::getenv("VELORINTH_TESTDATA_DIR");
    ASSERT_NE(data, nullptr) << "VELORINTH_TESTDATA_DIR is unset: run the tests through ctest";
    std::ifstream file(std::string(data) + "/wycheproof/" + name);
    ASSERT_TRUE(file.good()) << "missing test vectors " << name;
    const Vector vectors = Vector::parse(file);
    int run = 0;
    int skipped = 0;
    for (const auto& group : vectors.at("testGroups")) {
        for (const auto& test : group.at("tests")) {
            SCOPED_TRACE("tcId " + std::to_string(test.at("tcId").get<int>()) + " " + test.value("comment", ""));
            const auto result = test.at("result").get<std::string>();
            const bool ran = result != "acceptable" && check(group, test, result == "valid");
            ++(ran ? run : skipped);
        }
    }
    EXPECT_GT(run, 0);
    EXPECT_EQ(run + skipped, vectors.at("numberOfTests").get<int>());
}

// 04 ‖ X ‖ Y ‖ d for a private scalar, the point computed outside the code under test.
Bytes privateX963FromScalar(const Bytes& scalar) {
    BIGNUM* d = BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr);
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    EC_POINT* point = EC_POINT_new(group);
    Bytes out(97);
    bool ok = d != nullptr && group != nullptr && point != nullptr &&
              EC_POINT_mul(group, point, d, nullptr, nullptr, nullptr) == 1 &&
              EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, out.data(), 65, nullptr) == 65 &&
              BN_bn2binpad(d, out.data() + 65, 32) == 32;
    EC_POINT_free(point);
    EC_GROUP_free(group);
    BN_clear_free(d);
    EXPECT_TRUE(ok);
    return out;
}

} // namespace

TEST(CryptoWycheproof, EcdsaP256Sha256Der) {
    runVectors("ecdsa_secp256r1_sha256_test.json", [](const Vector& group, const Vector& test, bool valid) {
        EXPECT_EQ(group.at("sha").get<std::string>(), "SHA-256");
        auto key = P256PublicKey::fromX963(hex(group.at("publicKey").at("uncompressed")));
        EXPECT_EQ(key.isValidSignature(hex(test.at("sig")), hex(test.at("msg"))), valid);
        return true;
    });
}

TEST(CryptoWycheproof, EcdhP256UncompressedPoints) {
    runVectors("ecdh_secp256r1_ecpoint_test.json", [](const Vector& group, const Vector& test, bool valid) {
        EXPECT_EQ(group.at("curve").get<std::string>(), "secp256r1");
        const Bytes peer = hex(test.at("public"));
        if (valid && peer.size() != P256PublicKey::kX963Size) return false; // compressed: not a form we take
        auto own = P256KeyAgreementKey::fromX963(privateX963FromScalar(hex(test.at("private"))));
        if (valid) {
            EXPECT_EQ(own.sharedSecret(peer).bytes(), hex(test.at("shared")));
        } else {
            EXPECT_THROW(own.sharedSecret(peer), CryptoError);
            EXPECT_THROW(P256PublicKey::fromX963(peer), CryptoError);
        }
        return true;
    });
}

TEST(CryptoWycheproof, ChaCha20Poly1305) {
    runVectors("chacha20_poly1305_test.json", [](const Vector& group, const Vector& test, bool valid) {
        const bool fitsApi = group.at("ivSize").get<int>() == 96 && group.at("keySize").get<int>() == 256 &&
                             group.at("tagSize").get<int>() == 128;
        const Bytes key = hex(test.at("key"));
        const Bytes nonce = hex(test.at("iv"));
        const Bytes aad = hex(test.at("aad"));
        const Bytes message = hex(test.at("msg"));
        Bytes sealed = hex(test.at("ct"));
        const Bytes tag = hex(test.at("tag"));
        sealed.insert(sealed.end(), tag.begin(), tag.end());
        if (valid) {
            EXPECT_TRUE(fitsApi);
            EXPECT_EQ(ChaCha20Poly1305::seal(key, nonce, message, aad), sealed);
            EXPECT_EQ(ChaCha20Poly1305::open(key, nonce, sealed, aad), message);
            // The reusable context, twice each way: state left from one message would show in the next.
            ChaCha20Poly1305Key reusable(key);
            for (int round = 0; round < 2; ++round) {
                EXPECT_EQ(reusable.seal(nonce, message, aad), sealed);
                EXPECT_EQ(reusable.open(nonce, sealed, aad), message);
            }
            return true;
        }
        EXPECT_THROW(ChaCha20Poly1305::open(key, nonce, sealed, aad), CryptoError);
        if (key.size() == ChaCha20Poly1305::kKeySize) {
            EXPECT_THROW(ChaCha20Poly1305Key(key).open(nonce, sealed, aad), CryptoError);
        }
        if (!fitsApi) {
            EXPECT_THROW(ChaCha20Poly1305::seal(key, nonce, message, aad), CryptoError);
        }
        return true;
    });
}

TEST(CryptoWycheproof, HkdfSha256) {
    runVectors("hkdf_sha256_test.json", [](const Vector&, const Vector& test, bool valid) {
        const auto call = [&] {
            return hkdfSha256(hex(test.at("ikm")), hex(test.at("salt")), hex(test.at("info")),
                              test.at("size").get<std::size_t>());
        };
        if (valid) {
            EXPECT_EQ(call().bytes(), hex(test.at("okm")));
        } else {
            EXPECT_THROW(call(), CryptoError);
        }
        return true;
    });
}

TEST(CryptoWycheproof, HmacSha256FullTags) {
    runVectors("hmac_sha256_test.json", [](const Vector& group, const Vector& test, bool valid) {
        if (group.at("tagSize").get<int>() != 256) return false; // truncated tags are never used or accepted
        const Bytes key = hex(test.at("key"));
        const Bytes message = hex(test.at("msg"));
        const Bytes tag = hex(test.at("tag"));
        EXPECT_EQ(hmacSha256(key, message) == tag, valid);
        EXPECT_EQ(isValidHmacSha256(key, message, tag), valid);
        return true;
    });
}
