#pragma once

#include "core/Date.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/WakeModels.hpp"

#include <optional>

namespace velorinth {

// Judges from a saved wake configuration whether and how the Mac can be
// woken. The host shows the category and texts; the tablet reads the route.
struct WakeReadinessEvaluator {
    static constexpr double kDefaultMaxEvidenceAgeSeconds = 604800; // one week
    // A verified wake dated further in the future than this counts as expired,
    // so a peer's bad clock cannot pin the evidence as fresh forever.
    static constexpr double kFutureToleranceSeconds = 300;

    // Pure; never fails.
    static WakeCapabilityEvaluation evaluate(HostAvailability availability,
                                             const std::optional<SavedWakeConfiguration>& configuration,
                                             bool relayPaired, bool awayFromHome, Date now,
                                             double maxEvidenceAgeSeconds = kDefaultMaxEvidenceAgeSeconds);
};

} // namespace velorinth
