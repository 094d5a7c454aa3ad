#pragma once

#include "host/model/SessionServerPort.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/server/HostSessionServer.hpp"

#include <memory>

namespace velorinth {

// The session server port over the real server, an actor of the event loop:
// every call, synchronous ones included, runs there as its own coroutine.
class SessionServerAdapter final : public SessionServerPort {
public:
    SessionServerAdapter(std::shared_ptr<HostSessionServer> server,
                         std::shared_ptr<DeviceIdentityService> identityService, asio::any_io_executor loop);

    asio::awaitable<void> setCallbacks(HostSessionCallbacks callbacks) override;
    asio::awaitable<void> updateHostState(std::optional<DisplayDescriptor> display, bool accessibilityGranted,
                                          std::optional<SavedWakeConfiguration> wakeConfiguration) override;
    asio::awaitable<void> updateWakeConfiguration(SavedWakeConfiguration wakeConfiguration) override;
    // Makes the TLS identity first, on the caller's thread: creating it
    // writes to disk, which the loop must not wait for.
    asio::awaitable<void> startListening(std::uint16_t port, bool publishesService) override;
    asio::awaitable<void> stop() override;
    asio::awaitable<void> reportSystemSleep(Date time) override;
    asio::awaitable<void> distributeVideoFrame(std::shared_ptr<const EncodedVideoFrame> frame) override;
    asio::awaitable<void> stopAllVideoStreams(VideoStreamStopReason reason, std::string detail) override;
    asio::awaitable<bool> hasStreamingViewer() override;
    asio::awaitable<OutboundVideoStatistics> outboundVideoStatistics() override;
    asio::awaitable<void> resolvePendingPairing(bool approved, Uuid pairingID) override;
    asio::awaitable<void> revokeDevice(Uuid deviceID) override;
    asio::awaitable<void> updateDevicePermissions(Uuid deviceID, DevicePermissions permissions) override;
    asio::awaitable<void> disconnectSession(Uuid deviceID, std::string reason) override;
    asio::awaitable<void> disconnectAll(std::string reason) override;

    asio::any_io_executor loopExecutor() override { return loop_; }
    void distributeVideoFrameOnLoop(std::shared_ptr<const EncodedVideoFrame> frame) override;

    const std::shared_ptr<HostSessionServer>& server() const noexcept { return server_; }

private:
    // Runs `call(server)`, a synchronous member, on the loop.
    template <class Call>
    asio::awaitable<std::invoke_result_t<Call&, HostSessionServer&>> onLoop(Call call);

    const std::shared_ptr<HostSessionServer> server_;
    const std::shared_ptr<DeviceIdentityService> identityService_;
    const asio::any_io_executor loop_;
};

} // namespace velorinth
