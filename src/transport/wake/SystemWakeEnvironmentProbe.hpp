#pragma once

#include "core/Date.hpp"
#include "transport/wake/ObservedWakeEnvironment.hpp"

namespace velorinth {

// The source of the wake readiness service's observations.
class SystemWakeEnvironmentProbe {
public:
    virtual ~SystemWakeEnvironmentProbe() = default;

    // Reads the system on the calling thread; never throws: every failure
    // becomes an unknown or empty value. `observedAt` is `now`.
    virtual ObservedWakeEnvironment observe(Date now) = 0;
};

} // namespace velorinth
