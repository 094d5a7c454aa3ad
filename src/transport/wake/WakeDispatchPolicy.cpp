#include "transport/wake/WakeDispatchPolicy.hpp"

#include <algorithm>
#include <utility>

namespace velorinth {

using namespace std::chrono_literals;

WakeDispatchPolicy::WakeDispatchPolicy(std::vector<std::uint16_t> udpPorts, std::chrono::nanoseconds minimumCooldown,
                                       int maxDispatchesPerMinute, std::chrono::nanoseconds sleepProxyProbeTimeout,
                                       bool allowLoopbackForTesting)
    : udpPorts_(udpPorts.empty() ? std::vector<std::uint16_t>{9} : std::move(udpPorts)),
      minimumCooldown_(minimumCooldown), maxDispatchesPerMinute_(std::max(maxDispatchesPerMinute, 1)),
      sleepProxyProbeTimeout_(sleepProxyProbeTimeout), allowLoopbackForTesting_(allowLoopbackForTesting) {}

WakeDispatchPolicy WakeDispatchPolicy::standard() { return WakeDispatchPolicy({9}, 2s, 6, 2s, false); }

} // namespace velorinth
