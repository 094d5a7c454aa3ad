#pragma once

#include "transport/discovery/NetworkPathSnapshot.hpp"

#include <functional>

namespace velorinth {

// A source of network path snapshots.
class NetworkPathObserving {
public:
    using Handler = std::function<void(const NetworkPathSnapshot&)>;

    virtual ~NetworkPathObserving() = default;

    // Delivers snapshots to `handler`, replacing any earlier monitoring of
    // this object.
    virtual void startMonitoring(Handler handler) = 0;
    // Ends delivery.
    virtual void stopMonitoring() = 0;
};

} // namespace velorinth
