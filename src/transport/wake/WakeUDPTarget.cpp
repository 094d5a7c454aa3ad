#include "transport/wake/WakeUDPTarget.hpp"

#include "transport/wake/LocalWakeError.hpp"

#include <utility>

namespace velorinth {

WakeUDPTarget::WakeUDPTarget(std::string ipv4Address, std::uint16_t port, bool isDirectedBroadcast,
                             WakeInterfaceKind interfaceKind)
    : ipv4Address(std::move(ipv4Address)), port(port), isDirectedBroadcast(isDirectedBroadcast),
      interfaceKind(interfaceKind) {}

WakeUDPTarget WakeUDPTarget::validated(std::string_view ipv4Address, std::uint16_t port, bool isDirectedBroadcast,
                                       WakeInterfaceKind interfaceKind, bool allowLoopback) {
    if (port == 0) throw LocalWakeError::invalidDestination("UDP wake port must be non-zero.");
    std::uint32_t address = 0;
    try {
        address = LocalIPv4Validator::parse(ipv4Address);
    } catch (const WakeModelError&) {
        throw LocalWakeError::invalidDestination("Malformed IPv4 destination.");
    }
    if (!LocalIPv4Validator::isLocal(address, allowLoopback)) {
        throw LocalWakeError::invalidDestination("Destination " + std::string(ipv4Address) +
                                                 " is outside private LAN / link-local ranges.");
    }
    return WakeUDPTarget(LocalIPv4Validator::format(address), port, isDirectedBroadcast, interfaceKind);
}

} // namespace velorinth

std::size_t std::hash<velorinth::WakeUDPTarget>::operator()(const velorinth::WakeUDPTarget& target) const noexcept {
    auto combine = [](std::size_t seed, std::size_t value) {
        return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
    };
    std::size_t seed = std::hash<std::string>{}(target.ipv4Address);
    seed = combine(seed, std::hash<std::uint16_t>{}(target.port));
    seed = combine(seed, std::hash<bool>{}(target.isDirectedBroadcast));
    return combine(seed, std::hash<std::string_view>{}(velorinth::json::caseName(target.interfaceKind)));
}
