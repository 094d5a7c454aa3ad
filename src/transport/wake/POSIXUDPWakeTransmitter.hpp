#pragma once

#include "transport/wake/WakePacketTransmitter.hpp"

namespace velorinth {

// Sends each magic packet as one UDP/IPv4 datagram from a fresh socket, and
// probes a sleep proxy with a plain TCP connection attempt. The system calls
// of a send run inline on the caller's loop: a datagram on a fresh
// non-blocking socket does not wait.
class POSIXUDPWakeTransmitter : public WakePacketTransmitter {
public:
    // With `allowLoopbackForTesting`, 127.0.0.0/8 counts as local.
    explicit POSIXUDPWakeTransmitter(bool allowLoopbackForTesting = false)
        : allowLoopbackForTesting_(allowLoopbackForTesting) {}

    asio::awaitable<void> send(WakeMagicPacket packet, WakeUDPTarget target) override;
    asio::awaitable<void> probeSleepProxy(std::string host, std::uint16_t port,
                                          std::chrono::nanoseconds timeout) override;

    bool allowLoopbackForTesting() const noexcept { return allowLoopbackForTesting_; }

private:
    bool allowLoopbackForTesting_;
};

} // namespace velorinth
