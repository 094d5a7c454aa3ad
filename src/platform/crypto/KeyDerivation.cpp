#include "platform/crypto/KeyDerivation.hpp"

#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/OpenSslHandles.hpp"
#include "platform/crypto/OpenSslParams.hpp"

#include <openssl/core_names.h>

#include <vector>

namespace velorinth {

namespace {

constexpr std::size_t kHkdfSha256MaximumLength = 255 * 32;

[[noreturn]] void failDerivation() { throw CryptoError(CryptoError::Case::keyDerivationFailed); }

SecretBytes derive(EVP_KDF* kdf, std::size_t length, const OSSL_PARAM* params) {
    if (kdf == nullptr) failDerivation();
    EvpKdfCtxPtr ctx(EVP_KDF_CTX_new(kdf));
    if (!ctx) failDerivation();
    SecretBytes out{Bytes(length)};
    // SecretBytes exposes its storage read-only; the buffer is ours until returned.
    auto* buffer = const_cast<std::uint8_t*>(out.data());
    if (EVP_KDF_derive(ctx.get(), buffer, length, params) != 1) failDerivation();
    return out;
}

} // namespace

SecretBytes hkdfSha256(ByteView ikm, ByteView salt, ByteView info, std::size_t length) {
    if (length == 0 || length > kHkdfSha256MaximumLength) failDerivation();
    static EVP_KDF* const kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    char digest[] = "SHA256";
    std::vector<OSSL_PARAM> params;
    params.push_back(OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0));
    params.push_back(detail::octetParam(OSSL_KDF_PARAM_KEY, ikm));
    // An absent salt is HashLen zeros (RFC 5869), which is what an empty one means.
    if (!salt.empty()) params.push_back(detail::octetParam(OSSL_KDF_PARAM_SALT, salt));
    if (!info.empty()) params.push_back(detail::octetParam(OSSL_KDF_PARAM_INFO, info));
    params.push_back(OSSL_PARAM_construct_end());
    return derive(kdf, length, params.data());
}

SecretBytes scrypt(ByteView password, ByteView salt, std::uint64_t n, std::uint32_t r, std::uint32_t p,
                   std::size_t length, std::uint64_t maxMemoryBytes) {
    if (length == 0) failDerivation();
    static EVP_KDF* const kdf = EVP_KDF_fetch(nullptr, "SCRYPT", nullptr);
    OSSL_PARAM params[] = {
        detail::octetParam(OSSL_KDF_PARAM_PASSWORD, password),
        detail::octetParam(OSSL_KDF_PARAM_SALT, salt),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxMemoryBytes),
        OSSL_PARAM_construct_end(),
    };
    return derive(kdf, length, params);
}

} // namespace velorinth
