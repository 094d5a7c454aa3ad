#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace velorinth {

// The local wake rules of whoever holds a local wake service (the tablet's
// wake environment, the relay program).
class WakeDispatchPolicy {
public:
    // An empty port list becomes [9]; a per-minute limit below 1 becomes 1.
    // Everything else is kept as given (a list of only 0 yields no destination).
    WakeDispatchPolicy(std::vector<std::uint16_t> udpPorts, std::chrono::nanoseconds minimumCooldown,
                       int maxDispatchesPerMinute, std::chrono::nanoseconds sleepProxyProbeTimeout,
                       bool allowLoopbackForTesting);

    // Port 9, 2 s apart, 6 a minute (room for two wake-and-connect runs of up
    // to 3 bursts), probes held 2 s, no loopback.
    static WakeDispatchPolicy standard();

    const std::vector<std::uint16_t>& udpPorts() const noexcept { return udpPorts_; }
    std::chrono::nanoseconds minimumCooldown() const noexcept { return minimumCooldown_; }
    int maxDispatchesPerMinute() const noexcept { return maxDispatchesPerMinute_; }
    std::chrono::nanoseconds sleepProxyProbeTimeout() const noexcept { return sleepProxyProbeTimeout_; }
    bool allowLoopbackForTesting() const noexcept { return allowLoopbackForTesting_; }

    bool operator==(const WakeDispatchPolicy&) const = default;

private:
    std::vector<std::uint16_t> udpPorts_;
    std::chrono::nanoseconds minimumCooldown_;
    int maxDispatchesPerMinute_;
    std::chrono::nanoseconds sleepProxyProbeTimeout_;
    bool allowLoopbackForTesting_;
};

} // namespace velorinth
