#include "host/model/SessionServerAdapter.hpp"

#include "core/WorkerCall.hpp"

#include <type_traits>

namespace velorinth {

SessionServerAdapter::SessionServerAdapter(std::shared_ptr<HostSessionServer> server,
                                           std::shared_ptr<DeviceIdentityService> identityService,
                                           asio::any_io_executor loop)
    : server_(std::move(server)), identityService_(std::move(identityService)), loop_(std::move(loop)) {}

template <class Call>
asio::awaitable<std::invoke_result_t<Call&, HostSessionServer&>> SessionServerAdapter::onLoop(Call call) {
    using Result = std::invoke_result_t<Call&, HostSessionServer&>;
    auto operation = [server = server_, call = std::move(call)]() mutable -> asio::awaitable<Result> {
        if constexpr (std::is_void_v<Result>) {
            call(*server);
            co_return;
        } else {
            co_return call(*server);
        }
    };
    co_return co_await callOnExecutor(loop_, std::move(operation));
}

asio::awaitable<void> SessionServerAdapter::setCallbacks(HostSessionCallbacks callbacks) {
    auto call = [callbacks = std::move(callbacks)](HostSessionServer& server) mutable {
        server.setCallbacks(std::move(callbacks));
    };
    co_await onLoop(std::move(call));
}

asio::awaitable<void> SessionServerAdapter::updateHostState(std::optional<DisplayDescriptor> display,
                                                            bool accessibilityGranted,
                                                            std::optional<SavedWakeConfiguration> wakeConfiguration) {
    auto call = [display, accessibilityGranted, wakeConfiguration = std::move(wakeConfiguration)](
                    HostSessionServer& server) { server.updateHostState(display, accessibilityGranted, wakeConfiguration); };
    co_await onLoop(std::move(call));
}

asio::awaitable<void> SessionServerAdapter::updateWakeConfiguration(SavedWakeConfiguration wakeConfiguration) {
    auto call = [wakeConfiguration = std::move(wakeConfiguration)](HostSessionServer& server) {
        server.updateWakeConfiguration(wakeConfiguration);
    };
    co_await onLoop(std::move(call));
}

asio::awaitable<void> SessionServerAdapter::startListening(std::uint16_t port, bool publishesService) {
    identityService_->tlsIdentity();
    auto call = [port, publishesService](HostSessionServer& server) { server.startListening(port, publishesService); };
    co_await onLoop(std::move(call));
}

asio::awaitable<void> SessionServerAdapter::stop() {
    auto operation = [server = server_] { return server->stop(); };
    co_await callOnExecutor(loop_, std::move(operation));
}

asio::awaitable<void> SessionServerAdapter::reportSystemSleep(Date time) {
    auto operation = [server = server_, time] { return server->reportSystemSleep(time); };
    co_await callOnExecutor(loop_, std::move(operation));
}

asio::awaitable<void> SessionServerAdapter::distributeVideoFrame(std::shared_ptr<const EncodedVideoFrame> frame) {
    auto call = [frame = std::move(frame)](HostSessionServer& server) { server.distributeVideoFrame(frame); };
    co_await onLoop(std::move(call));
}

void SessionServerAdapter::distributeVideoFrameOnLoop(std::shared_ptr<const EncodedVideoFrame> frame) {
    server_->distributeVideoFrame(std::move(frame));
}

asio::awaitable<void> SessionServerAdapter::stopAllVideoStreams(VideoStreamStopReason reason, std::string detail) {
    auto call = [reason, detail = std::move(detail)](HostSessionServer& server) {
        server.stopAllVideoStreams(reason, detail);
    };
    co_await onLoop(std::move(call));
}

asio::awaitable<bool> SessionServerAdapter::hasStreamingViewer() {
    auto call = [](HostSessionServer& server) { return server.hasStreamingViewer(); };
    co_return co_await onLoop(std::move(call));
}

asio::awaitable<SessionServerPort::OutboundVideoStatistics> SessionServerAdapter::outboundVideoStatistics() {
    auto call = [](HostSessionServer& server) {
        const HostSessionServer::OutboundVideoStatistics statistics = server.outboundVideoStatistics();
        return OutboundVideoStatistics{statistics.largestVideoQueue, statistics.sentVideoFrames,
                                       statistics.droppedVideoFrames};
    };
    co_return co_await onLoop(std::move(call));
}

asio::awaitable<void> SessionServerAdapter::resolvePendingPairing(bool approved, Uuid pairingID) {
    auto call = [approved, pairingID](HostSessionServer& server) { server.resolvePendingPairing(approved, pairingID); };
    co_await onLoop(std::move(call));
}

asio::awaitable<void> SessionServerAdapter::revokeDevice(Uuid deviceID) {
    auto operation = [server = server_, deviceID] { return server->revokeDevice(deviceID); };
    co_await callOnExecutor(loop_, std::move(operation));
}

asio::awaitable<void> SessionServerAdapter::updateDevicePermissions(Uuid deviceID, DevicePermissions permissions) {
    auto operation = [server = server_, deviceID, permissions] {
        return server->updateDevicePermissions(deviceID, permissions);
    };
    co_await callOnExecutor(loop_, std::move(operation));
}

asio::awaitable<void> SessionServerAdapter::disconnectSession(Uuid deviceID, std::string reason) {
    auto operation = [server = server_, deviceID, reason = std::move(reason)] {
        return server->disconnectSession(deviceID, reason);
    };
    co_await callOnExecutor(loop_, std::move(operation));
}

asio::awaitable<void> SessionServerAdapter::disconnectAll(std::string reason) {
    auto operation = [server = server_, reason = std::move(reason)] { return server->disconnectAll(reason); };
    co_await callOnExecutor(loop_, std::move(operation));
}

} // namespace velorinth
