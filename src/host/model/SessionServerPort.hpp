#pragma once

#include "core/ControlProtocol.hpp"
#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"
#include "transport/server/HostSessionCallbacks.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velorinth {

// The host model's way into the session server: what the model asks of it,
// and nothing more. Every awaitable runs the call on the server's own loop
// and resumes its caller on the caller's executor, so the model never names
// the loop; failures are the server's own.
class SessionServerPort {
public:
    struct OutboundVideoStatistics {
        std::int64_t largestVideoQueue = 0;
        std::uint64_t sentVideoFrames = 0;
        std::uint64_t droppedVideoFrames = 0;
        bool operator==(const OutboundVideoStatistics&) const = default;
    };

    virtual ~SessionServerPort() = default;

    // Replaces every callback at once; they are called on the server's loop.
    virtual asio::awaitable<void> setCallbacks(HostSessionCallbacks callbacks) = 0;
    virtual asio::awaitable<void> updateHostState(std::optional<DisplayDescriptor> display, bool accessibilityGranted,
                                                  std::optional<SavedWakeConfiguration> wakeConfiguration) = 0;
    virtual asio::awaitable<void> updateWakeConfiguration(SavedWakeConfiguration wakeConfiguration) = 0;
    // Port 0: any port. Throws the identity's or the listener's construction
    // error; a failure to listen arrives later as a listener status.
    virtual asio::awaitable<void> startListening(std::uint16_t port, bool publishesService) = 0;
    virtual asio::awaitable<void> stop() = 0;
    virtual asio::awaitable<void> reportSystemSleep(Date time) = 0;
    virtual asio::awaitable<void> distributeVideoFrame(std::shared_ptr<const EncodedVideoFrame> frame) = 0;
    virtual asio::awaitable<void> stopAllVideoStreams(VideoStreamStopReason reason, std::string detail) = 0;
    virtual asio::awaitable<bool> hasStreamingViewer() = 0;
    virtual asio::awaitable<OutboundVideoStatistics> outboundVideoStatistics() = 0;
    // Answers the prompt of `pairingID` only.
    virtual asio::awaitable<void> resolvePendingPairing(bool approved, Uuid pairingID) = 0;
    virtual asio::awaitable<void> revokeDevice(Uuid deviceID) = 0;
    virtual asio::awaitable<void> updateDevicePermissions(Uuid deviceID, DevicePermissions permissions) = 0;
    virtual asio::awaitable<void> disconnectSession(Uuid deviceID, std::string reason) = 0;
    virtual asio::awaitable<void> disconnectAll(std::string reason) = 0;

    // The server's loop, and frame distribution for a task running there.
    virtual asio::any_io_executor loopExecutor() = 0;
    virtual void distributeVideoFrameOnLoop(std::shared_ptr<const EncodedVideoFrame> frame) = 0;
};

} // namespace velorinth
