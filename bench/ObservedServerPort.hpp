#pragma once

// The host's server port as built, with a look at what reaches it: each frame
// as it is handed to the server, and the callbacks the model gives it.

#include "core/WorkerCall.hpp"
#include "host/model/SessionServerAdapter.hpp"

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace velorinth::bench {

class ObservedServerPort final : public SessionServerPort {
public:
    // On the server's loop, before the frame is distributed.
    using FrameObserver = std::function<void(const EncodedVideoFrame&)>;
    // Given the model's callbacks, the ones the server gets.
    using CallbackWrapper = std::function<HostSessionCallbacks(HostSessionCallbacks)>;

    ObservedServerPort(std::shared_ptr<SessionServerAdapter> inner, FrameObserver onFrame,
                       CallbackWrapper wrapCallbacks = {})
        : inner_(std::move(inner)), onFrame_(std::move(onFrame)), wrapCallbacks_(std::move(wrapCallbacks)) {}

    asio::awaitable<void> setCallbacks(HostSessionCallbacks callbacks) override {
        return inner_->setCallbacks(wrapCallbacks_ ? wrapCallbacks_(std::move(callbacks)) : std::move(callbacks));
    }
    asio::awaitable<void> updateHostState(std::optional<DisplayDescriptor> d, bool a,
                                          std::optional<SavedWakeConfiguration> w) override {
        return inner_->updateHostState(d, a, std::move(w));
    }
    asio::awaitable<void> updateWakeConfiguration(SavedWakeConfiguration w) override {
        return inner_->updateWakeConfiguration(std::move(w));
    }
    asio::awaitable<void> startListening(std::uint16_t p, bool s) override { return inner_->startListening(p, s); }
    asio::awaitable<void> stop() override { return inner_->stop(); }
    asio::awaitable<void> reportSystemSleep(Date t) override { return inner_->reportSystemSleep(t); }
    asio::awaitable<void> distributeVideoFrame(std::shared_ptr<const EncodedVideoFrame> frame) override {
        auto operation = [this, frame]() -> asio::awaitable<void> {
            distributeVideoFrameOnLoop(frame);
            co_return;
        };
        return callOnExecutor(inner_->loopExecutor(), std::move(operation));
    }
    asio::awaitable<void> stopAllVideoStreams(VideoStreamStopReason r, std::string d) override {
        return inner_->stopAllVideoStreams(r, std::move(d));
    }
    asio::awaitable<bool> hasStreamingViewer() override { return inner_->hasStreamingViewer(); }
    asio::awaitable<OutboundVideoStatistics> outboundVideoStatistics() override {
        return inner_->outboundVideoStatistics();
    }
    asio::awaitable<void> resolvePendingPairing(bool a, Uuid id) override {
        return inner_->resolvePendingPairing(a, id);
    }
    asio::awaitable<void> revokeDevice(Uuid id) override { return inner_->revokeDevice(id); }
    asio::awaitable<void> updateDevicePermissions(Uuid id, DevicePermissions p) override {
        return inner_->updateDevicePermissions(id, p);
    }
    asio::awaitable<void> disconnectSession(Uuid id, std::string r) override {
        return inner_->disconnectSession(id, std::move(r));
    }
    asio::awaitable<void> disconnectAll(std::string r) override { return inner_->disconnectAll(std::move(r)); }
    asio::any_io_executor loopExecutor() override { return inner_->loopExecutor(); }
    void distributeVideoFrameOnLoop(std::shared_ptr<const EncodedVideoFrame> frame) override {
        if (onFrame_) onFrame_(*frame);
        inner_->distributeVideoFrameOnLoop(std::move(frame));
    }

    const std::shared_ptr<SessionServerAdapter>& inner() const { return inner_; }

private:
    const std::shared_ptr<SessionServerAdapter> inner_;
    const FrameObserver onFrame_;
    const CallbackWrapper wrapCallbacks_;
};

} // namespace velorinth::bench
