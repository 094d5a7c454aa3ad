#pragma once

#include <string>
#include <vector>

namespace velorinth {

// What kind of link an interface is.
enum class NetworkInterfaceType { wifi, cellular, wiredEthernet, other };

// The system's view of the current network path: whether it can be used, the
// interfaces that carry it and what it can carry.
struct NetworkPathReport {
    enum class Status { satisfied, unsatisfied, requiresConnection };
    struct Interface {
        std::string name;
        NetworkInterfaceType type = NetworkInterfaceType::other;
        bool operator==(const Interface&) const = default;
    };

    Status status = Status::unsatisfied;
    std::vector<Interface> availableInterfaces; // in interface index order
    std::vector<NetworkInterfaceType> usedInterfaceTypes; // each type once
    bool supportsIPv4 = false;
    bool supportsIPv6 = false;

    bool usesInterfaceType(NetworkInterfaceType type) const {
        for (NetworkInterfaceType used : usedInterfaceTypes) {
            if (used == type) return true;
        }
        return false;
    }

    bool operator==(const NetworkPathReport&) const = default;
};

} // namespace velorinth
