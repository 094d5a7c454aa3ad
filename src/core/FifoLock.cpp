#include "core/FifoLock.hpp"

#include "core/Cancellation.hpp"
#include "core/Error.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/this_coro.hpp>

#include <algorithm>

namespace velorinth {

asio::awaitable<void> FifoLock::acquire() {
    if (!locked_) {
        locked_ = true;
        co_return;
    }
    const std::uint64_t waiter = ++lastWaiter_;
    waiters_.push_back(waiter);
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    // The signal returns at once for a cancelled task: each turn checks both.
    while (grantedTo_ != waiter && !isCancelled(caller)) co_await signal_.wait();
    if (grantedTo_ == waiter) {
        grantedTo_ = 0; // handed over first: the caller owns it and must release
        co_return;
    }
    std::erase(waiters_, waiter);
    throw CancellationError();
}

void FifoLock::release() {
    if (waiters_.empty()) {
        locked_ = false;
        return;
    }
    grantedTo_ = waiters_.front();
    waiters_.pop_front();
    signal_.notifyAll();
}

} // namespace velorinth
