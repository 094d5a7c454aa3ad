#pragma once

// Small helpers shared by the crypto sources (not part of the layer's API).

#include "core/Bytes.hpp"

#include <openssl/params.h>

namespace velorinth::detail {

// OpenSSL treats a null buffer as "absent" even with length 0; an empty input
// must still be an (empty) input.
inline unsigned char* nonNullData(ByteView bytes) noexcept {
    static unsigned char empty = 0;
    return bytes.empty() ? &empty : const_cast<unsigned char*>(bytes.data());
}

inline OSSL_PARAM octetParam(const char* key, ByteView bytes) noexcept {
    return OSSL_PARAM_construct_octet_string(key, nonNullData(bytes), bytes.size());
}

} // namespace velorinth::detail
