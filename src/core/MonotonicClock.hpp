#pragma once

#include <asio/awaitable.hpp>

#include <chrono>
#include <memory>

namespace velorinth {

// The continuous clock of deadlines, delays and backoff: a reading and a
// sleep on it. Injected, so tests drive time instead of waiting for it.
class MonotonicClock {
public:
    using Duration = std::chrono::nanoseconds;

    virtual ~MonotonicClock() = default;

    // Time since an arbitrary start; never goes back.
    virtual Duration now() const = 0;
    // Returns once `duration` has passed (at once for zero or less); fails as
    // a cancellation (isCancellationError) when the awaiting task is cancelled.
    virtual asio::awaitable<void> sleep(Duration duration) = 0;

    // steady_clock with steady timers of the awaiting coroutine's executor.
    static std::shared_ptr<MonotonicClock> steady();
};

} // namespace velorinth
