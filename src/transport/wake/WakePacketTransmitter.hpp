#pragma once

#include "transport/wake/WakeMagicPacket.hpp"
#include "transport/wake/WakeUDPTarget.hpp"

#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace velorinth {

// Sends magic packets and prods a sleep proxy for the local wake service.
class WakePacketTransmitter {
public:
    virtual ~WakePacketTransmitter() = default;

    // One datagram carrying the packet's payload to `target`. Throws
    // LocalWakeError, or CancellationError when its task was cancelled.
    virtual asio::awaitable<void> send(WakeMagicPacket packet, WakeUDPTarget target) = 0;

    // One TCP connection attempt to host:port, held for `timeout` and then
    // dropped; its outcome is not looked at. Never throws.
    virtual asio::awaitable<void> probeSleepProxy(std::string host, std::uint16_t port,
                                                  std::chrono::nanoseconds timeout) = 0;
};

} // namespace velorinth
