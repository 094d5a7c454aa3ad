#pragma once

#include <exception>
#include <optional>
#include <string>

namespace velorinth {

// The tablet's wake-and-connect workflow. For now only its classification of
// failures, which the network transition coordinator shares.
class WakeConnectCoordinator {
public:
    // The user text for an error the tablet counts as an authentication or
    // authorization failure (trust-store rejections, handshake rejections,
    // pairing and identity verification failures, TLS peer-identity
    // failures); none for any other error, also for none at all.
    static std::optional<std::string> authenticationFailureMessage(const std::exception_ptr& error);
};

} // namespace velorinth
