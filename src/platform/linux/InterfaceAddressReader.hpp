#pragma once

#include "platform/InterfaceAddress.hpp"

#include <optional>
#include <vector>

namespace velorinth {

// The system's interface address list (getifaddrs) as plain values, in the
// order the system gives it, for the network namespace of the calling thread.
struct InterfaceAddressReader {
    // None when the list cannot be had. Entries without an address are left
    // out; link entries carry their hardware address, inet and inet6 entries
    // their address and netmask, other families only their name and flags.
    // Never throws.
    static std::optional<std::vector<InterfaceAddress>> read() noexcept;
};

} // namespace velorinth
