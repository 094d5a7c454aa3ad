#pragma once

// The messages of an active session, sealed with the session cipher and sent
// in a control wire frame or an `encryptedSession` envelope.

#include "core/ControlProtocol.hpp"
#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/Json.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velorinth {

enum class SessionControlCommand {
    ping,
    pong,
    remoteInput,
    permissionsUpdated,
    hostStateUpdated,
    configureVideoStream,
    requestVideoKeyframe,
    stopVideoStream,
    videoStreamStatus,
    confirmVerifiedWake,
    disconnect,
    revoked,
};

struct SessionControlMessage {
    SessionControlCommand command = SessionControlCommand::ping;
    std::uint64_t sequence = 0;
    Date timestamp;
    std::optional<std::string> reason;
    std::optional<ControlMessage> controlMessage;
    std::optional<DevicePermissions> permissions;
    std::optional<DisplayDescriptor> hostDisplay;
    std::optional<bool> accessibilityGranted;
    std::optional<SavedWakeConfiguration> wakeConfiguration;
    std::optional<PowerStateEvidence> powerStateEvidence;
    std::optional<VideoStreamConfiguration> videoConfiguration;
    std::optional<std::uint64_t> streamGeneration;
    std::optional<VideoStreamStopReason> streamStopReason;
    std::optional<bool> streamActive;
    std::optional<std::uint64_t> sentMonotonicNs;

    bool operator==(const SessionControlMessage&) const = default;
};

namespace json {

template <>
struct EnumNames<SessionControlCommand> {
    static constexpr std::array<std::string_view, 12> names{
        "ping",
        "pong",
        "remoteInput",
        "permissionsUpdated",
        "hostStateUpdated",
        "configureVideoStream",
        "requestVideoKeyframe",
        "stopVideoStream",
        "videoStreamStatus",
        "confirmVerifiedWake",
        "disconnect",
        "revoked",
    };
};

template <>
struct JsonFields<SessionControlMessage> {
    static constexpr auto fields = std::make_tuple(
        member("command", &SessionControlMessage::command),
        member("sequence", &SessionControlMessage::sequence),
        member("timestamp", &SessionControlMessage::timestamp),
        member("reason", &SessionControlMessage::reason),
        member("controlMessage", &SessionControlMessage::controlMessage),
        member("permissions", &SessionControlMessage::permissions),
        member("hostDisplay", &SessionControlMessage::hostDisplay),
        member("accessibilityGranted", &SessionControlMessage::accessibilityGranted),
        member("wakeConfiguration", &SessionControlMessage::wakeConfiguration),
        member("powerStateEvidence", &SessionControlMessage::powerStateEvidence),
        member("videoConfiguration", &SessionControlMessage::videoConfiguration),
        member("streamGeneration", &SessionControlMessage::streamGeneration),
        member("streamStopReason", &SessionControlMessage::streamStopReason),
        member("streamActive", &SessionControlMessage::streamActive),
        member("sentMonotonicNs", &SessionControlMessage::sentMonotonicNs));
};

} // namespace json
} // namespace velorinth
