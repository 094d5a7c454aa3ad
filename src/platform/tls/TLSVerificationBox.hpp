#pragma once

#include "platform/tls/TLSSecurityError.hpp"

#include <mutex>
#include <optional>

namespace velorinth {

// Holds the first reason a TLS peer verification refused the peer. The verify
// callback runs inside OpenSSL and can only answer yes or no; the connection
// reads the reason afterwards to report it instead of a bare handshake failure.
class TLSVerificationBox {
public:
    // Keeps the first failure only; later ones are ignored.
    void record(TLSSecurityError::Case failure);
    std::optional<TLSSecurityError::Case> failure() const;

private:
    mutable std::mutex lock_;
    std::optional<TLSSecurityError::Case> failure_;
};

} // namespace velorinth
