// The wake-and-connect workflow on scripted sessions: the real local wake
// service on a recording transmitter, a scripted relay, the real trust store
// in memory and a clock that moves only when the run sleeps.

#include "transport/client/WakeConnectCoordinator.hpp"

#include "support/FakeWakeEnvironment.hpp"
#include "support/FakeWakePacketTransmitter.hpp"
#include "support/FakeWakeRelayDispatcher.hpp"
#include "support/LoopRunner.hpp"
#include "support/TLSTestIdentities.hpp"
#include "support/VirtualMonotonicClock.hpp"

#include "platform/InMemorySecureStore.hpp"
#include "transport/client/RemoteConnectionFailure.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/SessionValueTypes.hpp"
#include "transport/wake/LocalWakeError.hpp"

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace velorinth {
inline void PrintTo(const WakeConnectState& state, std::ostream* out) {
    *out << state.name() << (state.message().empty() ? "" : "(" + state.message() + ")");
}
} // namespace velorinth

namespace {

using State = WakeConnectState;
using Failure = RemoteConnectionFailure;
using Case = WakeConnectState::Case;
using std::chrono::seconds;

WakeConnectTimingPolicy timing(seconds wakeWait = seconds(60), std::optional<seconds> burstDelay = std::nullopt,
                               int attemptLimit = 40) {
    return WakeConnectTimingPolicy(seconds(3), wakeWait, BackoffPolicy{seconds(1), seconds(1), 1.0, attemptLimit},
                                   burstDelay, 3, seconds(30), seconds(10), true);
}

SavedWakeConfiguration wakeConfiguration(Evidence<bool> setting = Evidence<bool>::verified(true)) {
    SavedWakeConfiguration configuration = SavedWakeConfiguration::empty(Date(1000));
    configuration.targets = {WakeNetworkInterfaceTarget("en0", WakeInterfaceKind::ethernet,
                                                        MACAddress(std::string_view("00:11:22:33:44:55")),
                                                        std::string("192.168.7.20"))};
    configuration.bonjourServicePort = 51891;
    configuration.wakeForNetworkAccess = setting;
    return configuration;
}

RemoteEndpoint savedEndpoint(const std::string& host) {
    return RemoteEndpoint{Uuid::random(), host, 51891, RemoteHostKind::dnsHostname,
                          RemoteTransportKind::privateNetwork, std::nullopt, Date(10), std::nullopt, std::nullopt};
}

ServiceEndpoint at(const std::string& host, std::uint16_t port = 51891) { return ServiceEndpoint{HostPort{host, port}}; }

struct Rig : LoopRunner {
    asio::thread_pool storeWorker{1};
    std::shared_ptr<InMemorySecureStore> storage = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<TrustedDeviceStore> trust = std::make_shared<TrustedDeviceStore>(storage);
    std::shared_ptr<VirtualMonotonicClock> clock = std::make_shared<VirtualMonotonicClock>(io.get_executor());
    std::shared_ptr<FakeWakePacketTransmitter> transmitter =
        std::make_shared<FakeWakePacketTransmitter>(io.get_executor());
    std::shared_ptr<FakeWakeRelayDispatcher> relay = std::make_shared<FakeWakeRelayDispatcher>();
    FakeWakeEnvironment environment;
    std::vector<State> reported;
    std::vector<MonotonicClock::Duration> dispatchTimes;
    TrustedDevice mac = trustedRecord(makeTestIdentity("Test Mac").publicIdentity);
    bool withRelay = false;
    std::shared_ptr<LocalWakeService> localWake;
    std::shared_ptr<WakeConnectCoordinator> coordinator;

    Rig() {
        environment.macIdentity = mac.identity;
        transmitter->afterSend([this](const auto&) { dispatchTimes.push_back(clock->now()); });
    }
    ~Rig() { storeWorker.join(); }

    // A relay on the record; the dispatcher joins the coordinator.
    void pairRelay() {
        withRelay = true;
        mac.wakeRelayConfiguration = PairedWakeRelayConfiguration{
            makeTestIdentity("Relay").publicIdentity, savedEndpoint("relay.example.net"), mac.id, Date(5),
            std::nullopt, std::nullopt};
    }

    std::shared_ptr<WakeConnectCoordinator> make(WakeConnectTimingPolicy policy = timing()) {
        trust->trust(mac);
        // No cooldown: the bursts' timing is what is looked at.
        localWake = std::make_shared<LocalWakeService>(
            io.get_executor(), transmitter, WakeDispatchPolicy({9}, std::chrono::nanoseconds(0), 60, seconds(2), false),
            [clock = clock] { return clock->now(); });
        coordinator = std::make_shared<WakeConnectCoordinator>(
            io.get_executor(), trust, storeWorker, localWake, withRelay ? relay : nullptr, policy,
            environment.environment(), [this](const State& state) { reported.push_back(state); },
            WakeConnectClocks{clock, [] { return Date(900'000'000); }});
        return coordinator;
    }
    WakeConnectResult run(WakeConnectTimingPolicy policy = timing()) {
        make(policy);
        return LoopRunner::run(coordinator->wakeAndConnect(mac.id));
    }
    std::optional<WakeAttemptOutcomeSummary> lastAttempt() {
        const auto record = trust->device(mac.id);
        return record && record->wakeConfiguration ? record->wakeConfiguration->lastAttempt : std::nullopt;
    }
    // Once the wake went out, every endpoint answers.
    void answerAfterWake() {
        environment.answer = [this](const ServiceEndpoint&) {
            if (dispatchTimes.empty() && relay->requests.empty()) throw RemoteConnectionFailure::connectionTimedOut();
        };
    }
};

bool has(const std::vector<State>& states, Case kind) {
    return std::any_of(states.begin(), states.end(), [kind](const State& s) { return s.kind() == kind; });
}

// ---- before the wake --------------------------------------------------------------------------

TEST(WakeConnectCoordinatorRun, ADiscoveredMacThatAnswersIsConnectedWithoutAWake) {
    Rig rig;
    rig.environment.discovered = at("mac.local.");
    rig.environment.answer = [](const ServiceEndpoint&) {};
    const WakeConnectResult result = rig.run();
    EXPECT_EQ(rig.reported, (std::vector<State>{Case::checkingHost, Case::hostReachable, Case::authenticating,
                                                Case::startingDesktopStream, Case::waitingForFirstFrame,
                                                Case::connected}));
    EXPECT_EQ(result.finalState, State(Case::connected));
    EXPECT_EQ(FakeWakeEnvironment::number(result.session), 1);
    EXPECT_FALSE(result.didSendWakeRequest);
    EXPECT_EQ(result.connectionRouteUsed, ConnectionRouteKind::bonjourLocal);
    EXPECT_TRUE(rig.transmitter->attempts().empty());
    EXPECT_EQ(rig.trust->device(rig.mac.id)->lastReachability->lastRouteUsed, ConnectionRouteKind::bonjourLocal);
    EXPECT_EQ(rig.coordinator->stateHistory().front(), State(Case::idle));
}

TEST(WakeConnectCoordinatorRun, FailuresBeforeTheWakeTable) {
    struct Row {
        const char* name;
        bool discovered;
        std::vector<std::exception_ptr> failures; // per attempt, in order
        bool remote;
        bool wakeConfigured;
        State expected;
        std::size_t attempts;
    };
    const auto tls = Failure::tlsNegotiationFailed("TLS status 42");
    const auto dns = Failure::dnsResolutionFailed("mac.tailnet", "NXDOMAIN");
    const Row rows[] = {
        {"revoked on host ends at once", true,
         {std::make_exception_ptr(SessionHandshakeError(SessionHandshakeError::Case::revokedOnHost))}, false, true,
         State::authenticationFailed("Access for this iPad was revoked on your Mac."), 1},
        {"a TLS text survives a later timeout", false,
         {std::make_exception_ptr(tls), std::make_exception_ptr(Failure::connectionTimedOut())}, false, false,
         State::connectionFailed(tls.what()), 2},
        {"remote without relay, nothing kept", false, {std::make_exception_ptr(Failure::connectionTimedOut())}, true,
         true, State(Case::wakeUnavailable), 1},
        {"remote without relay, a kept text", false, {std::make_exception_ptr(dns)}, true, true,
         State::connectionFailed(dns.what()), 1},
        {"remote, the discovered endpoint failed", true,
         {std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::timedOut)),
          std::make_exception_ptr(Failure::connectionTimedOut())},
         true, true, State::connectionFailed("Couldn't establish a connection to your Mac."), 2},
    };
    for (const Row& row : rows) {
        Rig rig;
        if (row.discovered) rig.environment.discovered = at("mac.local.");
        rig.mac.remoteEndpoints = {savedEndpoint("mac.tailnet")};
        if (row.failures.size() > 1 && !row.discovered) rig.mac.remoteEndpoints.push_back(savedEndpoint("mac2.tailnet"));
        if (row.wakeConfigured) rig.mac.wakeConfiguration = wakeConfiguration();
        rig.environment.remote = row.remote;
        std::size_t next = 0;
        rig.environment.answer = [&](const ServiceEndpoint&) { std::rethrow_exception(row.failures.at(next++)); };
        const WakeConnectResult result = rig.run();
        EXPECT_EQ(result.finalState, row.expected) << row.name;
        EXPECT_EQ(rig.environment.connects.size(), row.attempts) << row.name;
        EXPECT_FALSE(result.didSendWakeRequest) << row.name;
        EXPECT_TRUE(rig.transmitter->attempts().empty()) << row.name;
    }
}

// ---- the wake route -------------------------------------------------------------------------

TEST(WakeConnectCoordinatorRun, TheRelayIsUsedWheneverTheLocalRouteIsNotTaken) {
    struct Row {
        const char* name;
        std::optional<SavedWakeConfiguration> configuration;
        bool remote;
    };
    const Row rows[] = {
        {"setting verified off", wakeConfiguration(Evidence<bool>::verified(false)), false},
        {"setting unsupported (evaluation unavailable)", wakeConfiguration(Evidence<bool>::unsupported()), false},
        {"no configuration", std::nullopt, false},
        {"away from home", wakeConfiguration(), true},
    };
    for (const Row& row : rows) {
        Rig rig;
        rig.pairRelay();
        rig.mac.wakeConfiguration = row.configuration;
        rig.mac.remoteEndpoints = {savedEndpoint("mac.tailnet")};
        rig.environment.remote = row.remote;
        rig.answerAfterWake();
        const WakeConnectResult result = rig.run();
        EXPECT_EQ(result.finalState, State(Case::connected)) << row.name;
        EXPECT_EQ(result.wakeRouteUsed, WakeRouteKind::externalWakeRelay) << row.name;
        EXPECT_TRUE(rig.transmitter->attempts().empty()) << row.name;
        ASSERT_EQ(rig.relay->requests.size(), 1u) << row.name;
        EXPECT_EQ(rig.relay->requests[0].timeout, seconds(4)) << row.name; // 3 s raised to 4
        EXPECT_TRUE(has(rig.reported, Case::contactingWakeRelay) && has(rig.reported, Case::wakeRequestSent))
            << row.name;
        EXPECT_EQ(rig.trust->device(rig.mac.id)->wakeRelayConfiguration->lastWakeDispatchedAt, Date(0)) << row.name;
    }
}

TEST(WakeConnectCoordinatorRun, RelayTimeoutFloorAndFailures) {
    for (const seconds initial : {seconds(1), seconds(10)}) {
        Rig rig;
        rig.pairRelay();
        rig.answerAfterWake();
        rig.run(WakeConnectTimingPolicy(initial, seconds(60), BackoffPolicy{seconds(1), seconds(1), 1.0, 5},
                                        std::nullopt, 1, seconds(10), seconds(10), true));
        ASSERT_EQ(rig.relay->requests.size(), 1u);
        EXPECT_EQ(rig.relay->requests[0].timeout, std::max(initial, seconds(4)));
    }
    const std::pair<WakeRelayClientError, State> rows[] = {
        {WakeRelayClientError::authenticationFailed("Bad relay key."), State::authenticationFailed("Bad relay key.")},
        {WakeRelayClientError::relayIdentityMismatch(),
         State::authenticationFailed(WakeRelayClientError::relayIdentityMismatch().what())},
        {WakeRelayClientError::relayUnreachable("no route"),
         State::connectionFailed("Wake relay is unreachable: no route")},
    };
    for (const auto& [error, expected] : rows) {
        Rig rig;
        rig.pairRelay();
        rig.relay->failure = std::make_exception_ptr(error);
        const WakeConnectResult result = rig.run();
        EXPECT_EQ(result.finalState, expected);
        EXPECT_FALSE(result.didSendWakeRequest);
        EXPECT_EQ(rig.lastAttempt(), (WakeAttemptOutcomeSummary{Date(900'000'000), WakeRouteKind::externalWakeRelay,
                                                                 WakeAttemptResultKind::failedToSend}));
    }
}

TEST(WakeConnectCoordinatorRun, ALocalDispatchRefusedWithoutARelayIsRecordedAsNotSent) {
    Rig rig;
    rig.mac.wakeConfiguration = wakeConfiguration();
    rig.make();
    rig.call([&] {
        // Its rate limit is used up.
        for (int i = 0; i < 60; ++i) rig.localWake->reserveDispatchSlot(rig.mac.id);
    });
    const WakeConnectResult result = rig.LoopRunner::run(rig.coordinator->wakeAndConnect(rig.mac.id));
    EXPECT_EQ(result.finalState, State::connectionFailed(LocalWakeError(LocalWakeError::Case::rateLimited).what()));
    EXPECT_EQ(result.wakeRouteUsed, WakeRouteKind::directLocalNetwork);
    EXPECT_FALSE(result.didSendWakeRequest);
    EXPECT_EQ(rig.lastAttempt()->result, WakeAttemptResultKind::failedToSend);
    EXPECT_EQ(rig.lastAttempt()->routeUsed, WakeRouteKind::directLocalNetwork);
}

// ---- waiting for the Mac ----------------------------------------------------------------------

TEST(WakeConnectCoordinatorRun, AZeroWaitTimesOutRightAfterTheWake) {
    Rig rig;
    rig.mac.wakeConfiguration = wakeConfiguration();
    const WakeConnectResult result = rig.run(timing(seconds(0)));
    EXPECT_EQ(result.finalState, State(Case::wakeTimedOut));
    EXPECT_TRUE(result.didSendWakeRequest);
    EXPECT_TRUE(rig.environment.connects.empty());
    EXPECT_EQ(rig.lastAttempt()->result, WakeAttemptResultKind::wakeTimedOut);
    const std::vector<State> tail(rig.reported.end() - 4, rig.reported.end());
    EXPECT_EQ(tail, (std::vector<State>{Case::resolvingWakeRoute, Case::sendingWakeRequest, Case::waitingForHost,
                                        Case::wakeTimedOut}));
}

TEST(WakeConnectCoordinatorRun, RetryBurstsGoOutAtTheFirstCyclesPastTheirDelay) {
    for (const bool withDelay : {true, false}) {
        Rig rig;
        rig.mac.wakeConfiguration = wakeConfiguration();
        const WakeConnectResult result =
            rig.run(timing(seconds(9), withDelay ? std::optional<seconds>(seconds(5)) : std::nullopt));
        EXPECT_EQ(result.finalState, State(Case::wakeTimedOut));
        std::vector<MonotonicClock::Duration> bursts;
        for (const auto time : rig.dispatchTimes) bursts.push_back(time - rig.dispatchTimes.front());
        // One datagram per burst (one target, one port); cycles start 1 s apart.
        const std::vector<MonotonicClock::Duration> expected =
            withDelay ? std::vector<MonotonicClock::Duration>{seconds(0), seconds(5), seconds(6)}
                      : std::vector<MonotonicClock::Duration>{seconds(0)};
        EXPECT_EQ(bursts, expected);
    }
}

TEST(WakeConnectCoordinatorRun, AttemptLimitsFollowTheTimeLeft) {
    struct Row {
        seconds wakeWait;
        seconds attemptTakes;
        std::vector<seconds> limits; // of the first cycle's two candidates
    };
    const Row rows[] = {
        {seconds(10), seconds(0), {seconds(10), seconds(10)}},
        {seconds(1), seconds(0), {seconds(2), seconds(2)}},
        {seconds(10), seconds(15), {seconds(10), seconds(2)}}, // past the deadline the cycle goes on
    };
    for (const Row& row : rows) {
        Rig rig;
        rig.mac.wakeConfiguration = wakeConfiguration();
        rig.mac.remoteEndpoints = {savedEndpoint("mac.tailnet")};
        rig.environment.answer = [&](const ServiceEndpoint&) {
            rig.clock->advance(row.attemptTakes);
            throw Failure::connectionTimedOut();
        };
        const WakeConnectResult result = rig.run(timing(row.wakeWait));
        EXPECT_EQ(result.finalState, State(Case::wakeTimedOut));
        // One attempt before the wake, then the saved endpoint and the wake target's address.
        ASSERT_GE(rig.environment.connects.size(), 3u);
        EXPECT_EQ(rig.environment.connects[1].limit, row.limits[0]);
        EXPECT_EQ(rig.environment.connects[2].limit, row.limits[1]);
        EXPECT_EQ(rig.environment.connects[2].endpoint, at("192.168.7.20"));
    }
}

TEST(WakeConnectCoordinatorRun, ASpentBackoffEndsTheWaitEarly) {
    Rig rig;
    rig.mac.wakeConfiguration = wakeConfiguration();
    const WakeConnectResult result = rig.run(timing(seconds(60), std::nullopt, 2));
    EXPECT_EQ(result.finalState, State(Case::wakeTimedOut));
    EXPECT_EQ(rig.clock->sleeps, (std::vector<MonotonicClock::Duration>{seconds(1), seconds(1)}));
    EXPECT_EQ(rig.lastAttempt()->result, WakeAttemptResultKind::wakeTimedOut);
}

TEST(WakeConnectCoordinatorRun, ARelayLostMeanwhileLeavesTheBurstsToTheLocalService) {
    Rig rig;
    rig.pairRelay();
    rig.mac.wakeConfiguration = wakeConfiguration(Evidence<bool>::unsupported());
    rig.relay->hook = [&] { rig.trust->setWakeRelayConfiguration(rig.mac.id, std::nullopt, false); };
    const WakeConnectResult result = rig.run(timing(seconds(9), seconds(5)));
    EXPECT_EQ(result.wakeRouteUsed, WakeRouteKind::externalWakeRelay);
    EXPECT_EQ(rig.relay->requests.size(), 1u);
    EXPECT_EQ(rig.dispatchTimes.size(), 2u); // bursts two and three
}

TEST(WakeConnectCoordinatorRun, CancellingWhileWaitingRecordsTheCancellation) {
    Rig rig;
    rig.mac.wakeConfiguration = wakeConfiguration();
    rig.clock->holdFrom = seconds(1); // the backoff sleep parks
    rig.make();
    auto result = rig.spawn(rig.coordinator->wakeAndConnect(rig.mac.id));
    rig.until([&] { return !rig.clock->sleeps.empty(); });
    rig.LoopRunner::run(rig.coordinator->cancel());
    const WakeConnectResult ended = rig.wait(result);
    EXPECT_EQ(ended.finalState, State(Case::cancelled));
    EXPECT_TRUE(ended.didSendWakeRequest);
    EXPECT_EQ(rig.lastAttempt()->result, WakeAttemptResultKind::cancelled);
}

// ---- one attempt ------------------------------------------------------------------------------

TEST(WakeConnectCoordinatorRun, AttemptEndingsTable) {
    const std::string aborted(WakeConnectCoordinator::kAbortedReason);
    struct Row {
        const char* name;
        std::function<void(Rig&)> script;
        State expected;
        std::vector<std::string> disconnects;
        bool streamStates;
    };
    const Row rows[] = {
        {"same fingerprint, other key",
         [](Rig& rig) { rig.environment.macIdentity.signingPublicKey = makeTestIdentity().publicIdentity.signingPublicKey; },
         State::authenticationFailed(std::string(WakeConnectCoordinator::kIdentityMismatchText)),
         {std::string(WakeConnectCoordinator::kIdentityMismatchReason)}, false},
        {"connect only", [](Rig& rig) { rig.environment.grantedPermissions = DevicePermissions::connect; },
         State(Case::connected), {}, false},
        {"no first frame", [](Rig& rig) { rig.environment.onStreamStart = [](const auto&) {}; },
         State::connectionFailed(std::string(WakeConnectCoordinator::kNoFirstFrameText)), {aborted}, true},
        {"stream stopped before its first frame",
         [](Rig& rig) {
             rig.environment.onStreamStart = [](const auto& gate) {
                 gate->resolve(FirstFrameGate::Outcome::streamFailed("Screen Recording permission required"));
             };
         },
         State::connectionFailed("Screen Recording permission required"),
         {std::string(WakeConnectCoordinator::kStreamStoppedReason)}, true},
        {"stream start refused",
         [](Rig& rig) { rig.environment.streamStartFailure = std::make_exception_ptr(std::runtime_error("refused")); },
         State::connectionFailed("refused"), {std::string(WakeConnectCoordinator::kStreamStartFailedReason)}, false},
        {"revoked while the stream starts",
         [](Rig& rig) { rig.environment.onStreamStart = [&rig](const auto&) { rig.trust->revoke(rig.mac.id); }; },
         State::authenticationFailed("Access for this Mac has been revoked."), {aborted}, false},
    };
    for (const Row& row : rows) {
        Rig rig;
        rig.environment.discovered = at("mac.local.");
        rig.environment.answer = [](const ServiceEndpoint&) {};
        row.script(rig);
        const WakeConnectResult result = rig.run();
        EXPECT_EQ(result.finalState, row.expected) << row.name;
        EXPECT_EQ(result.session != nullptr, row.expected == State(Case::connected)) << row.name;
        std::vector<std::string> reasons;
        for (const auto& [session, reason] : rig.environment.disconnects) reasons.push_back(reason);
        EXPECT_EQ(reasons, row.disconnects) << row.name;
        EXPECT_EQ(has(rig.reported, Case::waitingForFirstFrame), row.streamStates) << row.name;
        EXPECT_EQ(rig.environment.connects.size(), 1u) << row.name; // every one of these ends the run
    }
}

TEST(WakeConnectCoordinatorRun, CancellingDuringTheFirstFrameWaitEndsTheSessionAsAborted) {
    Rig rig;
    rig.environment.discovered = at("mac.local.");
    rig.environment.answer = [](const ServiceEndpoint&) {};
    rig.environment.onStreamStart = [](const auto&) {};
    rig.clock->holdFrom = seconds(10);
    rig.make();
    auto result = rig.spawn(rig.coordinator->wakeAndConnect(rig.mac.id));
    rig.until([&] { return rig.coordinator->currentState() == State(Case::waitingForFirstFrame); });
    rig.LoopRunner::run(rig.coordinator->cancel());
    EXPECT_EQ(rig.wait(result).finalState, State(Case::cancelled));
    EXPECT_EQ(rig.environment.lastGate->resolvedOutcome(), FirstFrameGate::Outcome::cancelled());
    ASSERT_EQ(rig.environment.disconnects.size(), 1u);
    EXPECT_EQ(rig.environment.disconnects[0].second, std::string(WakeConnectCoordinator::kAbortedReason));
}

TEST(WakeConnectCoordinatorRun, AVerifiedWakeIsRecordedAndConfirmedEvenWhenTheStoreCannotSave) {
    for (const bool saveFails : {false, true}) {
        Rig rig;
        rig.mac.wakeConfiguration = wakeConfiguration();
        rig.answerAfterWake();
        rig.make();
        if (saveFails) rig.storage->setFailure(InMemorySecureStore::Operation::save);
        const WakeConnectResult result = rig.LoopRunner::run(rig.coordinator->wakeAndConnect(rig.mac.id));
        EXPECT_EQ(result.finalState, State(Case::connected));
        EXPECT_EQ(result.wakeRouteUsed, WakeRouteKind::directLocalNetwork);
        EXPECT_EQ(result.connectionRouteUsed, ConnectionRouteKind::localDirect); // the wake target's address
        ASSERT_EQ(rig.environment.confirmations.size(), 1u);
        EXPECT_EQ(rig.environment.confirmations[0].second, Date(900'000'000));
        if (saveFails) continue;
        EXPECT_EQ(rig.lastAttempt(), (WakeAttemptOutcomeSummary{Date(900'000'000), WakeRouteKind::directLocalNetwork,
                                                                 WakeAttemptResultKind::wakeConfirmedByAuthenticatedSession}));
        EXPECT_EQ(rig.trust->device(rig.mac.id)->wakeConfiguration->lastVerifiedWakeAt, Date(900'000'000));
    }
}

// ---- runs -------------------------------------------------------------------------------------

TEST(WakeConnectCoordinatorRun, ASecondCallForTheSameMacJoinsTheRun) {
    Rig rig;
    rig.environment.discovered = at("mac.local.");
    rig.environment.answer = [](const ServiceEndpoint&) {};
    rig.make();
    auto first = rig.spawn(rig.coordinator->wakeAndConnect(rig.mac.id));
    auto second = rig.spawn(rig.coordinator->wakeAndConnect(rig.mac.id));
    const WakeConnectResult a = rig.wait(first);
    const WakeConnectResult b = rig.wait(second);
    EXPECT_EQ(a.session, b.session);
    EXPECT_EQ(rig.environment.connects.size(), 1u);
}

TEST(WakeConnectCoordinatorRun, AnotherMacReplacesTheRunAndCallsForItWhileItEndsShareOneRun) {
    Rig rig;
    rig.mac.wakeConfiguration = wakeConfiguration();
    rig.clock->holdFrom = seconds(1);
    rig.make();
    TrustedDevice other = trustedRecord(makeTestIdentity("Other Mac").publicIdentity);
    other.wakeConfiguration = wakeConfiguration();
    rig.trust->trust(other);

    auto runA = rig.spawn(rig.coordinator->wakeAndConnect(rig.mac.id));
    rig.until([&] { return rig.clock->sleeps.size() == 1; });
    // Two calls for B while A's run ends: one run, the same result for both.
    auto firstB = rig.spawn(rig.coordinator->wakeAndConnect(other.id));
    auto secondB = rig.spawn(rig.coordinator->wakeAndConnect(other.id));
    EXPECT_EQ(rig.wait(runA).finalState, State(Case::cancelled));
    rig.until([&] { return rig.clock->sleeps.size() == 2; }); // B's run waits too
    EXPECT_EQ(rig.coordinator->stateHistory().front(), State(Case::cancelled));
    rig.LoopRunner::run(rig.coordinator->cancel()); // reaches B's only run
    const WakeConnectResult b1 = rig.wait(firstB);
    const WakeConnectResult b2 = rig.wait(secondB);
    EXPECT_EQ(b1.finalState, State(Case::cancelled));
    EXPECT_EQ(b2.finalState, State(Case::cancelled));
    EXPECT_EQ(rig.dispatchTimes.size(), 2u); // one wake each for A and B
}

TEST(WakeConnectCoordinatorRun, StatesOutsideARunAreReportedOnlyWhenTheyChange) {
    Rig rig;
    rig.make();
    rig.call([&] {
        rig.coordinator->resetToIdle();      // already idle
        rig.coordinator->markReconnecting(0); // raised to 1
        rig.coordinator->markReconnecting(1);
        rig.coordinator->markReconnecting(2);
    });
    rig.LoopRunner::run(rig.coordinator->cancel()); // in progress: cancelled
    rig.LoopRunner::run(rig.coordinator->cancel()); // no longer in progress
    EXPECT_EQ(rig.reported, (std::vector<State>{State::reconnecting(1), State::reconnecting(2), Case::cancelled}));
}

} // namespace
