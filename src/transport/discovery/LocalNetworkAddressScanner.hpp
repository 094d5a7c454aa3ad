#pragma once

#include "platform/InterfaceAddress.hpp"

#include <string>
#include <vector>

namespace velorinth {

// The host's IPv4 addresses for its BLE beacon, most preferred first.
struct LocalNetworkAddressScanner {
    struct Entry {
        InterfaceAddress address;
        bool physical = false; // see LocalInterfaces::isPhysical
    };

    // The system's list now; empty when it cannot be read. Any thread.
    static std::vector<std::string> currentIPv4Addresses();

    // Keeps IPv4 entries of interfaces that are up and running and not
    // loopback, without 127.x, "0.0.0.0" and repeats. Addresses of physical
    // interfaces go to the front as they are found (so the last one found
    // comes first), the others follow in the order found.
    static std::vector<std::string> orderedIPv4Addresses(const std::vector<Entry>& entries);
};

} // namespace velorinth
