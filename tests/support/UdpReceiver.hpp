#pragma once

#include "core/Bytes.hpp"

#include <cstdint>

namespace velorinth::testing {

// A UDP socket bound to every local address (one on 127.0.0.1 would miss a
// broadcast), for tests that check what datagrams arrive.
class UdpReceiver {
public:
    // Port 0 picks an ephemeral one.
    explicit UdpReceiver(std::uint16_t port = 0);
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    std::uint16_t port() const noexcept { return port_; }

    // The next datagram, waiting a few seconds at most; empty when none came.
    Bytes next();
    // Whether nothing arrived before a marker this sends to itself now.
    bool nothingArrived();

private:
    int descriptor_;
    std::uint16_t port_ = 0;
};

} // namespace velorinth::testing
