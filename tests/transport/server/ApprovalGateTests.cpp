#include "transport/server/ApprovalGate.hpp"

#include "core/Error.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Result = ApprovalGate::Result;

// Runs `io` until `future` is ready, within a hang guard.
template <class T>
T runUntilReady(asio::io_context& io, std::future<T>& future) {
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (future.wait_for(0s) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() > giveUp) throw std::runtime_error("the gate test hung");
        io.restart();
        io.run_one_for(10ms);
    }
    return future.get();
}

TEST(ApprovalGate, CancelledWaiterLeavesItOpenAndTheFirstResolutionWins) {
    asio::io_context io;
    ApprovalGate gate(io.get_executor());
    asio::cancellation_signal cancel;
    auto cancelled = asio::co_spawn(io, gate.wait(), asio::bind_cancellation_slot(cancel.slot(), asio::use_future));
    io.run_for(5ms);
    cancel.emit(asio::cancellation_type::terminal);
    EXPECT_THROW(runUntilReady(io, cancelled), CancellationError);
    EXPECT_EQ(gate.result(), std::nullopt);

    auto parked = asio::co_spawn(io, gate.wait(), asio::use_future);
    io.restart();
    io.run_for(5ms);
    gate.resolve(Result::approved);
    gate.resolve(Result::rejected);
    EXPECT_EQ(runUntilReady(io, parked), Result::approved);
    auto late = asio::co_spawn(io, gate.wait(), asio::use_future); // gets the kept result
    EXPECT_EQ(runUntilReady(io, late), Result::approved);
}

} // namespace
} // namespace velorinth
