#pragma once

// Owning handles for OpenSSL objects, so no path leaks or forgets to free.

#include <openssl/bn.h>
#include <openssl/core.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>

#include <memory>

namespace velorinth {

template <auto FreeFunction>
struct OpenSslFree {
    template <class T>
    void operator()(T* object) const noexcept {
        if (object != nullptr) FreeFunction(object);
    }
};

// e.g. `OpenSslPtr<X509, X509_free>`.
template <class T, auto FreeFunction>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree<FreeFunction>>;

using EvpPkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtxPtr = OpenSslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpMdCtxPtr = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using EvpCipherCtxPtr = OpenSslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using EvpKdfCtxPtr = OpenSslPtr<EVP_KDF_CTX, EVP_KDF_CTX_free>;
using EvpMacCtxPtr = OpenSslPtr<EVP_MAC_CTX, EVP_MAC_CTX_free>;
using OsslParamPtr = OpenSslPtr<OSSL_PARAM, OSSL_PARAM_free>;
using OsslParamBldPtr = OpenSslPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using BignumPtr = OpenSslPtr<BIGNUM, BN_clear_free>; // private scalars are wiped

// Shares ownership of `key` (EVP_PKEY_up_ref); null stays null.
EvpPkeyPtr sharedPkey(EVP_PKEY* key) noexcept;

} // namespace velorinth
