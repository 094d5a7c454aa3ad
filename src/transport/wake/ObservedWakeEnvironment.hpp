#pragma once

#include "core/Date.hpp"
#include "core/WakeModels.hpp"

#include <vector>

namespace velorinth {

// How this machine can be woken over the network, as observed at one moment.
struct ObservedWakeEnvironment {
    PowerSourceCondition powerSource = PowerSourceCondition::unknown;
    PowerStateEvidence powerState = PowerStateEvidence::awake; // awake or displayAsleep only
    Evidence<bool> wakeForNetworkAccess;                       // verified or unknown only
    bool wakeOnlyOnACPower = false;
    std::vector<WakeNetworkInterfaceTarget> interfaces; // in sortedTargets order
    bool sleepProxyEligible = false;
    Date observedAt;

    bool operator==(const ObservedWakeEnvironment&) const = default;
};

} // namespace velorinth
