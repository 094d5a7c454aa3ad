#pragma once

#include "core/Bytes.hpp"
#include "core/Uuid.hpp"

#include <openssl/types.h>

#include <chrono>
#include <memory>

namespace velorinth {

struct X509Deleter {
    void operator()(X509* certificate) const noexcept;
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

// The self-signed X.509 v3 certificate a device presents in TLS: issued over
// and signed by its P-256 identity key, named after the device identifier only
// (so a rename keeps it), practically without expiry, and never stored.
class DeviceCertificate {
public:
    // Throws TLSSecurityError(identityCreationFailed).
    static X509Ptr issue(EVP_PKEY* identityKey, const Uuid& deviceID, std::chrono::system_clock::time_point now);

    // DER bytes of `certificate`. Throws TLSSecurityError(identityCreationFailed).
    static Bytes der(X509* certificate);
};

} // namespace velorinth
