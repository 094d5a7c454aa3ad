#include "transport/client/SerializedSendLock.hpp"

#include "core/Error.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>

namespace velorinth {

SerializedSendLock::Waiter::Waiter(const asio::any_io_executor& executor)
    : wake(executor, asio::steady_timer::time_point::max()) {}

SerializedSendLock::SerializedSendLock(asio::any_io_executor executor) : executor_(std::move(executor)) {}

asio::awaitable<void> SerializedSendLock::acquire() {
    if (!locked_) {
        locked_ = true;
        co_return;
    }
    auto waiter = std::make_shared<Waiter>(executor_);
    waiters_.push_back(waiter);
    bool cancelled = false;
    try {
        const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
        while (!waiter->granted) {
            // A cancellation that came before this wait started would not end it.
            if (state.cancelled() != asio::cancellation_type::none) {
                cancelled = true;
                break;
            }
            asio::error_code woken; // operation_aborted both for the hand-over and a cancellation
            co_await waiter->wake.async_wait(asio::redirect_error(asio::use_awaitable, woken));
        }
    } catch (...) {
        // Awaiting after a cancellation throws before the wait begins. A lock
        // handed over just before is kept: the caller owns it and must release.
        cancelled = !waiter->granted;
    }
    if (cancelled) {
        forget(waiter);
        throw CancellationError();
    }
}

void SerializedSendLock::release() {
    if (waiters_.empty()) {
        locked_ = false;
        return;
    }
    std::shared_ptr<Waiter> next = std::move(waiters_.front());
    waiters_.pop_front();
    next->granted = true;
    next->wake.cancel();
}

void SerializedSendLock::forget(const std::shared_ptr<Waiter>& waiter) {
    waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
}

} // namespace velorinth
