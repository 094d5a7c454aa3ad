#include "transport/server/ApprovalGate.hpp"

#include "core/Error.hpp"
#include "support/LoopRunner.hpp"

#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Result = ApprovalOutcome;

TEST(ApprovalGate, CancelledWaiterLeavesItOpenAndTheFirstResolutionWins) {
    testing::LoopRunner loop;
    asio::io_context& io = loop.io;
    ApprovalGate gate(io.get_executor());
    asio::cancellation_signal cancel;
    auto cancelled = loop.spawn(gate.wait(), cancel.slot());
    io.run_for(5ms);
    cancel.emit(asio::cancellation_type::terminal);
    EXPECT_THROW(loop.wait(cancelled), CancellationError);
    EXPECT_EQ(gate.result(), std::nullopt);

    auto parked = loop.spawn(gate.wait());
    io.restart();
    io.run_for(5ms);
    gate.resolve(Result::approved);
    gate.resolve(Result::rejected);
    EXPECT_EQ(loop.wait(parked), Result::approved);
    auto late = loop.spawn(gate.wait()); // gets the kept result
    EXPECT_EQ(loop.wait(late), Result::approved);
}

} // namespace
} // namespace velorinth
