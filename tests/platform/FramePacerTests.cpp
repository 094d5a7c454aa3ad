// The capture's pacing on a virtual clock: a capture whose work takes the
// given times, waiting for each deadline the pacer sets.

#include "platform/FramePacer.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Clock = FramePacer::Clock;

constexpr Clock::duration kInterval = 10ms;

struct Paced {
    std::vector<Clock::duration> taken; // when each frame was taken, from the start
    std::uint64_t skipped = 0;
};

// Takes one frame per entry of `work`, each costing its time.
Paced capture(const std::vector<Clock::duration>& work) {
    const Clock::time_point start{1h};
    FramePacer pacer(start);
    Clock::time_point now = start;
    Paced run;
    for (const Clock::duration cost : work) {
        if (pacer.deadline() > now) now = pacer.deadline(); // the wait
        run.taken.push_back(now - start);
        now += cost;
        run.skipped += pacer.advance(now, kInterval);
    }
    return run;
}

TEST(FramePacer, ALateTickTakesItsFrameAtOnceAndOnlyAWholeMissedIntervalSkipsASlot) {
    struct Case {
        const char* what;
        std::vector<Clock::duration> work;
        std::vector<Clock::duration> taken;
        std::uint64_t skipped;
    };
    const std::vector<Case> cases{
        {"on time", {4ms, 4ms, 4ms}, {0ms, 10ms, 20ms}, 0},
        {"1 ms late, then back on the slots", {11ms, 1ms, 4ms}, {0ms, 11ms, 20ms}, 0},
        {"late by just under an interval", {19ms + 999us, 1ms, 4ms}, {0ms, 19ms + 999us, 20ms + 999us}, 0},
        {"a whole interval missed", {20ms, 1ms, 4ms}, {0ms, 20ms, 30ms}, 1},
        {"three and a half intervals missed", {45ms, 1ms, 4ms}, {0ms, 45ms, 50ms}, 3},
    };
    for (const Case& c : cases) {
        const Paced run = capture(c.work);
        EXPECT_EQ(run.taken, c.taken) << c.what;
        EXPECT_EQ(run.skipped, c.skipped) << c.what;
    }
}

TEST(FramePacer, WorkALittleLongerThanAnIntervalStillGivesAFrameForEachPieceOfWork) {
    // 11 ms of work per 10 ms slot: a frame every 11 ms, one slot skipped in
    // eleven, never every other frame lost.
    const Paced run = capture(std::vector<Clock::duration>(100, 11ms));
    EXPECT_EQ(run.taken.back(), 99 * 11ms);
    EXPECT_EQ(run.skipped, 10u);
}

} // namespace
} // namespace velorinth
