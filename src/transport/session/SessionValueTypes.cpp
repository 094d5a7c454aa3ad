#include "transport/session/SessionValueTypes.hpp"

#include <utility>

namespace velorinth {

namespace {

std::string describe(SessionHandshakeError::Case kind, const std::string& reason) {
    if (kind == SessionHandshakeError::Case::rejectedByHost && !reason.empty()) return reason;
    return std::string(SessionHandshakeError::text(kind));
}

} // namespace

SessionHandshakeError::SessionHandshakeError(Case kind) : SessionHandshakeError(kind, std::string()) {}

SessionHandshakeError::SessionHandshakeError(Case kind, std::string reason)
    : Error(describe(kind, reason)), kind(kind), reason(std::move(reason)) {}

SessionHandshakeError SessionHandshakeError::rejectedByHost(std::string reason) {
    return SessionHandshakeError(Case::rejectedByHost, std::move(reason));
}

std::string_view SessionHandshakeError::text(Case kind) noexcept {
    switch (kind) {
    case Case::rejectedByHost: return "Pairing was rejected on the Mac.";
    case Case::untrustedOnHost: return "This iPad is not trusted by the Mac. Pair the devices again.";
    case Case::revokedOnHost: return "Access for this iPad was revoked on the Mac.";
    case Case::permissionDeniedOnHost: return "This iPad does not have permission to start a session on the Mac.";
    case Case::approvalTimedOut: return "Pairing approval timed out on the Mac. Try pairing again.";
    case Case::unsupportedProtocolVersion: return "The Mac and iPad use incompatible Velorinth protocol versions.";
    case Case::pairingBusyOnHost: return "The Mac is already handling another pairing request.";
    case Case::rateLimitedOnHost: return "Too many pairing attempts were made. Wait a minute and try again.";
    case Case::verificationCodeRejected:
        return "Pairing was cancelled because the verification code was not confirmed.";
    }
    return {};
}

} // namespace velorinth
