#pragma once

#include "core/Bytes.hpp"
#include "core/IdentityModels.hpp"

#include <openssl/types.h>

#include <chrono>
#include <memory>

namespace velorinth {

class P256SigningKey;

// The private key and certificate that a TLS endpoint presents. Immutable and
// shared, so contexts built from it may outlive the identity record.
class TLSCredential {
public:
    TLSCredential() = default;
    // Shares both objects (reference counted); either may be null.
    TLSCredential(EVP_PKEY* privateKey, X509* certificate);

    EVP_PKEY* privateKey() const noexcept { return privateKey_.get(); }
    X509* certificate() const noexcept { return certificate_.get(); }

    // Same certificate and same key.
    bool operator==(const TLSCredential& other) const noexcept;

private:
    std::shared_ptr<EVP_PKEY> privateKey_;
    std::shared_ptr<X509> certificate_;
};

// This device as a TLS peer: its public identity, its self-signed certificate
// bound to the identity key, and the credential TLS contexts are made from.
struct TLSDeviceIdentity {
    DevicePublicIdentity publicIdentity;
    Bytes certificateDER;
    TLSCredential secIdentity;

    // Issues a fresh device certificate for `signingKey`, valid from `now` less
    // an hour. Throws TLSSecurityError(identityCreationFailed).
    static TLSDeviceIdentity create(const DevicePublicIdentity& publicIdentity, const P256SigningKey& signingKey,
                                    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

    bool operator==(const TLSDeviceIdentity&) const = default;
};

} // namespace velorinth
