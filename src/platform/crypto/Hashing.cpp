#include "platform/crypto/Hashing.hpp"

#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/OpenSslHandles.hpp"
#include "platform/crypto/OpenSslParams.hpp"

#include <openssl/core_names.h>

namespace velorinth {

Bytes hmacSha256(ByteView key, ByteView data) {
    // Fetched once: EVP_MAC objects are immutable and shareable across threads.
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (mac == nullptr) throw CryptoError(CryptoError::Case::operationFailed);
    EvpMacCtxPtr ctx(EVP_MAC_CTX_new(mac));
    if (!ctx) throw CryptoError(CryptoError::Case::operationFailed);

    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    Bytes out(kSha256Size);
    std::size_t written = 0;
    if (EVP_MAC_init(ctx.get(), detail::nonNullData(key), key.size(), params) != 1 ||
        EVP_MAC_update(ctx.get(), detail::nonNullData(data), data.size()) != 1 ||
        EVP_MAC_final(ctx.get(), out.data(), &written, out.size()) != 1 || written != kSha256Size) {
        throw CryptoError(CryptoError::Case::operationFailed);
    }
    return out;
}

bool isValidHmacSha256(ByteView key, ByteView data, ByteView tag) {
    if (tag.size() != kSha256Size) return false;
    return constantTimeEqual(hmacSha256(key, data), tag);
}

} // namespace velorinth
