#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace velorinth {

// The delay schedule of listener restarts and reconnection attempts:
// initial × multiplier^n, capped at maximum, for attempts 0 … attemptLimit-1.
struct BackoffPolicy {
    using Duration = std::chrono::steady_clock::duration;

    Duration initial{};
    Duration maximum{};
    double multiplier = 1.0;
    int attemptLimit = 0;

    // No delay for a negative attempt or one at or past the limit: the caller
    // has run out of attempts.
    std::optional<Duration> delay(int attempt) const;

    bool operator==(const BackoffPolicy&) const = default;
};

// How the host restarts a failed listener: an address in use (the system's
// text, or the number 48 other systems report) soon and on any port; anything
// else after the backoff delay, 2 s once the policy has none, and on any port
// from the third attempt (attempt 2) on.
struct ListenerRestartPlan {
    using Duration = BackoffPolicy::Duration;

    static const BackoffPolicy policy; // 1 s, 8 s, 2.0, 6 attempts
    static constexpr Duration addressInUseDelay = std::chrono::milliseconds(100);
    static constexpr Duration exhaustedDelay = std::chrono::seconds(2);
    static constexpr int anyPortFromAttempt = 2;

    // `attempt` counts the restarts since the last advertising, from 0.
    static ListenerRestartPlan forFailure(std::string_view failureText, int attempt);

    Duration delay{};
    bool anyPort = false;

    bool operator==(const ListenerRestartPlan&) const = default;
};

} // namespace velorinth
