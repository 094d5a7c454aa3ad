#include "support/VirtualMonotonicClock.hpp"

#include "core/Cancellation.hpp"

#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace velorinth::testing {

asio::awaitable<void> VirtualMonotonicClock::sleep(Duration duration) {
    sleeps.push_back(duration);
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    if (holdFrom && duration >= *holdFrom) {
        while (!isCancelled(caller)) co_await parked_.wait();
        throw CancellationError();
    }
    now_ += std::max(duration, Duration::zero());
    const asio::any_io_executor executor = co_await asio::this_coro::executor;
    co_await asio::post(executor, asio::use_awaitable);
    if (isCancelled(caller)) throw CancellationError();
}

} // namespace velorinth::testing
