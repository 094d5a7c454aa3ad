#include "transport/server/ApprovalGate.hpp"

#include "core/Error.hpp"
#include "core/EventLoop.hpp"
#include "support/LoopRunner.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Result = ApprovalGate::Result;

TEST(ApprovalGate, CancelledWaiterLeavesItOpenAndTheFirstResolutionWins) {
    testing::LoopRunner loop;
    asio::io_context& io = loop.io;
    ApprovalGate gate;
    asio::cancellation_signal cancel;
    auto cancelled = asio::co_spawn(io, gate.wait(), asio::bind_cancellation_slot(cancel.slot(), asio::use_future));
    io.run_for(5ms);
    cancel.emit(asio::cancellation_type::terminal);
    EXPECT_THROW(loop.wait(cancelled), CancellationError);
    EXPECT_EQ(gate.result(), std::nullopt);

    auto parked = asio::co_spawn(io, gate.wait(), asio::use_future);
    io.restart();
    io.run_for(5ms);
    gate.resolve(Result::approved);
    gate.resolve(Result::rejected);
    EXPECT_EQ(loop.wait(parked), Result::approved);
    auto late = asio::co_spawn(io, gate.wait(), asio::use_future); // gets the kept result
    EXPECT_EQ(loop.wait(late), Result::approved);
}

// Resolvers race from several threads: one result is delivered, once, and the
// waiter resumes on the loop thread.
TEST(ApprovalGate, ConcurrentResolversFromThreadsResumeTheWaiterOnTheLoop) {
    for (int round = 0; round < 50; ++round) {
        EventLoop loop;
        loop.start();
        ApprovalGate gate;
        std::atomic<int> resumptions{0};
        std::promise<std::pair<Result, bool>> resumed;
        asio::co_spawn(
            loop.executor(),
            [&]() -> asio::awaitable<void> {
                const Result result = co_await gate.wait();
                ++resumptions;
                resumed.set_value({result, loop.runningInThisThread()});
            },
            asio::detached);
        std::atomic<bool> go{false};
        std::vector<std::thread> resolvers;
        for (Result choice : {Result::approved, Result::rejected, Result::timedOut, Result::connectionClosed}) {
            resolvers.emplace_back([&, choice] {
                while (!go.load()) std::this_thread::yield();
                gate.resolve(choice);
            });
        }
        go = true;
        for (auto& resolver : resolvers) resolver.join();
        auto future = resumed.get_future();
        ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
        const auto [result, onLoop] = future.get();
        EXPECT_TRUE(onLoop);
        EXPECT_EQ(gate.result(), result);
        loop.stop();
        EXPECT_EQ(resumptions.load(), 1);
    }
}

} // namespace
} // namespace velorinth
