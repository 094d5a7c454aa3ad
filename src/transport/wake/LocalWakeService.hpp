#pragma once

#include "core/Date.hpp"
#include "core/Json.hpp"
#include "core/Uuid.hpp"
#include "core/WakeModels.hpp"
#include "transport/wake/WakeDispatchPolicy.hpp"
#include "transport/wake/WakeMagicPacket.hpp"
#include "transport/wake/WakePacketTransmitter.hpp"
#include "transport/wake/WakeUDPTarget.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velorinth {

enum class WakeSignalStatus { wakeRequestSent };

// What one accepted dispatch did.
struct WakeDispatchOutcome {
    WakeSignalStatus status = WakeSignalStatus::wakeRequestSent;
    WakeRouteKind routeUsed = WakeRouteKind::directLocalNetwork;
    int datagramsSent = 0; // at least 1
    bool sleepProxyProbed = false;
    Date dispatchedAt;

    bool operator==(const WakeDispatchOutcome&) const = default;
};

// Wakes a Mac on the local network from its saved wake configuration: magic
// packets to every valid private or link-local destination of each interface,
// under a per-Mac rate limit, and a sleep-proxy probe when the Mac is
// eligible. Confined to the event loop of the executor it is given.
class LocalWakeService {
public:
    // Nanoseconds on a monotonic clock that keeps counting while the machine sleeps.
    using ContinuousClock = std::function<std::chrono::nanoseconds()>;

    // One interface's packet and its destinations, in sending order.
    struct PlannedInterface {
        WakeMagicPacket packet;
        std::vector<WakeUDPTarget> destinations; // never empty

        bool operator==(const PlannedInterface&) const = default;
    };
    using DispatchPlan = std::vector<PlannedInterface>;

    // Without a transmitter, datagrams go out through a POSIXUDPWakeTransmitter
    // with the policy's loopback flag.
    LocalWakeService(asio::any_io_executor executor, std::shared_ptr<WakePacketTransmitter> transmitter,
                     WakeDispatchPolicy policy, ContinuousClock clock = bootTime);

    // CLOCK_BOOTTIME.
    static std::chrono::nanoseconds bootTime();

    // Throws LocalWakeError or CancellationError. `now` only stamps the
    // outcome. Everything up to the slot reservation runs without suspending,
    // so overlapping dispatches for one Mac each see the other's slot; from
    // then on the slot stays taken whatever happens.
    asio::awaitable<WakeDispatchOutcome> dispatchWake(Uuid device, std::optional<SavedWakeConfiguration> configuration,
                                                      Date now);

    // Throws LocalWakeError noValidLocalTargets when no interface yields a
    // destination. Reads only the policy.
    DispatchPlan resolveTargets(const SavedWakeConfiguration& configuration) const;

    // Records a dispatch for `device` or throws LocalWakeError rateLimited; a
    // refusal changes nothing.
    void reserveDispatchSlot(const Uuid& device);

    const WakeDispatchPolicy& policy() const noexcept { return policy_; }

private:
    asio::any_io_executor executor_;
    std::shared_ptr<WakePacketTransmitter> transmitter_;
    WakeDispatchPolicy policy_;
    ContinuousClock clock_;
    // Per Mac, the instants of its accepted dispatches in the last minute, oldest first.
    std::unordered_map<Uuid, std::vector<std::chrono::nanoseconds>> dispatchHistoryByDevice_;
};

namespace json {

template <>
struct EnumNames<WakeSignalStatus> {
    static constexpr std::array<std::string_view, 1> names{"wakeRequestSent"};
};

} // namespace json
} // namespace velorinth
