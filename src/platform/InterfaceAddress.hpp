#pragma once

#include "core/Bytes.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace velorinth {

enum class InterfaceAddressFamily { link, inet, inet6, other };

// A netmask as the system lists it, with its own family.
struct InterfaceNetmask {
    InterfaceAddressFamily family = InterfaceAddressFamily::other;
    Bytes bytes; // 4 for inet, 16 for inet6; empty otherwise

    bool operator==(const InterfaceNetmask&) const = default;
};

// One entry of the system's interface address list, in list order.
struct InterfaceAddress {
    std::string name;   // as listed, labels included ("eth0:1")
    unsigned flags = 0; // IFF_* bits
    InterfaceAddressFamily family = InterfaceAddressFamily::other;
    // link: the hardware address (its own length, at most 8 bytes); inet: 4
    // bytes; inet6: 16 bytes; other: empty. Network byte order.
    Bytes address;
    std::optional<InterfaceNetmask> netmask;
    std::uint32_t scopeId = 0; // inet6 only

    bool operator==(const InterfaceAddress&) const = default;
};

} // namespace velorinth
