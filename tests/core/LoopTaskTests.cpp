#include "core/LoopTask.hpp"

#include "support/LoopRunner.hpp"

#include <asio/steady_timer.hpp>
#include <gtest/gtest.h>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Task = LoopTask<int>;

TEST(LoopTask, BeginsAfterItsStarterAndGivesEveryAwaiterItsValue) {
    testing::LoopRunner loop;
    bool began = false;
    std::shared_ptr<Task> task;
    loop.call([&] {
        task = Task::start(loop.io.get_executor(), [&](const Task&) -> asio::awaitable<int> {
            began = true;
            co_return 7;
        });
        EXPECT_FALSE(began); // not inside its starter
        return 0;
    });
    auto first = loop.spawn(task->result());
    auto second = loop.spawn(task->result());
    EXPECT_EQ(loop.wait(first), 7);
    EXPECT_EQ(loop.wait(second), 7);
    EXPECT_TRUE(task->isFinished());
    EXPECT_EQ(loop.run(task->result()), 7); // also once it has ended
}

TEST(LoopTask, CancelReachesWhatTheBodyAwaitsAndAFailureReachesTheAwaiters) {
    testing::LoopRunner loop;
    auto task = Task::start(loop.io.get_executor(), [&](const Task& self) -> asio::awaitable<int> {
        asio::steady_timer timer(loop.io.get_executor(), 1h);
        try {
            co_await timer.async_wait(asio::use_awaitable);
        } catch (const asio::system_error&) {
            EXPECT_TRUE(self.isCancelled());
            throw CancellationError();
        }
        co_return 1;
    });
    loop.settle(5ms);
    task->cancel();
    task->cancel();
    EXPECT_THROW(loop.run(task->result()), CancellationError);
}

TEST(LoopTask, AnAwaiterCancelledItselfStopsWaitingWhileTheTaskGoesOn) {
    testing::LoopRunner loop;
    bool release = false;
    auto task = Task::start(loop.io.get_executor(), [&](const Task&) -> asio::awaitable<int> {
        while (!release) co_await testing::sleepFor(1ms);
        co_return 3;
    });
    asio::cancellation_signal signal;
    auto waiting = loop.spawn(task->result(), signal.slot());
    loop.settle(5ms);
    signal.emit(asio::cancellation_type::terminal);
    EXPECT_THROW(loop.wait(waiting), CancellationError);
    EXPECT_FALSE(task->isFinished());
    release = true;
    EXPECT_EQ(loop.run(task->result()), 3);
}

TEST(Cancellation, WhatCountsAsACancellation) {
    EXPECT_TRUE(isCancellationError(std::make_exception_ptr(CancellationError())));
    EXPECT_TRUE(isCancellationError(std::make_exception_ptr(asio::system_error(asio::error::operation_aborted))));
    EXPECT_FALSE(isCancellationError(std::make_exception_ptr(asio::system_error(asio::error::connection_reset))));
    EXPECT_FALSE(isCancellationError(std::make_exception_ptr(Error("The operation was cancelled."))));
    EXPECT_FALSE(isCancellationError(std::make_exception_ptr(42)));
    EXPECT_FALSE(isCancellationError(nullptr));
}

} // namespace
} // namespace velorinth
