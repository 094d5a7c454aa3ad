#pragma once

#include "core/Uuid.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// The BLE proximity beacon as the host model drives it. Each call hands its
// work over and returns at once; UI thread.
class BeaconPort {
public:
    virtual ~BeaconPort() = default;

    virtual void start(const Uuid& id, std::string name, std::uint16_t port, std::vector<std::string> addresses) = 0;
    virtual void stop() = 0;
    virtual void updateNetworkInfo(std::vector<std::string> addresses, std::optional<std::uint16_t> port) = 0;
};

} // namespace velorinth
