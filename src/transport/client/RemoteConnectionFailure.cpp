#include "transport/client/RemoteConnectionFailure.hpp"

#include <utility>

namespace velorinth {

RemoteConnectionFailure::RemoteConnectionFailure(Case kind, std::string text, std::string detail)
    : Error(message(kind, text)), kind_(kind), text_(std::move(text)), detail_(std::move(detail)) {}

RemoteConnectionFailure RemoteConnectionFailure::invalidEndpointConfiguration(std::string text) {
    return RemoteConnectionFailure(Case::invalidEndpointConfiguration, std::move(text));
}

RemoteConnectionFailure RemoteConnectionFailure::dnsResolutionFailed(std::string host, std::string detail) {
    return RemoteConnectionFailure(Case::dnsResolutionFailed, std::move(host), std::move(detail));
}

RemoteConnectionFailure RemoteConnectionFailure::networkUnreachable(std::string text) {
    return RemoteConnectionFailure(Case::networkUnreachable, std::move(text));
}

RemoteConnectionFailure RemoteConnectionFailure::connectionRefused(std::string text) {
    return RemoteConnectionFailure(Case::connectionRefused, std::move(text));
}

RemoteConnectionFailure RemoteConnectionFailure::tlsNegotiationFailed(std::string text) {
    return RemoteConnectionFailure(Case::tlsNegotiationFailed, std::move(text));
}

RemoteConnectionFailure RemoteConnectionFailure::hostAuthorizationDenied(std::string text) {
    return RemoteConnectionFailure(Case::hostAuthorizationDenied, std::move(text));
}

bool RemoteConnectionFailure::isTerminal() const noexcept {
    return kind_ == Case::hostAuthorizationDenied || kind_ == Case::identityMismatch ||
           kind_ == Case::trustedDeviceRevoked;
}

std::string RemoteConnectionFailure::message(Case kind, const std::string& text) {
    switch (kind) {
    case Case::invalidEndpointConfiguration: return text;
    case Case::dnsResolutionFailed:
        return "Couldn't resolve \u201c" + text +
               "\u201d. Confirm your private network (such as Tailscale or WireGuard) and MagicDNS/DNS are active.";
    case Case::networkUnreachable:
        return "Your Mac's private-network route is unreachable. Confirm your VPN or private network is connected on "
               "both devices.";
    case Case::connectionRefused:
        return "Connection was refused by the target address. Ensure Velorinth Host is open and Remote Access is "
               "enabled on your Mac.";
    case Case::tlsNegotiationFailed: return "Mutual TLS 1.3 negotiation failed: " + text;
    case Case::hostAuthorizationDenied: return text.empty() ? kHostAuthorizationDeniedText : text;
    case Case::connectionTimedOut:
        return "Connection timed out. Your Mac may be asleep, offline, or unreachable on the configured private "
               "network.";
    case Case::identityMismatch:
        return "Your Mac's identity could not be verified. Device identity verification failed \u2014 the host at "
               "this address did not match your paired Mac's cryptographic identity.";
    case Case::trustedDeviceRevoked: return "Access for this iPad has been revoked.";
    case Case::screenRecordingPermissionUnavailable: return "Screen Recording permission required on your Mac.";
    case Case::cancelled: return "Connection cancelled.";
    }
    return {};
}

} // namespace velorinth
