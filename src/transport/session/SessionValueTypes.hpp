#pragma once

// What the session server and the tablet-side session tell their owners about
// sessions: in-memory values only, never sent or stored.

#include "core/ControlProtocol.hpp"
#include "core/Date.hpp"
#include "core/Error.hpp"
#include "core/IdentityModels.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velorinth {

// One running session as the server reports it. Every field takes part in
// equality, so two snapshots of one session taken at different times differ.
struct ActiveSessionDescriptor {
    // Fixed when the session is activated.
    Uuid id;
    DevicePublicIdentity peerIdentity;
    std::uint16_t negotiatedProtocolVersion = 0;
    CapabilitySet acceptedCapabilities;
    // Kept current while the session runs.
    DevicePermissions grantedPermissions;
    bool hostAccessibilityGranted = true;
    std::optional<DisplayDescriptor> remoteDisplay;
    std::optional<SavedWakeConfiguration> wakeConfiguration;
    std::optional<PowerStateEvidence> hostPowerState;
    Date connectedAt;
    std::optional<Date> lastHeartbeatAt;
    std::uint64_t heartbeatCount = 0;
    std::uint64_t receivedInputEvents = 0;
    bool isVideoStreaming = false;
    std::uint64_t videoGeneration = 0;
    std::uint64_t sentVideoFrames = 0;
    std::uint64_t droppedVideoFrames = 0;
    std::optional<double> latestRTTMilliseconds;

    bool operator==(const ActiveSessionDescriptor&) const = default;
};

// A pairing waiting for the host user's approval; `id` is the pairing identifier.
struct IncomingPairingPrompt {
    Uuid id;
    DevicePublicIdentity peerIdentity;
    std::string verificationCode;
    Date expiresAt;

    bool operator==(const IncomingPairingPrompt&) const = default;
};

// The video stream state a tablet learns from a videoStreamStatus message.
struct VideoStreamStatusUpdate {
    bool active = false;
    std::optional<VideoStreamConfiguration> configuration;
    std::optional<std::uint64_t> generation;
    std::optional<VideoStreamStopReason> stopReason;
    std::optional<std::string> detail;

    bool operator==(const VideoStreamStatusUpdate&) const = default;
};

// Why a session ended. Equal when the case and, where there is one, the text are.
struct SessionTerminationReason {
    enum class Case { remoteDisconnect, revoked, networkInterrupted, localDisconnect };

    static SessionTerminationReason remoteDisconnect(std::string reason) {
        return {Case::remoteDisconnect, std::move(reason)};
    }
    static SessionTerminationReason revoked(std::string message) { return {Case::revoked, std::move(message)}; }
    static SessionTerminationReason networkInterrupted(std::string description) {
        return {Case::networkInterrupted, std::move(description)};
    }
    static SessionTerminationReason localDisconnect() { return {Case::localDisconnect, std::nullopt}; }

    Case kind = Case::localDisconnect;
    std::optional<std::string> text; // present for every case but localDisconnect

    bool operator==(const SessionTerminationReason&) const = default;
};

// Why the host refused a handshake, as the tablet user reads it.
class SessionHandshakeError : public Error {
public:
    enum class Case {
        rejectedByHost,
        untrustedOnHost,
        revokedOnHost,
        permissionDeniedOnHost,
        approvalTimedOut,
        unsupportedProtocolVersion,
        pairingBusyOnHost,
        rateLimitedOnHost,
        verificationCodeRejected,
    };

    // For any case but rejectedByHost.
    explicit SessionHandshakeError(Case kind);
    // The host's stated reason; an empty one reads as the fixed rejection text.
    static SessionHandshakeError rejectedByHost(std::string reason);

    static std::string_view text(Case kind) noexcept;

    bool operator==(const SessionHandshakeError& other) const noexcept {
        return kind == other.kind && reason == other.reason;
    }

    Case kind;
    std::string reason; // rejectedByHost only, as stated

private:
    SessionHandshakeError(Case kind, std::string reason);
};

} // namespace velorinth
