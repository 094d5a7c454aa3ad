#pragma once

#include "core/LoopSignal.hpp"
#include "transport/wake/WakePacketTransmitter.hpp"

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace velorinth::testing {

// A transmitter that sends nothing: it records every send and probe, fails
// the sends it is told to, and can hold sends until released. Loop thread only.
class FakeWakePacketTransmitter : public WakePacketTransmitter {
public:
    struct Send {
        WakeMagicPacket packet;
        WakeUDPTarget target;
    };
    struct Probe {
        std::string host;
        std::uint16_t port;
        std::chrono::nanoseconds timeout;
    };

    explicit FakeWakePacketTransmitter(asio::any_io_executor executor) : released_(std::move(executor)) {}

    asio::awaitable<void> send(WakeMagicPacket packet, WakeUDPTarget target) override;
    asio::awaitable<void> probeSleepProxy(std::string host, std::uint16_t port,
                                          std::chrono::nanoseconds timeout) override;

    // Every send asked for, in order, failed ones included.
    const std::vector<Send>& attempts() const noexcept { return attempts_; }
    // The sends that succeeded.
    const std::vector<Send>& sent() const noexcept { return sent_; }
    const std::vector<Probe>& probes() const noexcept { return probes_; }
    // "send" and "probe" in the order they were asked for.
    const std::vector<std::string>& calls() const noexcept { return calls_; }

    // The attempt with this index (from 0) fails with `error`.
    void failSend(std::size_t index, std::exception_ptr error) { failures_[index] = std::move(error); }
    // Every attempt without its own failure fails with `error`.
    void failEverySend(std::exception_ptr error) { everySendFails_ = std::move(error); }
    // Called after each successful send, before it returns.
    void afterSend(std::function<void(const Send&)> hook) { afterSend_ = std::move(hook); }

    // Later sends park until releaseSends; a parked send whose task is
    // cancelled throws CancellationError.
    void holdSends() { holding_ = true; }
    void releaseSends();
    std::size_t heldSends() const noexcept { return held_; }

private:
    LoopSignal released_;
    bool holding_ = false;
    std::size_t held_ = 0;
    std::map<std::size_t, std::exception_ptr> failures_;
    std::exception_ptr everySendFails_;
    std::function<void(const Send&)> afterSend_;
    std::vector<Send> attempts_;
    std::vector<Send> sent_;
    std::vector<Probe> probes_;
    std::vector<std::string> calls_;
};

} // namespace velorinth::testing
