#pragma once

#include "core/RemoteEndpoint.hpp"
#include "transport/wake/LocalWakeService.hpp"

#include <asio/awaitable.hpp>

#include <chrono>

namespace velorinth {

// How the wake-and-connect coordinator asks a paired wake relay to wake its
// Mac; the relay client is the one real implementation.
class WakeRelayDispatching {
public:
    using Duration = std::chrono::nanoseconds;

    virtual ~WakeRelayDispatching() = default;

    // One signed wake request to the relay of `configuration`, each network
    // step bounded by `timeout`; the outcome's route is externalWakeRelay.
    // Fails with WakeRelayClientError, or as a cancellation.
    virtual asio::awaitable<WakeDispatchOutcome> sendWakeSignal(PairedWakeRelayConfiguration configuration,
                                                                Duration timeout) = 0;
};

} // namespace velorinth
