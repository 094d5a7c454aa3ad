#include "platform/crypto/P256Support.hpp"

#include "platform/crypto/CryptoError.hpp"

#include <openssl/core_names.h>
#include <openssl/ec.h>

#include <cstring>
#include <string_view>

namespace velorinth::detail {

namespace {

constexpr std::size_t kPublicSize = 1 + 2 * kP256FieldSize;
constexpr std::size_t kPrivateSize = kPublicSize + kP256FieldSize;
constexpr char kGroupName[] = "prime256v1";

[[noreturn]] void failInvalidKey() { throw CryptoError(CryptoError::Case::invalidKey); }

// Only the uncompressed form is ours: compressed (02/03) and hybrid (06/07)
// encodings would be accepted by OpenSSL, so they are refused here.
bool isUncompressedPoint(ByteView bytes) { return bytes.size() == kPublicSize && bytes[0] == 0x04; }

EvpPkeyPtr fromData(ByteView publicX963, const BIGNUM* privateScalar) {
    OsslParamBldPtr builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroupName, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, publicX963.data(),
                                         publicX963.size()) != 1 ||
        (privateScalar != nullptr &&
         OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, privateScalar) != 1)) {
        throw CryptoError(CryptoError::Case::operationFailed);
    }
    OsslParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) {
        throw CryptoError(CryptoError::Case::operationFailed);
    }
    EVP_PKEY* raw = nullptr;
    int selection = privateScalar != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
    if (EVP_PKEY_fromdata(ctx.get(), &raw, selection, params.get()) != 1) failInvalidKey();
    EvpPkeyPtr key(raw);

    EvpPkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check) throw CryptoError(CryptoError::Case::operationFailed);
    // The full public check (on the curve, not the identity, order n); for a
    // pair also d in [1, n-1] and d·G equal to the stored point.
    int ok = privateScalar != nullptr ? EVP_PKEY_pairwise_check(check.get()) : EVP_PKEY_public_check(check.get());
    if (ok != 1) failInvalidKey();
    return key;
}

BignumPtr bnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) failInvalidKey();
    return BignumPtr(raw);
}

} // namespace

EvpPkeyPtr loadP256PublicKey(ByteView publicX963) {
    if (!isUncompressedPoint(publicX963)) failInvalidKey();
    return fromData(publicX963, nullptr);
}

EvpPkeyPtr loadP256KeyPair(ByteView privateX963) {
    if (privateX963.size() != kPrivateSize || !isUncompressedPoint(privateX963.first(kPublicSize))) {
        failInvalidKey();
    }
    ByteView scalar = privateX963.subspan(kPublicSize);
    // Secure-heap BIGNUM so that the parameter copy is wiped too.
    BignumPtr d(BN_secure_new());
    if (!d || BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), d.get()) == nullptr) {
        throw CryptoError(CryptoError::Case::operationFailed);
    }
    return fromData(privateX963.first(kPublicSize), d.get());
}

EvpPkeyPtr generateP256KeyPair() {
    EvpPkeyPtr key(EVP_EC_gen(kGroupName));
    if (!key) throw CryptoError(CryptoError::Case::keyGenerationFailed);
    return key;
}

bool isP256Key(EVP_PKEY* key) noexcept {
    if (key == nullptr || EVP_PKEY_is_a(key, "EC") != 1) return false;
    char name[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key, name, sizeof name, &length) != 1) return false;
    std::string_view group(name, length);
    return group == kGroupName || group == "P-256" || group == "secp256r1";
}

Bytes p256PublicPoint(EVP_PKEY* key) {
    if (!isP256Key(key)) failInvalidKey();
    // Read the affine coordinates, so the stored point-format preference of
    // the key (compressed or not) does not matter.
    BignumPtr x = bnParam(key, OSSL_PKEY_PARAM_EC_PUB_X);
    BignumPtr y = bnParam(key, OSSL_PKEY_PARAM_EC_PUB_Y);
    Bytes out(kPublicSize);
    out[0] = 0x04;
    if (BN_bn2binpad(x.get(), out.data() + 1, kP256FieldSize) != static_cast<int>(kP256FieldSize) ||
        BN_bn2binpad(y.get(), out.data() + 1 + kP256FieldSize, kP256FieldSize) !=
            static_cast<int>(kP256FieldSize)) {
        failInvalidKey();
    }
    return out;
}

SecretBytes p256PrivateX963(EVP_PKEY* key) {
    Bytes publicPoint = p256PublicPoint(key);
    BignumPtr d = bnParam(key, OSSL_PKEY_PARAM_PRIV_KEY);
    SecretBytes out{Bytes(kPrivateSize)};
    auto* buffer = const_cast<std::uint8_t*>(out.data());
    std::memcpy(buffer, publicPoint.data(), kPublicSize);
    if (BN_bn2binpad(d.get(), buffer + kPublicSize, kP256FieldSize) != static_cast<int>(kP256FieldSize)) {
        failInvalidKey();
    }
    return out;
}

} // namespace velorinth::detail
