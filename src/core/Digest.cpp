#include "core/Digest.hpp"

#include "core/Error.hpp"

#include <openssl/evp.h>

namespace velorinth {

Bytes sha256(ByteView data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha256(), nullptr) != 1) {
        // Only an allocation failure inside OpenSSL gets here.
        throw Error("SHA-256 digest failed.");
    }
    out.resize(length);
    return out;
}

} // namespace velorinth
