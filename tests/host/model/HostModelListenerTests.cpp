// The listener over fakes: restarts after failures, the beacon, the preferred
// port, and the one-after-another order of the operations that stop and
// start it.

#include "support/HostModelRig.hpp"

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;
using namespace std::chrono_literals;

TEST(HostModelListener, AFailureRestartsAtOnceWhenThePortIsTakenElseAfterTheBackoff) {
    struct Case {
        std::string text;
        std::optional<std::string> error;
        std::chrono::steady_clock::duration delay;
        std::string start;
    };
    for (const Case& c : {Case{"Address already in use", std::string("earlier"), 100ms, "startListening 0"},
                          Case{"error 48 from the system", std::string("earlier"), 100ms, "startListening 0"},
                          Case{"boom", std::string("Local discovery listener failed: boom"), 1s,
                               "startListening 51891"}}) {
        HostModelRig h;
        HostModel& model = h.started();
        model.networkError.set("earlier");
        h.server->report(ListenerStatus::failed(c.text));
        h.drain();
        EXPECT_EQ(model.networkError.get(), c.error) << c.text;
        ASSERT_TRUE(model.restartTask.get());
        EXPECT_EQ(model.restartAttempt.get(), 1);
        EXPECT_EQ(h.server->count("stop"), 1u); // the whole server stops before the retry
        ASSERT_EQ(h.sleeper.requested, std::vector<std::chrono::steady_clock::duration>{c.delay});
        h.sleeper.releaseAll();
        h.drain();
        EXPECT_EQ(h.server->count("startListening"), 2u);
        EXPECT_EQ(h.server->last("startListening"), c.start) << c.text;
        EXPECT_FALSE(model.restartTask.get());
        EXPECT_EQ(model.restartAttempt.get(), 0); // advertising again
    }
}

TEST(HostModelListener, TwoFailuresGiveOneRestartAndNoneIsScheduledWhileOff) {
    HostModelRig h;
    HostModel& model = h.started();
    h.server->report(ListenerStatus::failed("boom"));
    h.server->report(ListenerStatus::failed("boom again"));
    h.drain();
    EXPECT_EQ(model.restartAttempt.get(), 1);
    EXPECT_EQ(h.sleeper.pending(), 1u);

    // Off cancels the pending restart; its sleep ends and it starts nothing.
    model.setRemoteAccessEnabled(false);
    h.drain();
    EXPECT_FALSE(model.restartTask.get());
    EXPECT_EQ(h.sleeper.pending(), 0u);
    const std::size_t starts = h.server->count("startListening");
    h.server->report(ListenerStatus::failed("boom"));
    h.drain();
    EXPECT_FALSE(model.restartTask.get());
    EXPECT_EQ(model.restartAttempt.get(), 0);
    EXPECT_EQ(h.server->count("startListening"), starts);
    EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::failed("boom"));
}

TEST(HostModelListener, ARestartPendingWhenAResetBeginsNeverRuns) {
    HostModelRig h;
    HostModel& model = h.started();
    h.server->report(ListenerStatus::failed("boom"));
    h.drain();
    ASSERT_TRUE(model.restartTask.get());
    h.run(model.resetIdentity());
    EXPECT_FALSE(model.restartTask.get());
    h.sleeper.releaseAll();
    h.drain();
    EXPECT_EQ(h.server->count("startListening"), 2u); // the first start's and the reset's
}

// A reset that waits for the listener's turn while a restart sleeps on its
// backoff: the restart is cancelled at once, so it cannot queue behind the
// reset, start the listener under the old identity after the reset failed, and
// wipe the reset's error with its report.
TEST(HostModelListener, ARestartWhoseDelayEndsWhileAResetWaitsNeverRuns) {
    HostModelRig h;
    HostModel& model = h.started();
    h.server->report(ListenerStatus::failed("boom"));
    h.drain();
    ASSERT_TRUE(model.restartTask.get());
    // Another listener operation holds the turn: its start waits at the gate.
    h.server->startGate.held = true;
    model.updatePreferredListenerPort(50001);
    h.drain();
    ASSERT_EQ(h.server->startGate.waiting, 1);
    h.trustStorage->setFailure(InMemorySecureStore::Operation::deleteItem);
    auto reset = h.spawn(model.resetIdentity());
    h.drain();
    EXPECT_FALSE(model.restartTask.get());

    h.sleeper.releaseAll(); // the backoff ends while the reset waits
    h.drain();
    h.server->startGate.release();
    h.wait(reset);
    h.drain();
    // The reset failed: the listener stays stopped with its error.
    const std::string error = model.networkError.get().value_or("none");
    EXPECT_NE(error.find("Secure storage delete failed"), std::string::npos) << error;
    EXPECT_FALSE(h.server->listening);
    EXPECT_EQ(h.server->count("startListening 50001"), 1u); // the port change's, before the reset
}

TEST(HostModelListener, TheBeaconFollowsTheListener) {
    HostModelRig h;
    HostModel& model = h.make();
    // Before the identity exists an advertising report only refreshes addresses.
    model.handleListenerStatus(ListenerStatus::advertising(4000));
    EXPECT_EQ(h.beacon->calls, std::vector<std::string>{"update"});

    h.started();
    h.beacon->calls.clear();
    model.restartAttempt.set(3);
    model.handleListenerStatus(ListenerStatus::advertising(0));
    EXPECT_EQ(model.restartAttempt.get(), 0);
    EXPECT_EQ(h.beacon->calls, (std::vector<std::string>{"update", "start Studio Mac 51891"}));
    model.handleListenerStatus(ListenerStatus::stopped());
    EXPECT_EQ(h.beacon->calls.back(), "stop");
    model.handleListenerStatus(ListenerStatus::starting());
    EXPECT_EQ(h.beacon->calls.back(), "stop");
    model.handleListenerStatus(ListenerStatus::permissionDenied());
    EXPECT_EQ(model.networkError.get(), std::string(HostModel::kLocalNetworkDeniedText));
    EXPECT_FALSE(model.restartTask.get());
}

TEST(HostModelListener, AStartThatThrowsTwiceLeavesTheSecondError) {
    HostModelRig h;
    HostModel& model = h.started();
    h.server->startFailures = 2;
    h.run(model.restartListener());
    EXPECT_EQ(model.networkError.get(), "start failure 2");
    EXPECT_EQ(h.server->count("startListening"), 3u); // the first start's, the preferred port's, any port's
    EXPECT_EQ(h.server->last("startListening"), "startListening 0");
}

TEST(HostModelListener, ThePreferredPortIsStoredAndRestartsOnlyARunningListener) {
    HostModelRig h;
    HostModel& model = h.make();
    model.updatePreferredListenerPort(1023);
    EXPECT_EQ(h.preferences->writes, 0);
    model.updatePreferredListenerPort(1024);
    EXPECT_EQ(h.preferences->values[HostModel::preferredPortKey()], 1024);
    h.drain();
    EXPECT_EQ(h.server->count("stop"), 0u); // not started yet

    h.started();
    EXPECT_EQ(h.server->listenPorts, std::vector<std::uint16_t>{1024});
    model.updatePreferredListenerPort(1024);
    EXPECT_EQ(h.preferences->writes, 1);
    model.updatePreferredListenerPort(40000);
    h.drain();
    EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::advertising(40000));
}

// Operations that stop and start the listener run one after another, each
// re-reading the switch before it starts anything.
TEST(HostModelListener, ListenerOperationsDoNotInterleave) {
    {
        HostModelRig h;
        HostModel& model = h.started();
        model.setRemoteAccessEnabled(false);
        model.setRemoteAccessEnabled(true);
        h.drain();
        EXPECT_TRUE(h.server->listening);
        EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::advertising(51891));
    }
    {
        HostModelRig h;
        HostModel& model = h.started();
        model.updatePreferredListenerPort(50001);
        model.setRemoteAccessEnabled(false);
        h.drain();
        EXPECT_FALSE(h.server->listening);
        EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::stopped());
    }
    {
        HostModelRig h;
        HostModel& model = h.started();
        model.updatePreferredListenerPort(50001);
        model.updatePreferredListenerPort(50002);
        h.drain();
        EXPECT_TRUE(h.server->listening);
        EXPECT_EQ(h.server->listenPorts.back(), 50002);
        EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::advertising(50002));
    }
}

TEST(HostModelListener, TurningRemoteAccessOffShowsStoppedWithoutTheServersReport) {
    HostModelRig h;
    HostModel& model = h.started();
    h.server->reportsStop = false;
    model.setRemoteAccessEnabled(true); // its own value: nothing at all
    EXPECT_FALSE(model.restartTask.get());
    model.setRemoteAccessEnabled(false);
    h.drain();
    EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::stopped());
    EXPECT_EQ(h.server->count("stop"), 1u);
}

// The publisher's word reaches the model; a new listener's publisher has said
// nothing yet, so an old one's failure must not colour it.
TEST(HostModelListener, PublicationReportsReachTheModelAndANewListenerStartsUnknown) {
    HostModelRig h;
    HostModel& model = h.started();
    EXPECT_EQ(model.servicePublished.get(), std::nullopt);
    for (const bool published : {false, true, false}) {
        h.server->reportPublication(published);
        h.drain();
        EXPECT_EQ(model.servicePublished.get(), published);
    }
    h.run(model.restartListener());
    EXPECT_EQ(h.server->count("startListening"), 2u);
    EXPECT_EQ(model.servicePublished.get(), std::nullopt);
    EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::advertising(51891));
}
