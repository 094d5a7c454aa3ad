#include "transport/client/FirstFrameGate.hpp"

#include "core/Cancellation.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>

namespace velorinth {

void FirstFrameGate::resolve(Outcome outcome) {
    std::vector<Waiter> taken;
    {
        std::lock_guard guard(lock_);
        if (resolved_) return;
        resolved_ = std::move(outcome);
        taken.swap(waiters_);
    }
    // Each timer is touched only on its waiter's executor.
    for (const Waiter& waiter : taken) {
        asio::post(waiter.executor, [wakeup = waiter.wakeup] { wakeup->cancel(); });
    }
}

std::optional<FirstFrameGate::Outcome> FirstFrameGate::resolvedOutcome() const {
    std::lock_guard guard(lock_);
    return resolved_;
}

asio::awaitable<FirstFrameGate::Outcome> FirstFrameGate::wait() {
    const asio::any_io_executor executor = co_await asio::this_coro::executor;
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    auto wakeup = std::make_shared<asio::steady_timer>(executor, asio::steady_timer::time_point::max());
    std::uint64_t id = 0;
    {
        std::lock_guard guard(lock_);
        if (resolved_) co_return *resolved_;
        id = ++nextWaiter_;
        waiters_.push_back({id, executor, wakeup});
    }
    asio::error_code ignored;
    bool interrupted = false;
    try {
        co_await wakeup->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    } catch (...) {
        interrupted = true; // awaited after this task's cancellation
    }
    std::lock_guard guard(lock_);
    if (resolved_ && !interrupted && !isCancelled(caller)) co_return *resolved_;
    std::erase_if(waiters_, [id](const Waiter& waiter) { return waiter.id == id; });
    throw CancellationError();
}

} // namespace velorinth
