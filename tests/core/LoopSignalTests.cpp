#include "core/LoopSignal.hpp"

#include "support/LoopRunner.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <gtest/gtest.h>

#include <deque>
#include <optional>

namespace velorinth::testing {
namespace {

// A coroutine's parameters live in its frame (a lambda's captures would not).
asio::awaitable<void> waitInto(LoopSignal& signal, LoopSignal::Duration bound, std::optional<bool>& result) {
    result = co_await signal.wait(bound);
}

// What each of several waiters returned, as they end.
struct Waiters {
    std::deque<std::optional<bool>> results; // stable addresses

    void park(LoopRunner& loop, LoopSignal& signal, LoopSignal::Duration bound = LoopSignal::Duration::max(),
              asio::cancellation_signal* cancel = nullptr) {
        std::optional<bool>& result = results.emplace_back();
        if (cancel != nullptr) {
            asio::co_spawn(loop.io, waitInto(signal, bound, result),
                           asio::bind_cancellation_slot(cancel->slot(), [](std::exception_ptr) {}));
        } else {
            asio::co_spawn(loop.io, waitInto(signal, bound, result), [](std::exception_ptr) {});
        }
    }
};

TEST(LoopSignal, NotifyWakesEveryParkedWaiterAndOnlyThem) {
    LoopRunner loop;
    LoopSignal signal(loop.io.get_executor());
    signal.notifyAll(); // nobody parked: remembered by nobody
    Waiters waiters;
    waiters.park(loop, signal);
    waiters.park(loop, signal);
    loop.settle(10ms);
    EXPECT_TRUE(signal.hasWaiters());
    EXPECT_EQ(waiters.results, (std::deque<std::optional<bool>>{std::nullopt, std::nullopt}));
    loop.call([&] { signal.notifyAll(); });
    loop.until([&] { return waiters.results[0] && waiters.results[1]; });
    EXPECT_EQ(waiters.results, (std::deque<std::optional<bool>>{true, true}));
    EXPECT_FALSE(signal.hasWaiters());

    waiters.park(loop, signal); // parks after the notice: still waiting
    loop.settle(10ms);
    EXPECT_FALSE(waiters.results[2].has_value());
    loop.call([&] { signal.notifyAll(); });
    loop.until([&] { return waiters.results[2].has_value(); });
}

// Each waiter has its own bound: one that passes ends that waiter alone, with
// false; a cancelled waiter ends at once, with true, and leaves the others.
TEST(LoopSignal, BoundsAndCancellationEndOneWaiterEach) {
    LoopRunner loop;
    LoopSignal signal(loop.io.get_executor());
    asio::cancellation_signal cancel;
    Waiters waiters;
    waiters.park(loop, signal, 5ms);
    waiters.park(loop, signal);
    waiters.park(loop, signal, LoopSignal::Duration::max(), &cancel);
    loop.until([&] { return waiters.results[0].has_value(); });
    EXPECT_EQ(waiters.results[0], false);
    loop.call([&] { cancel.emit(asio::cancellation_type::terminal); });
    loop.until([&] { return waiters.results[2].has_value(); });
    EXPECT_EQ(waiters.results[2], true);
    EXPECT_FALSE(waiters.results[1].has_value());
    EXPECT_TRUE(signal.hasWaiters());
    loop.call([&] { signal.notifyAll(); });
    loop.until([&] { return waiters.results[1].has_value(); });
}

} // namespace
} // namespace velorinth::testing
