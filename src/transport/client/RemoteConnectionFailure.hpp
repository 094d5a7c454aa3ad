#pragma once

#include "core/Error.hpp"

#include <string>

namespace velorinth {

// Why the tablet could not reach a paired Mac; what() is the user message.
// Built only through the case functions, so a payload exists exactly where
// its case has one.
class RemoteConnectionFailure : public Error {
public:
    enum class Case {
        invalidEndpointConfiguration,
        dnsResolutionFailed,
        networkUnreachable,
        connectionRefused,
        tlsNegotiationFailed,
        hostAuthorizationDenied,
        connectionTimedOut,
        identityMismatch,
        trustedDeviceRevoked,
        screenRecordingPermissionUnavailable,
        cancelled,
    };

    // The message is the text itself.
    static RemoteConnectionFailure invalidEndpointConfiguration(std::string text);
    // The detail is kept for diagnostics, not shown.
    static RemoteConnectionFailure dnsResolutionFailed(std::string host, std::string detail);
    // These two keep the underlying description for diagnostics, not shown.
    static RemoteConnectionFailure networkUnreachable(std::string text);
    static RemoteConnectionFailure connectionRefused(std::string text);
    static RemoteConnectionFailure tlsNegotiationFailed(std::string text);
    // An empty message reads as the fixed denial text.
    static RemoteConnectionFailure hostAuthorizationDenied(std::string text);
    static RemoteConnectionFailure connectionTimedOut() { return RemoteConnectionFailure(Case::connectionTimedOut); }
    static RemoteConnectionFailure identityMismatch() { return RemoteConnectionFailure(Case::identityMismatch); }
    static RemoteConnectionFailure trustedDeviceRevoked() { return RemoteConnectionFailure(Case::trustedDeviceRevoked); }
    static RemoteConnectionFailure screenRecordingPermissionUnavailable() {
        return RemoteConnectionFailure(Case::screenRecordingPermissionUnavailable);
    }
    static RemoteConnectionFailure cancelled() { return RemoteConnectionFailure(Case::cancelled); }

    static constexpr const char* kHostAuthorizationDeniedText = "The Mac denied authorization for this session.";

    // hostAuthorizationDenied, identityMismatch and trustedDeviceRevoked end
    // a walk over candidate routes at once.
    bool isTerminal() const noexcept;

    Case kind() const noexcept { return kind_; }
    // The text payload: the host of dnsResolutionFailed, empty for cases without one.
    const std::string& text() const noexcept { return text_; }
    const std::string& detail() const noexcept { return detail_; } // dnsResolutionFailed only

    bool operator==(const RemoteConnectionFailure& other) const noexcept {
        return kind_ == other.kind_ && text_ == other.text_ && detail_ == other.detail_;
    }

private:
    explicit RemoteConnectionFailure(Case kind, std::string text = {}, std::string detail = {});
    static std::string message(Case kind, const std::string& text);

    Case kind_;
    std::string text_;
    std::string detail_;
};

} // namespace velorinth
