#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <vector>

namespace velorinth {

// The one way a coroutine of the event loop waits for another's news: it
// parks until notifyAll, its bound passes or its own task is cancelled, then
// re-checks its condition (a wake-up carries no data). Each waiter parks on a
// timer of its own, so bounds differ per waiter. Loop thread only.
class LoopSignal {
public:
    using Duration = std::chrono::steady_clock::duration;

    explicit LoopSignal(asio::any_io_executor executor) : executor_(std::move(executor)) {}
    LoopSignal(const LoopSignal&) = delete;
    LoopSignal& operator=(const LoopSignal&) = delete;

    // False when the bound passed; true when woken or cancelled. Never throws
    // for either.
    asio::awaitable<bool> wait(Duration bound = Duration::max());

    // Wakes every waiter parked now.
    void notifyAll();

    bool hasWaiters() const noexcept { return !parked_.empty(); }

private:
    asio::any_io_executor executor_;
    std::vector<asio::steady_timer*> parked_;
};

} // namespace velorinth
