// The worker call hands the worker's result to the awaiting task; the worker
// never shares that task's cancellation, whose state belongs to the loop.

#include "core/WorkerCall.hpp"

#include "support/LoopRunner.hpp"

#include <asio/cancellation_signal.hpp>
#include <gtest/gtest.h>

#include <future>

namespace velorinth {
namespace {

using namespace std::chrono_literals;

TEST(WorkerCall, ACallerCancelledAsItsWorkBeginsStillTakesItsResult) {
    testing::LoopRunner loop;
    asio::thread_pool worker(1);
    std::promise<void> started;
    std::future<void> hasStarted = started.get_future();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto work = [&started, released] {
        started.set_value();
        released.wait();
        return 5;
    };
    asio::cancellation_signal signal;
    auto call = loop.spawn(callOnWorker(worker, work), signal.slot());
    loop.io.poll(); // the call hands its work to the worker
    // On the loop's thread as the worker begins: nothing orders the two, so
    // the sanitizer sees any state they share.
    signal.emit(asio::cancellation_type::terminal);
    loop.until([&] { return hasStarted.wait_for(0s) == std::future_status::ready; });
    release.set_value();
    EXPECT_EQ(loop.wait(call), 5);
    worker.join();
}

} // namespace
} // namespace velorinth
