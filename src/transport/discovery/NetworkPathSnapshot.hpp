#pragma once

#include "core/Json.hpp"
#include "platform/NetworkPathReport.hpp"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

enum class NetworkPathSatisfaction { satisfied, unsatisfied, requiresConnection };

// "satisfied", "unsatisfied", "requiresConnection".
std::string_view rawValue(NetworkPathSatisfaction satisfaction) noexcept;
// None for any other text (the comparison is case-sensitive).
std::optional<NetworkPathSatisfaction> networkPathSatisfaction(std::string_view rawValue) noexcept;

namespace json {
template <>
struct EnumNames<NetworkPathSatisfaction> {
    static constexpr std::array<std::string_view, 3> names{"satisfied", "unsatisfied", "requiresConnection"};
};
} // namespace json

// The current network path as a small comparable value. `interfaceNames` is
// always sorted: both ways of making a snapshot sort it.
struct NetworkPathSnapshot {
    NetworkPathSatisfaction satisfaction = NetworkPathSatisfaction::unsatisfied;
    bool usesWiFi = false;
    bool usesCellular = false;
    bool usesWiredEthernet = false;
    bool usesVPNOrTunnel = false;
    std::vector<std::string> interfaceNames;
    bool supportsIPv4 = false;
    bool supportsIPv6 = false;

    NetworkPathSnapshot() = default;
    NetworkPathSnapshot(NetworkPathSatisfaction satisfaction, bool usesWiFi, bool usesCellular, bool usesWiredEthernet,
                        bool usesVPNOrTunnel, std::vector<std::string> interfaceNames, bool supportsIPv4,
                        bool supportsIPv6);
    // From the system's path: a VPN or tunnel is an available interface of
    // type other, or one named utun…, ipsec… or ppp….
    explicit NetworkPathSnapshot(const NetworkPathReport& path);

    bool isSatisfied() const noexcept { return satisfaction == NetworkPathSatisfaction::satisfied; }

    // The text that tells path changes apart, e.g.
    // "satisfied|wifi:true|cell:false|eth:false|vpn:true|if:en0,utun3";
    // IPv4 and IPv6 support are not part of it.
    std::string description() const;

    bool operator==(const NetworkPathSnapshot&) const = default;
};

} // namespace velorinth

template <>
struct std::hash<velorinth::NetworkPathSatisfaction> {
    std::size_t operator()(velorinth::NetworkPathSatisfaction satisfaction) const noexcept {
        return std::hash<std::string_view>{}(velorinth::rawValue(satisfaction));
    }
};
