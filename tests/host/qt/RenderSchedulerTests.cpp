// The render coalescing: a burst of changes renders each box that shows the
// field once, other boxes not at all, and a render that changes the model
// again waits for the next turn instead of recursing.

#include "QtTestApplication.hpp"

#include "host/qt/RenderScheduler.hpp"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>

using namespace velorinth;
using namespace velorinth::testing;
using namespace std::chrono_literals;
using F = HostModelField;

TEST(RenderScheduler, ABurstOfChangesRendersEachMarkedBoxOnce) {
    qtApplication();
    RenderScheduler scheduler;
    int sessions = 0, wake = 0, echoing = 0;
    bool echoes = false;
    scheduler.add([&] { ++sessions; }, {F::activeSessionList, F::captureState});
    scheduler.add([&] { ++wake; }, {F::wakeSnapshot});
    // A box whose render changes a field it shows, as a render that sets the model would.
    scheduler.add(
        [&] {
            ++echoing;
            if (echoes) scheduler.changed(F::networkError);
        },
        {F::networkError});
    scheduler.flush(); // every box starts marked
    EXPECT_EQ(sessions, 1);
    EXPECT_EQ(wake, 1);
    EXPECT_EQ(echoing, 1);

    // One server publication per frame for a second of video, between two turns.
    for (int frame = 0; frame < 60; ++frame) {
        scheduler.changed(F::activeSessionList);
        scheduler.changed(F::captureState);
        scheduler.changed(F::hostStreamState); // shown by no box
    }
    const std::uint64_t flushes = scheduler.flushes();
    const auto giveUp = std::chrono::steady_clock::now() + 10s; // a guard against hangs only
    while (sessions == 1 && std::chrono::steady_clock::now() < giveUp) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(sessions, 2);
    EXPECT_EQ(wake, 1);
    EXPECT_EQ(echoing, 1);
    EXPECT_EQ(scheduler.flushes(), flushes + 1); // the timer's one flush rendered the burst

    // The echo's own mark waits for the next flush: one render per flush, never a loop.
    echoes = true;
    scheduler.changed(F::networkError);
    scheduler.flush();
    EXPECT_EQ(echoing, 2);
    scheduler.flush();
    EXPECT_EQ(echoing, 3);
    echoes = false;
    scheduler.flush();
    EXPECT_EQ(echoing, 4);
    scheduler.flush();
    EXPECT_EQ(echoing, 4);
    EXPECT_EQ(sessions, 2);
    EXPECT_EQ(wake, 1);
}
