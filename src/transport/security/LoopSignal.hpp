#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace velorinth {

// Wakes every coroutine of one event loop that waits on it. Waiters re-check
// their own condition after waking: a wake-up carries no data, and a waiter
// may also return because its caller cancelled it. Loop thread only.
class LoopSignal {
public:
    explicit LoopSignal(const asio::any_io_executor& executor)
        : timer_(executor, asio::steady_timer::time_point::max()) {}

    asio::awaitable<void> wait() {
        asio::error_code woken; // operation_aborted both when notified and when cancelled
        co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, woken));
    }

    void notifyAll() { timer_.cancel(); }

private:
    asio::steady_timer timer_; // never expires; cancelling it is the wake-up
};

} // namespace velorinth
