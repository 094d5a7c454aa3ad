#pragma once

#include "core/Error.hpp"
#include "transport/relay/WakeRelayMessages.hpp"

#include <string>

namespace velorinth {

// Why the tablet's exchange with a wake relay failed; what() is the user
// text. The first eight cases carry a text (the relay's own message for a
// refusal); built only through the case functions.
class WakeRelayClientError : public Error {
public:
    enum class Case {
        relayUnreachable,
        authenticationFailed,
        permissionDenied,
        targetNotConfigured,
        rateLimited,
        replayRejected,
        packetTransmissionFailed,
        malformedRequest,
        invalidInvitationFormat,
        invitationTargetMismatch,
        relayIdentityMismatch,
    };

    // The error for a verified answer whose status is not the one asked for:
    // the refusing statuses become their own case carrying the relay's
    // message; a success status (of the other operation) is malformedRequest
    // "Unexpected relay response status.".
    explicit WakeRelayClientError(const WakeRelayResponse& status);

    static constexpr const char* kUnexpectedStatusText = "Unexpected relay response status.";

    // "Wake relay is unreachable: " followed by the text.
    static WakeRelayClientError relayUnreachable(std::string text);
    // The text itself is the user text for these six.
    static WakeRelayClientError authenticationFailed(std::string text);
    static WakeRelayClientError permissionDenied(std::string text);
    static WakeRelayClientError targetNotConfigured(std::string text);
    static WakeRelayClientError rateLimited(std::string text);
    static WakeRelayClientError replayRejected(std::string text);
    static WakeRelayClientError packetTransmissionFailed(std::string text);
    static WakeRelayClientError malformedRequest(std::string text);
    static WakeRelayClientError invalidInvitationFormat() { return WakeRelayClientError(Case::invalidInvitationFormat); }
    static WakeRelayClientError invitationTargetMismatch() {
        return WakeRelayClientError(Case::invitationTargetMismatch);
    }
    static WakeRelayClientError relayIdentityMismatch() { return WakeRelayClientError(Case::relayIdentityMismatch); }

    Case kind() const noexcept { return kind_; }
    // The carried text; empty for the last three cases.
    const std::string& text() const noexcept { return text_; }

    bool operator==(const WakeRelayClientError& other) const noexcept {
        return kind_ == other.kind_ && text_ == other.text_;
    }

private:
    explicit WakeRelayClientError(Case kind, std::string text = {});
    static std::string message(Case kind, const std::string& text);

    Case kind_;
    std::string text_;
};

} // namespace velorinth
