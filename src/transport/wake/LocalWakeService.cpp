#include "transport/wake/LocalWakeService.hpp"

#include "core/Cancellation.hpp"
#include "core/Error.hpp"
#include "core/LoopAssert.hpp"
#include "transport/wake/LocalWakeError.hpp"
#include "transport/wake/POSIXUDPWakeTransmitter.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/this_coro.hpp>

#include <time.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace velorinth {

using namespace std::chrono_literals;

namespace {

constexpr auto kRateWindow = 60s;

// The validated destination, or none when the address or port is skipped.
std::optional<WakeUDPTarget> destination(const std::string& address, std::uint16_t port, bool broadcast,
                                         WakeInterfaceKind kind, bool allowLoopback) {
    try {
        return WakeUDPTarget::validated(address, port, broadcast, kind, allowLoopback);
    } catch (const LocalWakeError&) {
        return std::nullopt;
    }
}

// The interface's packet, or none when its hardware address (decoded, so
// unvalidated) is not a 6-byte unicast address.
std::optional<WakeMagicPacket> packetFor(const MACAddress& hardwareAddress) {
    try {
        return WakeMagicPacket(MACAddress(ByteView(hardwareAddress.bytes())));
    } catch (const WakeModelError&) {
        return std::nullopt;
    }
}

// Step 9's error when not one datagram went out.
[[noreturn]] void failAllSent(const std::exception_ptr& lastError) {
    constexpr const char* kAllFailed = "All local UDP wake transmissions failed.";
    if (!lastError) throw LocalWakeError::transmissionFailed(kAllFailed);
    try {
        std::rethrow_exception(lastError);
    } catch (const LocalWakeError&) {
        throw;
    } catch (const std::exception& other) {
        throw LocalWakeError::transmissionFailed(other.what());
    } catch (...) {
        throw LocalWakeError::transmissionFailed(kAllFailed);
    }
}

} // namespace

LocalWakeService::LocalWakeService(asio::any_io_executor executor, std::shared_ptr<WakePacketTransmitter> transmitter,
                                   WakeDispatchPolicy policy, ContinuousClock clock)
    : executor_(std::move(executor)),
      transmitter_(transmitter ? std::move(transmitter)
                               : std::make_shared<POSIXUDPWakeTransmitter>(policy.allowLoopbackForTesting())),
      policy_(std::move(policy)), clock_(std::move(clock)) {}

std::chrono::nanoseconds LocalWakeService::bootTime() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

asio::awaitable<WakeDispatchOutcome>
LocalWakeService::dispatchWake(Uuid device, std::optional<SavedWakeConfiguration> configuration, Date now) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    // Reading the state does not suspend: steps up to the reservation stay atomic on the loop.
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    if (isCancelled(caller)) throw CancellationError();
    if (!configuration) throw LocalWakeError(LocalWakeError::Case::noSavedWakeConfiguration);
    if (configuration->wakeForNetworkAccess == Evidence<bool>::verified(false)) {
        throw LocalWakeError(LocalWakeError::Case::noValidLocalTargets);
    }
    const DispatchPlan plan = resolveTargets(*configuration);
    reserveDispatchSlot(device);

    int sent = 0;
    bool sentOnEthernet = false;
    std::exception_ptr lastError;
    for (const PlannedInterface& planned : plan) {
        for (const WakeUDPTarget& target : planned.destinations) {
            if (isCancelled(caller)) throw CancellationError();
            try {
                co_await transmitter_->send(planned.packet, target);
                ++sent;
                sentOnEthernet = sentOnEthernet || target.interfaceKind == WakeInterfaceKind::ethernet;
            } catch (const CancellationError&) {
                throw;
            } catch (const asio::system_error& error) {
                // Asio's form of a cancelled await.
                if (isCancellation(error.code(), caller)) throw CancellationError();
                lastError = std::current_exception();
            } catch (...) {
                lastError = std::current_exception();
            }
        }
    }

    bool probed = false;
    if (configuration->sleepProxyEligible && configuration->bonjourServicePort) {
        const auto sorted = configuration->sortedTargets();
        const auto addressed = std::find_if(sorted.begin(), sorted.end(),
                                            [](const auto& target) { return target.ipv4Address.has_value(); });
        if (addressed != sorted.end()) {
            if (isCancelled(caller)) throw CancellationError();
            // A cancellation during the probe ends only the probe; the outcome stands.
            co_await transmitter_->probeSleepProxy(*addressed->ipv4Address, *configuration->bonjourServicePort,
                                                   policy_.sleepProxyProbeTimeout());
            probed = true;
        }
    }

    if (sent == 0) failAllSent(lastError);
    WakeDispatchOutcome outcome;
    outcome.routeUsed =
        probed && !sentOnEthernet ? WakeRouteKind::bonjourSleepProxy : WakeRouteKind::directLocalNetwork;
    outcome.datagramsSent = sent;
    outcome.sleepProxyProbed = probed;
    outcome.dispatchedAt = now;
    co_return outcome;
}

LocalWakeService::DispatchPlan LocalWakeService::resolveTargets(const SavedWakeConfiguration& configuration) const {
    if (configuration.targets.empty()) throw LocalWakeError(LocalWakeError::Case::noValidLocalTargets);
    const bool allowLoopback = policy_.allowLoopbackForTesting();
    DispatchPlan plan;
    for (const WakeNetworkInterfaceTarget& target : configuration.sortedTargets()) {
        std::optional<WakeMagicPacket> packet = packetFor(target.hardwareAddress);
        if (!packet) continue;
        std::vector<WakeUDPTarget> destinations;
        if (target.directedBroadcastAddress) {
            for (std::uint16_t port : policy_.udpPorts()) {
                auto broadcast = destination(*target.directedBroadcastAddress, port, true, target.kind, allowLoopback);
                if (broadcast) destinations.push_back(std::move(*broadcast));
            }
        }
        if (target.ipv4Address) {
            for (std::uint16_t port : policy_.udpPorts()) {
                auto unicast = destination(*target.ipv4Address, port, false, target.kind, allowLoopback);
                if (unicast && std::find(destinations.begin(), destinations.end(), *unicast) == destinations.end()) {
                    destinations.push_back(std::move(*unicast));
                }
            }
        }
        if (!destinations.empty()) plan.push_back(PlannedInterface{std::move(*packet), std::move(destinations)});
    }
    if (plan.empty()) throw LocalWakeError(LocalWakeError::Case::noValidLocalTargets);
    return plan;
}

void LocalWakeService::reserveDispatchSlot(const Uuid& device) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    const std::chrono::nanoseconds now = clock_();
    const std::chrono::nanoseconds windowStart = now - kRateWindow;
    std::vector<std::chrono::nanoseconds> remaining;
    const auto history = dispatchHistoryByDevice_.find(device);
    if (history != dispatchHistoryByDevice_.end()) {
        const auto& instants = history->second;
        std::copy_if(instants.begin(), instants.end(), std::back_inserter(remaining),
                     [&](std::chrono::nanoseconds instant) { return instant >= windowStart; });
        // The cooldown counts from the newest dispatch even when it has left
        // the window, so a cooldown above a minute is honoured too.
        if (!instants.empty() && now - instants.back() < policy_.minimumCooldown()) {
            throw LocalWakeError(LocalWakeError::Case::rateLimited);
        }
    }
    if (remaining.size() >= static_cast<std::size_t>(policy_.maxDispatchesPerMinute())) {
        throw LocalWakeError(LocalWakeError::Case::rateLimited);
    }
    remaining.push_back(now);
    dispatchHistoryByDevice_[device] = std::move(remaining);
}

} // namespace velorinth
