// The texts a failed wake-and-connect run shows.

#include "transport/client/WakeConnectCoordinator.hpp"

#include "platform/tls/TLSSecurityError.hpp"
#include "transport/client/RemoteConnectionFailure.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/SessionValueTypes.hpp"

namespace velorinth {

namespace {

constexpr const char* kIncompatibleProtocolText = "Incompatible Velorinth protocol version between your iPad and Mac.";

std::optional<std::string> messageFor(const RemoteConnectionFailure& failure) {
    using Case = RemoteConnectionFailure::Case;
    switch (failure.kind()) {
    case Case::identityMismatch:
    case Case::trustedDeviceRevoked:
    case Case::hostAuthorizationDenied: return std::string(failure.what()); // the message when given, else its own
    default: return std::nullopt;
    }
}

std::optional<std::string> messageFor(const PairingProtocolError& error) {
    using Case = PairingProtocolError::Case;
    switch (error.kind) {
    case Case::unsupportedProtocol: return kIncompatibleProtocolText;
    case Case::identityMismatch:
    case Case::invalidCertificateBinding:
    case Case::transcriptMismatch:
    case Case::invalidSignature:
        return "Your Mac's identity could not be verified. Device identity verification failed \u2014 the host that "
               "responded did not match your paired Mac's cryptographic identity.";
    case Case::verificationCodeMismatch: return std::string(error.what());
    case Case::replayedHandshake: return "Connection rejected due to a replayed handshake nonce.";
    default: return std::nullopt;
    }
}

std::optional<std::string> messageFor(const SessionHandshakeError& error) {
    using Case = SessionHandshakeError::Case;
    switch (error.kind) {
    case Case::rejectedByHost: return std::string(error.what()); // the host's reason, as the error reads it
    case Case::untrustedOnHost:
        return "Your Mac no longer recognizes this iPad as paired. Remove the old record and pair again.";
    case Case::revokedOnHost: return "Access for this iPad was revoked on your Mac.";
    case Case::permissionDeniedOnHost: return "Session permission is disabled for this iPad on your Mac.";
    case Case::unsupportedProtocolVersion: return kIncompatibleProtocolText;
    case Case::approvalTimedOut:
    case Case::pairingBusyOnHost:
    case Case::rateLimitedOnHost:
    case Case::verificationCodeRejected: return std::string(error.what());
    }
    return std::nullopt;
}

std::optional<std::string> messageFor(const TrustedDeviceStoreError& error) {
    using Case = TrustedDeviceStoreError::Case;
    switch (error.kind) {
    case Case::untrustedDevice: return "This Mac is not paired.";
    case Case::revokedDevice: return "Access for this Mac has been revoked.";
    case Case::identityChanged:
        return "Your Mac's identity could not be verified. Device identity verification failed \u2014 the host's "
               "cryptographic key changed unexpectedly.";
    case Case::permissionDenied: return "Required session permissions are not enabled.";
    case Case::corruptedStore: return std::string(error.what());
    default: return std::nullopt;
    }
}

std::optional<std::string> messageFor(const TLSSecurityError& error) {
    using Case = TLSSecurityError::Case;
    switch (error.kind) {
    case Case::missingPeerCertificate:
    case Case::invalidCertificateBinding:
    case Case::pinnedFingerprintMismatch:
        return "Your Mac's identity could not be verified. Device identity verification failed during Mutual TLS.";
    default: return std::nullopt;
    }
}

} // namespace

std::optional<std::string> WakeConnectCoordinator::authenticationFailureMessage(const std::exception_ptr& error) {
    if (!error) return std::nullopt;
    try {
        std::rethrow_exception(error);
    } catch (const RemoteConnectionFailure& failure) {
        return messageFor(failure);
    } catch (const PairingProtocolError& failure) {
        return messageFor(failure);
    } catch (const SessionHandshakeError& failure) {
        return messageFor(failure);
    } catch (const TrustedDeviceStoreError& failure) {
        return messageFor(failure);
    } catch (const TLSSecurityError& failure) {
        return messageFor(failure);
    } catch (...) {
        return std::nullopt;
    }
}

std::string WakeConnectCoordinator::connectionFailureMessage(const std::exception_ptr& error) {
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const RemoteConnectionFailure& failure) {
        return failure.what();
    } catch (const PairingProtocolError&) {
        return "Couldn't establish a connection to your Mac.";
    } catch (...) {
    }
    return describeError(error);
}

std::optional<std::string> WakeConnectCoordinator::reportableConnectFailureMessage(const std::exception_ptr& error) {
    if (!error) return std::nullopt;
    try {
        std::rethrow_exception(error);
    } catch (const RemoteConnectionFailure& failure) {
        using Case = RemoteConnectionFailure::Case;
        switch (failure.kind()) {
        case Case::invalidEndpointConfiguration:
        case Case::dnsResolutionFailed:
        case Case::tlsNegotiationFailed:
        case Case::screenRecordingPermissionUnavailable: return std::string(failure.what());
        default: return std::nullopt;
        }
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace velorinth
