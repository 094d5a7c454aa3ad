#pragma once

#include "core/BackoffPolicy.hpp"

#include <chrono>
#include <optional>

namespace velorinth {

// Every time limit and delay of a wake-and-connect run; the caller chooses
// them all (no defaults).
struct WakeConnectTimingPolicy {
    using Duration = std::chrono::nanoseconds;

    // Each connect attempt before a wake; the first relay wake request
    // (raised to 4 s); the relay's retry bursts, unchanged.
    Duration initialConnectTimeout;
    // How long after the wake request the run keeps trying.
    Duration wakeWaitTimeout;
    // Delays between polling cycles; its attempt limit bounds the cycles.
    BackoffPolicy pollBackoff;
    // From this long after waiting began, each cycle sends another burst;
    // none sends only the first.
    std::optional<Duration> retryWakeBurstDelay;
    // Bursts in all, the first included.
    int maxWakeBursts;
    // Upper limit of each connect attempt while waiting (never below 2 s).
    Duration authenticationTimeout;
    Duration firstFrameTimeout;
    // Whether the saved wake configuration's addresses may become candidates.
    bool allowSavedDirectEndpointFallback;

    // `maxWakeBursts` is clamped into 1...3 here; assigning the field later
    // keeps the value as it is.
    WakeConnectTimingPolicy(Duration initialConnectTimeout, Duration wakeWaitTimeout, BackoffPolicy pollBackoff,
                            std::optional<Duration> retryWakeBurstDelay, int maxWakeBursts,
                            Duration authenticationTimeout, Duration firstFrameTimeout,
                            bool allowSavedDirectEndpointFallback)
        : initialConnectTimeout(initialConnectTimeout), wakeWaitTimeout(wakeWaitTimeout), pollBackoff(pollBackoff),
          retryWakeBurstDelay(retryWakeBurstDelay), maxWakeBursts(maxWakeBursts < 1 ? 1 : (maxWakeBursts > 3 ? 3 : maxWakeBursts)),
          authenticationTimeout(authenticationTimeout), firstFrameTimeout(firstFrameTimeout),
          allowSavedDirectEndpointFallback(allowSavedDirectEndpointFallback) {}

    bool operator==(const WakeConnectTimingPolicy&) const = default;
};

} // namespace velorinth
