// When freed memory goes back to the system: the end of a busy spell, as the
// handshake budget tells it, and the scheduler that makes one release of a
// run of requests, on its worker.

#include "platform/BusySpell.hpp"
#include "platform/HandshakeBudget.hpp"
#include "platform/MemoryReleaseScheduler.hpp"

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;

std::vector<std::size_t> endsWhileDraining(BusySpell& spell, std::size_t from) {
    std::vector<std::size_t> ends;
    for (std::size_t count = from; count-- > 0;) {
        if (spell.fell(count)) ends.push_back(count);
    }
    return ends;
}

TEST(BusySpell, AFloodThatDrainsIsToldAFewTimesNeverPerConnectionAndAQuietDoorNever) {
    BusySpell spell(32);
    for (int hour = 0; hour < 100; ++hour) {
        for (std::size_t count = 1; count <= 31; ++count) spell.rose(count);
        EXPECT_TRUE(endsWhileDraining(spell, 31).empty());
    }
    for (std::size_t count = 1; count <= 2112; ++count) spell.rose(count);
    // A quarter of each peak, the tail under `many` told no more.
    EXPECT_EQ(endsWhileDraining(spell, 2112), (std::vector<std::size_t>{528, 132, 33, 8}));

    // A spell that holds on is not over at half its peak.
    for (std::size_t count = 9; count <= 100; ++count) spell.rose(count);
    EXPECT_FALSE(spell.fell(50));
    EXPECT_TRUE(spell.fell(25));

    BusySpell none(0);
    none.rose(10'000);
    EXPECT_FALSE(none.fell(0));
}

TEST(BusySpell, TheBudgetTellsTheEndOfASpellAsItsPlacesAreFreed) {
    int ends = 0;
    HandshakeBudget::Options options;
    options.capacity = 64;
    options.busySpell = 8;
    options.onBusySpellEnded = [&] { ++ends; };
    HandshakeBudget budget(options);
    std::vector<HandshakeSlot> slots;
    for (int i = 0; i < 8; ++i) slots.push_back(*budget.tryAcquire());
    while (slots.size() > 3) slots.pop_back();
    EXPECT_EQ(ends, 0);
    slots.pop_back(); // 2 left: a quarter of the peak
    EXPECT_EQ(ends, 1);
    slots.clear();
    EXPECT_EQ(ends, 1);
}

struct SchedulerRig {
    explicit SchedulerRig(std::chrono::steady_clock::duration delay = 5ms)
        : scheduler(std::make_shared<MemoryReleaseScheduler>(loop.get_executor(), worker.get_executor(), delay, [this] {
              if (std::this_thread::get_id() == loopThread) ++onLoopThread;
              ++releases;
          })) {}

    asio::io_context loop;
    asio::thread_pool worker{1};
    std::atomic<int> releases{0};
    std::atomic<int> onLoopThread{0};
    const std::thread::id loopThread = std::this_thread::get_id();
    std::shared_ptr<MemoryReleaseScheduler> scheduler;

    // Runs the loop (waiting when it has nothing to do) for `duration`, or
    // until `count` releases were made.
    void run(std::chrono::steady_clock::duration duration, int count = -1) {
        for (const auto end = std::chrono::steady_clock::now() + duration;
             releases != count && std::chrono::steady_clock::now() < end;) {
            loop.restart();
            if (loop.run_for(1ms) == 0) std::this_thread::sleep_for(1ms);
        }
    }
    // Until `count` releases were made, then a while longer for any that should not come.
    void runUntil(int count) {
        run(10s, count);
        run(50ms);
    }
};

TEST(MemoryReleaseScheduler, ARunOfRequestsMakesOneReleaseOnTheWorker) {
    SchedulerRig r;
    for (int i = 0; i < 1000; ++i) r.scheduler->request();
    r.runUntil(1);
    EXPECT_EQ(r.releases, 1);
    EXPECT_EQ(r.onLoopThread, 0);
}

TEST(MemoryReleaseScheduler, EachLaterRequestGetsItsOwnUntilTheSchedulerIsGone) {
    SchedulerRig r;
    r.scheduler->request();
    r.runUntil(1);
    std::thread([request = r.scheduler->requestFromAnyThread()] { request(); }).join();
    r.runUntil(2);
    EXPECT_EQ(r.releases, 2);

    const auto late = r.scheduler->requestFromAnyThread();
    r.scheduler->request();
    r.scheduler.reset();
    late();
    r.run(100ms);
    EXPECT_EQ(r.releases, 2);
}

// The loop alone touches the scheduler's timer and times: a request from
// another thread is handed to it, and waits there until the loop runs.
TEST(MemoryReleaseScheduler, AnotherThreadsRequestIsMadeOnTheLoop) {
    SchedulerRig r(10s);
    std::thread([request = r.scheduler->requestFromAnyThread()] { request(); }).join();
    EXPECT_EQ(r.loop.poll(), 1u) << "the request was not handed to the loop";
    EXPECT_EQ(r.releases, 0);
}

// Requests that keep coming, each within the delay of the one before, still
// get a release once the longest wait has passed since the first of them.
TEST(MemoryReleaseScheduler, RequestsThatNeverPauseWaitNoLongerThanTheLongestWait) {
    constexpr auto kDelay = 50ms;
    SchedulerRig r(kDelay);
    const auto end = std::chrono::steady_clock::now() + 2 * MemoryReleaseScheduler::kLongestWait * kDelay;
    while (std::chrono::steady_clock::now() < end) {
        r.scheduler->request();
        r.run(kDelay / 5);
    }
    EXPECT_GE(r.releases, 1);
}

} // namespace
} // namespace velorinth
