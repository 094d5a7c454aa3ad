// Wycheproof vectors run through the same calls the protocol makes. Every
// "valid" case must give the expected output and every "invalid" case must be
// refused. Cases whose parameters our API cannot express (short HMAC tags,
// compressed ECDH points) are skipped by an explicit filter; "invalid" cases
// are run even when they do not fit, since refusing them is the point.
// "acceptable" cases are skipped: the only one (a compressed ECDH point) has
// no form in our API, which takes uncompressed points only.

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

#include <fstream>
#include <string>

using namespace velorinth;

namespace {

nlohmann::json loadVectors(const std::string& name) {
    std::ifstream file(std::string(VELORINTH_TESTDATA_DIR) + "/wycheproof/" + name);
    EXPECT_TRUE(file.good()) << "missing test vectors " << name;
    auto parsed = nlohmann::json::parse(file, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << name;
    return parsed;
}

Bytes hex(const nlohmann::json& value) {
    auto decoded = hexDecode(value.get<std::string>());
    EXPECT_TRUE(decoded.has_value()) << value;
    return decoded.value_or(Bytes{});
}

std::string label(const nlohmann::json& test) {
    return "tcId " + std::to_string(test.at("tcId").get<int>()) + " (" + test.value("comment", "") + ")";
}

struct Tally {
    int run = 0;
    int skipped = 0;
};

// 04 ‖ X ‖ Y ‖ d for a Wycheproof private scalar (big-endian, any length).
// The public point is computed here, outside the code under test.
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
    auto vectors = loadVectors("ecdsa_secp256r1_sha256_test.json");
    Tally tally;
    for (const auto& group : vectors.at("testGroups")) {
        ASSERT_EQ(group.at("sha").get<std::string>(), "SHA-256");
        auto key = P256PublicKey::fromX963(hex(group.at("publicKey").at("uncompressed")));
        for (const auto& test : group.at("tests")) {
            const auto result = test.at("result").get<std::string>();
            const bool accepted = key.isValidSignature(hex(test.at("sig")), hex(test.at("msg")));
            if (result == "valid") {
                EXPECT_TRUE(accepted) << label(test);
            } else if (result == "invalid") {
                EXPECT_FALSE(accepted) << label(test);
            } else {
                ++tally.skipped;
                continue;
            }
            ++tally.run;
        }
    }
    EXPECT_GT(tally.run, 0);
    RecordProperty("casesRun", tally.run);
    RecordProperty("casesSkipped", tally.skipped);
    EXPECT_EQ(tally.run + tally.skipped, vectors.at("numberOfTests").get<int>());
}

TEST(CryptoWycheproof, EcdhP256UncompressedPoints) {
    auto vectors = loadVectors("ecdh_secp256r1_ecpoint_test.json");
    Tally tally;
    for (const auto& group : vectors.at("testGroups")) {
        ASSERT_EQ(group.at("curve").get<std::string>(), "secp256r1");
        for (const auto& test : group.at("tests")) {
            const auto result = test.at("result").get<std::string>();
            const Bytes peer = hex(test.at("public"));
            if (result != "invalid" && peer.size() != P256PublicKey::kX963Size) {
                ++tally.skipped; // compressed points: not a form our protocol sends or takes
                continue;
            }
            ASSERT_NE(result, "acceptable") << label(test);
            auto own = P256KeyAgreementKey::fromX963(privateX963FromScalar(hex(test.at("private"))));
            if (result == "valid") {
                try {
                    EXPECT_EQ(own.sharedSecret(peer).bytes(), hex(test.at("shared"))) << label(test);
                } catch (const CryptoError& error) {
                    ADD_FAILURE() << label(test) << ": " << error.what();
                }
            } else {
                EXPECT_THROW(own.sharedSecret(peer), CryptoError) << label(test);
                EXPECT_THROW(P256PublicKey::fromX963(peer), CryptoError) << label(test);
            }
            ++tally.run;
        }
    }
    EXPECT_GT(tally.run, 0);
    RecordProperty("casesRun", tally.run);
    RecordProperty("casesSkipped", tally.skipped);
    EXPECT_EQ(tally.run + tally.skipped, vectors.at("numberOfTests").get<int>());
}

TEST(CryptoWycheproof, ChaCha20Poly1305) {
    auto vectors = loadVectors("chacha20_poly1305_test.json");
    Tally tally;
    for (const auto& group : vectors.at("testGroups")) {
        const bool fitsApi = group.at("ivSize").get<int>() == 96 && group.at("keySize").get<int>() == 256 &&
                             group.at("tagSize").get<int>() == 128;
        for (const auto& test : group.at("tests")) {
            const auto result = test.at("result").get<std::string>();
            const Bytes key = hex(test.at("key"));
            const Bytes nonce = hex(test.at("iv"));
            const Bytes aad = hex(test.at("aad"));
            const Bytes message = hex(test.at("msg"));
            Bytes sealed = hex(test.at("ct"));
            const Bytes tag = hex(test.at("tag"));
            sealed.insert(sealed.end(), tag.begin(), tag.end());

            if (result == "valid") {
                ASSERT_TRUE(fitsApi) << label(test);
                EXPECT_EQ(ChaCha20Poly1305::seal(key, nonce, message, aad), sealed) << label(test);
                EXPECT_EQ(ChaCha20Poly1305::open(key, nonce, sealed, aad), message) << label(test);
                // The reusable context, twice each way, so a state left over
                // from one message would show in the next.
                ChaCha20Poly1305Key reusable(key);
                for (int round = 0; round < 2; ++round) {
                    EXPECT_EQ(reusable.seal(nonce, message, aad), sealed) << label(test);
                    EXPECT_EQ(reusable.open(nonce, sealed, aad), message) << label(test);
                }
            } else if (result == "invalid") {
                EXPECT_THROW(ChaCha20Poly1305::open(key, nonce, sealed, aad), CryptoError) << label(test);
                if (key.size() == ChaCha20Poly1305::kKeySize) {
                    ChaCha20Poly1305Key reusable(key);
                    EXPECT_THROW(reusable.open(nonce, sealed, aad), CryptoError) << label(test);
                }
                if (!fitsApi) {
                    EXPECT_THROW(ChaCha20Poly1305::seal(key, nonce, message, aad), CryptoError) << label(test);
                }
            } else {
                ++tally.skipped;
                continue;
            }
            ++tally.run;
        }
    }
    EXPECT_GT(tally.run, 0);
    RecordProperty("casesRun", tally.run);
    RecordProperty("casesSkipped", tally.skipped);
    EXPECT_EQ(tally.run + tally.skipped, vectors.at("numberOfTests").get<int>());
}

TEST(CryptoWycheproof, HkdfSha256) {
    auto vectors = loadVectors("hkdf_sha256_test.json");
    Tally tally;
    for (const auto& group : vectors.at("testGroups")) {
        for (const auto& test : group.at("tests")) {
            const auto result = test.at("result").get<std::string>();
            const Bytes ikm = hex(test.at("ikm"));
            const Bytes salt = hex(test.at("salt"));
            const Bytes info = hex(test.at("info"));
            const auto size = test.at("size").get<std::size_t>();
            if (result == "valid") {
                try {
                    EXPECT_EQ(hkdfSha256(ikm, salt, info, size).bytes(), hex(test.at("okm"))) << label(test);
                } catch (const CryptoError& error) {
                    ADD_FAILURE() << label(test) << ": " << error.what();
                }
            } else if (result == "invalid") {
                EXPECT_THROW(hkdfSha256(ikm, salt, info, size), CryptoError) << label(test);
            } else {
                ++tally.skipped;
                continue;
            }
            ++tally.run;
        }
    }
    EXPECT_GT(tally.run, 0);
    RecordProperty("casesRun", tally.run);
    RecordProperty("casesSkipped", tally.skipped);
    EXPECT_EQ(tally.run + tally.skipped, vectors.at("numberOfTests").get<int>());
}

TEST(CryptoWycheproof, HmacSha256FullTags) {
    auto vectors = loadVectors("hmac_sha256_test.json");
    Tally tally;
    for (const auto& group : vectors.at("testGroups")) {
        const bool fullTag = group.at("tagSize").get<int>() == 256;
        for (const auto& test : group.at("tests")) {
            const auto result = test.at("result").get<std::string>();
            if (!fullTag || (result != "valid" && result != "invalid")) {
                ++tally.skipped; // truncated tags are never used or accepted by us
                continue;
            }
            const Bytes key = hex(test.at("key"));
            const Bytes message = hex(test.at("msg"));
            const Bytes tag = hex(test.at("tag"));
            if (result == "valid") {
                EXPECT_EQ(hmacSha256(key, message), tag) << label(test);
                EXPECT_TRUE(isValidHmacSha256(key, message, tag)) << label(test);
            } else {
                EXPECT_NE(hmacSha256(key, message), tag) << label(test);
                EXPECT_FALSE(isValidHmacSha256(key, message, tag)) << label(test);
            }
            ++tally.run;
        }
    }
    EXPECT_GT(tally.run, 0);
    RecordProperty("casesRun", tally.run);
    RecordProperty("casesSkipped", tally.skipped);
    EXPECT_EQ(tally.run + tally.skipped, vectors.at("numberOfTests").get<int>());
}
