#include "transport/client/RemoteConnectionFailure.hpp"
#include "transport/client/WakeConnectCoordinator.hpp"

#include "platform/tls/TLSSecurityError.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using Failure = RemoteConnectionFailure;

TEST(RemoteConnectionFailure, UserMessagesAndTerminalCases) {
    const std::pair<Failure, std::string> cases[] = {
        {Failure::invalidEndpointConfiguration("Enter a host name."), "Enter a host name."},
        {Failure::dnsResolutionFailed("mac.tailnet", "NXDOMAIN"),
         "Couldn't resolve \u201cmac.tailnet\u201d. Confirm your private network (such as Tailscale or WireGuard) and "
         "MagicDNS/DNS are active."},
        {Failure::networkUnreachable("ENETUNREACH"),
         "Your Mac's private-network route is unreachable. Confirm your VPN or private network is connected on both "
         "devices."},
        {Failure::connectionRefused("ECONNREFUSED"),
         "Connection was refused by the target address. Ensure Velorinth Host is open and Remote Access is enabled on "
         "your Mac."},
        {Failure::tlsNegotiationFailed("bad certificate"), "Mutual TLS 1.3 negotiation failed: bad certificate"},
        {Failure::hostAuthorizationDenied(""), "The Mac denied authorization for this session."},
        {Failure::connectionTimedOut(),
         "Connection timed out. Your Mac may be asleep, offline, or unreachable on the configured private network."},
        {Failure::identityMismatch(),
         "Your Mac's identity could not be verified. Device identity verification failed \u2014 the host at this "
         "address did not match your paired Mac's cryptographic identity."},
        {Failure::trustedDeviceRevoked(), "Access for this iPad has been revoked."},
        {Failure::screenRecordingPermissionUnavailable(), "Screen Recording permission required on your Mac."},
        {Failure::cancelled(), "Connection cancelled."},
    };
    int index = 0;
    for (const auto& [failure, message] : cases) {
        EXPECT_EQ(static_cast<int>(failure.kind()), index++);
        EXPECT_EQ(std::string(failure.what()), message);
        const bool terminal = failure.kind() == Failure::Case::hostAuthorizationDenied ||
                              failure.kind() == Failure::Case::identityMismatch ||
                              failure.kind() == Failure::Case::trustedDeviceRevoked;
        EXPECT_EQ(failure.isTerminal(), terminal) << message;
    }
    EXPECT_EQ(std::string(Failure::hostAuthorizationDenied("Not now.").what()), "Not now.");
    EXPECT_NE(Failure::dnsResolutionFailed("a", "x"), Failure::dnsResolutionFailed("a", "y"));
}

TEST(WakeConnectCoordinator, AuthenticationFailureTextsByErrorTypeAndCase) {
    const std::string identityFailed = "Your Mac's identity could not be verified. Device identity verification failed \u2014 ";
    const std::string incompatible = "Incompatible Velorinth protocol version between your iPad and Mac.";
    using P = PairingProtocolError::Case;
    using H = SessionHandshakeError::Case;
    using T = TrustedDeviceStoreError::Case;
    using S = TLSSecurityError::Case;
    auto text = [](auto error) { return std::optional<std::string>(error.what()); };
    const std::pair<std::exception_ptr, std::optional<std::string>> table[] = {
        {std::make_exception_ptr(Failure::identityMismatch()), text(Failure::identityMismatch())},
        {std::make_exception_ptr(Failure::trustedDeviceRevoked()), "Access for this iPad has been revoked."},
        {std::make_exception_ptr(Failure::hostAuthorizationDenied("")), "The Mac denied authorization for this session."},
        {std::make_exception_ptr(Failure::hostAuthorizationDenied("Busy.")), "Busy."},
        {std::make_exception_ptr(Failure::connectionTimedOut()), std::nullopt},
        {std::make_exception_ptr(Failure::cancelled()), std::nullopt},
        {std::make_exception_ptr(PairingProtocolError(P::unsupportedProtocol)), incompatible},
        {std::make_exception_ptr(PairingProtocolError(P::identityMismatch)),
         identityFailed + "the host that responded did not match your paired Mac's cryptographic identity."},
        {std::make_exception_ptr(PairingProtocolError(P::invalidSignature)),
         identityFailed + "the host that responded did not match your paired Mac's cryptographic identity."},
        {std::make_exception_ptr(PairingProtocolError(P::verificationCodeMismatch)),
         text(PairingProtocolError(P::verificationCodeMismatch))},
        {std::make_exception_ptr(PairingProtocolError(P::replayedHandshake)), "Connection rejected due to a replayed handshake nonce."},
        {std::make_exception_ptr(PairingProtocolError(P::timedOut)), std::nullopt},
        {std::make_exception_ptr(PairingProtocolError(P::cancelled)), std::nullopt},
        {std::make_exception_ptr(SessionHandshakeError::rejectedByHost("Nope.")), "Nope."},
        {std::make_exception_ptr(SessionHandshakeError(H::untrustedOnHost)),
         "Your Mac no longer recognizes this iPad as paired. Remove the old record and pair again."},
        {std::make_exception_ptr(SessionHandshakeError(H::revokedOnHost)), "Access for this iPad was revoked on your Mac."},
        {std::make_exception_ptr(SessionHandshakeError(H::permissionDeniedOnHost)),
         "Session permission is disabled for this iPad on your Mac."},
        {std::make_exception_ptr(SessionHandshakeError(H::unsupportedProtocolVersion)), incompatible},
        {std::make_exception_ptr(SessionHandshakeError(H::rateLimitedOnHost)), text(SessionHandshakeError(H::rateLimitedOnHost))},
        {std::make_exception_ptr(TrustedDeviceStoreError(T::untrustedDevice)), "This Mac is not paired."},
        {std::make_exception_ptr(TrustedDeviceStoreError(T::revokedDevice)), "Access for this Mac has been revoked."},
        {std::make_exception_ptr(TrustedDeviceStoreError(T::identityChanged)),
         identityFailed + "the host's cryptographic key changed unexpectedly."},
        {std::make_exception_ptr(TrustedDeviceStoreError(T::permissionDenied)), "Required session permissions are not enabled."},
        {std::make_exception_ptr(TrustedDeviceStoreError(T::corruptedStore)), text(TrustedDeviceStoreError(T::corruptedStore))},
        {std::make_exception_ptr(TrustedDeviceStoreError(T::endpointNotFound)), std::nullopt},
        {std::make_exception_ptr(TLSSecurityError(S::pinnedFingerprintMismatch)),
         "Your Mac's identity could not be verified. Device identity verification failed during Mutual TLS."},
        {std::make_exception_ptr(TLSSecurityError(S::exporterFailed)), std::nullopt},
        {std::make_exception_ptr(NetworkConnectionError(NetworkConnectionError::Case::closed)), std::nullopt},
        {std::make_exception_ptr(std::runtime_error("other")), std::nullopt},
        {std::make_exception_ptr(42), std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto& [error, expected] : table) {
        EXPECT_EQ(WakeConnectCoordinator::authenticationFailureMessage(error), expected) << expected.value_or("none");
    }
}

} // namespace
} // namespace velorinth
