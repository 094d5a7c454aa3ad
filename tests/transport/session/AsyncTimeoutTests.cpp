#include "transport/session/AsyncTimeout.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include "support/LoopRunner.hpp"

#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Case = PairingProtocolError::Case;

// Runs `io` until no work is left (every timer and task of the race ended),
// within a hang guard, and returns the race's outcome.
template <class T>
T drain(asio::io_context& io, std::future<T>& future) {
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (!io.stopped()) {
        if (std::chrono::steady_clock::now() > giveUp) throw std::runtime_error("work was left behind");
        io.run_one_for(10ms);
    }
    return future.get();
}

template <class T>
Case failureOf(asio::io_context& io, std::future<T>& future) {
    return testing::thrown<PairingProtocolError>([&] { drain(io, future); }).kind;
}

// Sleeps for `duration`, recording whether it was cut short.
asio::awaitable<int> sleeper(std::chrono::steady_clock::duration duration, bool& cancelled, int value) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    try {
        co_await timer.async_wait(asio::use_awaitable);
    } catch (const asio::system_error&) {
        cancelled = true;
        throw;
    }
    co_return value;
}

// The loop runs dry although the losing deadline is an hour away: it was cancelled.
TEST(AsyncTimeout, AnOperationEndingFirstEndsTheRaceAtOnceWithItsOutcome) {
    asio::io_context io;
    bool cancelled = false;
    auto won = testing::spawn(io, AsyncTimeout::withTimeout<PairingTimeoutErrors>(1h, sleeper(1ms, cancelled, 42)));
    EXPECT_EQ(drain(io, won), 42);
    EXPECT_FALSE(cancelled);

    asio::io_context failing;
    auto fails = []() -> asio::awaitable<void> {
        throw std::invalid_argument("own error");
        co_return;
    };
    auto failed = testing::spawn(failing, AsyncTimeout::withTimeout<PairingTimeoutErrors>(1h, fails()));
    EXPECT_THROW(drain(failing, failed), std::invalid_argument);
}

TEST(AsyncTimeout, DeadlineOrCancellationEndsTheOperationWithItsOwnError) {
    for (const bool cancelTask : {false, true}) {
        asio::io_context io;
        bool cancelled = false;
        asio::cancellation_signal signal;
        auto future = testing::spawn(
            io, AsyncTimeout::withTimeout<PairingTimeoutErrors>(cancelTask ? 1h : 5ms, sleeper(1h, cancelled, 1)),
            signal.slot());
        if (cancelTask) {
            io.run_for(5ms);
            signal.emit(asio::cancellation_type::terminal);
        }
        EXPECT_EQ(failureOf(io, future), cancelTask ? Case::cancelled : Case::timedOut);
        EXPECT_TRUE(cancelled);
    }
}

} // namespace
} // namespace velorinth
