#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace velorinth {

// Monotonic uptime in nanoseconds, injected where rates are measured so tests
// drive their windows without sleeping.
using UptimeClock = std::function<std::uint64_t()>;

// steady_clock (CLOCK_MONOTONIC on Linux) in nanoseconds.
inline std::uint64_t steadyUptimeNs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

} // namespace velorinth
