#pragma once

#include "core/WakeModels.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace velorinth {

// One UDP destination of a magic packet.
struct WakeUDPTarget {
    std::string ipv4Address;          // dotted quad; re-formatted when built by validated
    std::uint16_t port = 0;           // never 0 when built by validated
    bool isDirectedBroadcast = false; // the subnet's broadcast rather than the Mac's own address
    WakeInterfaceKind interfaceKind = WakeInterfaceKind::other;

    // Memberwise, unchecked: the transmitter checks again before it sends.
    WakeUDPTarget(std::string ipv4Address, std::uint16_t port, bool isDirectedBroadcast,
                  WakeInterfaceKind interfaceKind);

    // Checks, in order, a non-zero port, an address LocalIPv4Validator parses,
    // and a private or link-local address (loopback only when allowed); stores
    // the re-formatted address. Throws LocalWakeError invalidDestination.
    static WakeUDPTarget validated(std::string_view ipv4Address, std::uint16_t port, bool isDirectedBroadcast,
                                   WakeInterfaceKind interfaceKind, bool allowLoopback);

    bool operator==(const WakeUDPTarget&) const = default;
};

} // namespace velorinth

template <>
struct std::hash<velorinth::WakeUDPTarget> {
    std::size_t operator()(const velorinth::WakeUDPTarget& target) const noexcept;
};
