#pragma once

#include "platform/InterfaceAddress.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace velorinth {

// This machine's network interfaces as the system lists them now.
struct LocalInterfaces {
    // The interface address list in the system's order; none when it cannot
    // be read. Never throws.
    static std::optional<std::vector<InterfaceAddress>> addresses() noexcept;
    // Whether the interface is backed by a device (Ethernet, Wi-Fi, a USB
    // adapter) rather than virtual (a bridge, veth, a tunnel). A label such as
    // "eth0:1" is looked up as "eth0". Never throws.
    static bool isPhysical(std::string_view name) noexcept;
};

} // namespace velorinth
