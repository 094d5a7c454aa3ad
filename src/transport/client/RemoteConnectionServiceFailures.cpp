// How a failed attempt to reach a Mac becomes one RemoteConnectionFailure.

#include "transport/client/RemoteConnectionService.hpp"

#include "core/Cancellation.hpp"
#include "core/Text.hpp"
#include "platform/tls/TLSSecurityError.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <openssl/ssl.h>

#include <cerrno>

namespace velorinth {

namespace {

using Failure = RemoteConnectionFailure;

// An alert the peer sent is reported by its alert number, any other TLS
// failure by OpenSSL's reason code.
int tlsStatus(int reason) {
    if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) return reason - SSL_AD_REASON_OFFSET;
    return reason;
}

// The typed errors, in the order of the rules; none when the error is of no
// listed type (or a connection error other than cancelled).
std::optional<Failure> classifyTyped(const std::exception_ptr& error, const std::optional<Failure>& observed) {
    try {
        std::rethrow_exception(error);
    } catch (const Failure& failure) {
        return failure;
    } catch (const NetworkConnectionError& failure) {
        if (failure.kind == NetworkConnectionError::Case::cancelled) return Failure::cancelled();
    } catch (const PairingProtocolError& failure) {
        switch (failure.kind) {
        case PairingProtocolError::Case::timedOut: return observed.value_or(Failure::connectionTimedOut());
        case PairingProtocolError::Case::identityMismatch: return Failure::identityMismatch();
        case PairingProtocolError::Case::cancelled: return Failure::cancelled();
        default: return Failure::tlsNegotiationFailed(failure.what());
        }
    } catch (const TLSSecurityError& failure) {
        if (failure.kind == TLSSecurityError::Case::pinnedFingerprintMismatch) return Failure::identityMismatch();
        return Failure::tlsNegotiationFailed(failure.what());
    } catch (const TrustedDeviceStoreError& failure) {
        if (failure.kind == TrustedDeviceStoreError::Case::revokedDevice) return Failure::trustedDeviceRevoked();
        if (failure.kind == TrustedDeviceStoreError::Case::identityChanged) return Failure::identityMismatch();
        return Failure::hostAuthorizationDenied(failure.what());
    } catch (const SessionHandshakeError& failure) {
        if (failure.kind == SessionHandshakeError::Case::revokedOnHost) return Failure::trustedDeviceRevoked();
        if (failure.kind == SessionHandshakeError::Case::approvalTimedOut) return Failure::connectionTimedOut();
        return Failure::hostAuthorizationDenied(failure.what());
    } catch (...) {
    }
    return std::nullopt;
}

} // namespace

std::optional<RemoteConnectionFailure>
RemoteConnectionService::classifyNetworkError(const ObservedNetworkError& error,
                                              const std::optional<std::string>& hostName) {
    switch (error.kind) {
    case ObservedNetworkError::Kind::posix:
        switch (error.code) {
        case EADDRNOTAVAIL:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTDOWN:
        case EHOSTUNREACH: return Failure::networkUnreachable(error.text);
        case ETIMEDOUT: return Failure::connectionTimedOut();
        case ECONNREFUSED: return Failure::connectionRefused(error.text);
        case ECANCELED: return Failure::cancelled();
        default: return std::nullopt;
        }
    case ObservedNetworkError::Kind::dns: return Failure::dnsResolutionFailed(hostName.value_or("host"), error.text);
    case ObservedNetworkError::Kind::tls:
        return Failure::tlsNegotiationFailed("TLS status " + std::to_string(tlsStatus(error.code)));
    }
    return std::nullopt;
}

RemoteConnectionFailure RemoteConnectionService::classifyFailure(const std::exception_ptr& error,
                                                                 const std::optional<ObservedNetworkError>& observed,
                                                                 const std::optional<std::string>& hostName) {
    const std::optional<Failure> network = observed ? classifyNetworkError(*observed, hostName) : std::nullopt;
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const Failure& failure) {
            return failure;
        } catch (...) {
        }
    }
    if (isCancellationError(error)) return Failure::cancelled();
    if (error) {
        if (std::optional<Failure> typed = classifyTyped(error, network)) return *typed;
    }
    if (network) return *network;
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const ObservedNetworkError& itself) {
            if (std::optional<Failure> failure = classifyNetworkError(itself, hostName)) return *failure;
        } catch (...) {
        }
    }
    const std::string description = describeError(error);
    const std::string text = lowercased(description);
    if (text.find("screen recording") != std::string::npos) return Failure::screenRecordingPermissionUnavailable();
    if (text.find("connection refused") != std::string::npos || text.find("61") != std::string::npos) {
        return Failure::connectionRefused(description);
    }
    if (text.find("unreachable") != std::string::npos || text.find("network is down") != std::string::npos) {
        return Failure::networkUnreachable(description);
    }
    if (text.find("timed out") != std::string::npos) return Failure::connectionTimedOut();
    return Failure::networkUnreachable(description);
}

} // namespace velorinth
