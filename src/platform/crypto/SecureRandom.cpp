#include "platform/crypto/SecureRandom.hpp"

#include "platform/crypto/CryptoError.hpp"

#include <openssl/rand.h>

#include <algorithm>
#include <climits>

namespace velorinth {

namespace {

void fill(std::uint8_t* data, std::size_t count) {
    // RAND_priv_bytes takes an int length.
    while (count > 0) {
        std::size_t chunk = std::min<std::size_t>(count, INT_MAX);
        if (RAND_priv_bytes(data, static_cast<int>(chunk)) != 1) {
            throw CryptoError(CryptoError::Case::randomGenerationFailed);
        }
        data += chunk;
        count -= chunk;
    }
}

} // namespace

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    fill(out.data(), count);
    return out;
}

SecretBytes randomSecretBytes(std::size_t count) {
    SecretBytes out{Bytes(count)};
    fill(const_cast<std::uint8_t*>(out.data()), count);
    return out;
}

} // namespace velorinth
