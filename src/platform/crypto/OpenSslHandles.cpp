#include "platform/crypto/OpenSslHandles.hpp"

namespace velorinth {

EvpPkeyPtr sharedPkey(EVP_PKEY* key) noexcept {
    if (key == nullptr || EVP_PKEY_up_ref(key) != 1) return EvpPkeyPtr();
    return EvpPkeyPtr(key);
}

} // namespace velorinth
