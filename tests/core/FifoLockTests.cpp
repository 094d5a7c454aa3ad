#include "core/FifoLock.hpp"

#include "core/Error.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;

// Takes the lock, notes its turn, holds it until `hold` is cancelled (or
// across one suspension without one), releases.
asio::awaitable<void> take(FifoLock& lock, std::vector<std::string>& order, std::string name,
                           asio::steady_timer* hold = nullptr) {
    try {
        co_await lock.acquire();
    } catch (const CancellationError&) {
        order.push_back(name + " cancelled");
        co_return;
    }
    FifoLock::Holder holder(lock);
    order.push_back(name);
    asio::error_code ignored;
    if (hold != nullptr) co_await hold->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
}

// Hand-over is strictly in arrival order, even against a newcomer that asks
// while the lock passes between waiters; a cancelled waiter leaves the queue
// without taking a turn or holding the lock back.
TEST(FifoLock, HandsOverInArrivalOrderAndACancelledWaiterLeavesTheQueue) {
    asio::io_context io;
    FifoLock lock(io.get_executor());
    std::vector<std::string> order;
    asio::steady_timer hold(io, asio::steady_timer::time_point::max());
    asio::cancellation_signal cancelB;
    asio::co_spawn(io, take(lock, order, "A", &hold), asio::detached);
    io.poll();
    asio::co_spawn(io, take(lock, order, "B"), asio::bind_cancellation_slot(cancelB.slot(), asio::detached));
    asio::co_spawn(io, take(lock, order, "C"), asio::detached);
    asio::co_spawn(io, take(lock, order, "D"), asio::detached);
    io.poll();
    EXPECT_EQ(lock.waiterCount(), 3u);
    cancelB.emit(asio::cancellation_type::terminal);
    io.poll();
    EXPECT_EQ(lock.waiterCount(), 2u);
    hold.cancel();
    asio::co_spawn(io, take(lock, order, "E"), asio::detached);
    io.run_for(1s);
    EXPECT_EQ(order, (std::vector<std::string>{"A", "B cancelled", "C", "D", "E"}));
    EXPECT_FALSE(lock.isLocked());
    EXPECT_EQ(lock.waiterCount(), 0u);
}

} // namespace
} // namespace velorinth
