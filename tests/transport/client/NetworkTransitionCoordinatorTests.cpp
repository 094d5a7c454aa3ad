#include "transport/client/NetworkTransitionCoordinator.hpp"

#include "platform/InMemorySecureStore.hpp"
#include "transport/client/RemoteConnectionFailure.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include "support/LoopRunner.hpp"
#include "support/TLSTestIdentities.hpp"

#include <asio/error.hpp>
#include <gtest/gtest.h>

#include <deque>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Status = NetworkReconnectStatus;
using Coordinator = NetworkTransitionCoordinator<int>;

const BackoffPolicy kPolicy{1s, 8s, 2.0, 6};

NetworkPathSnapshot pathWith(NetworkPathSatisfaction satisfaction, std::vector<std::string> names) {
    return NetworkPathSnapshot(satisfaction, true, false, false, false, std::move(names), true, false);
}
const NetworkPathSnapshot kWifi = pathWith(NetworkPathSatisfaction::satisfied, {"wlan0"});
const NetworkPathSnapshot kEthernet = pathWith(NetworkPathSatisfaction::satisfied, {"eth0"});
const NetworkPathSnapshot kNoPath = pathWith(NetworkPathSatisfaction::unsatisfied, {});

// Opened by the test; a reconnect waiting on it sees no cancellation.
struct Gate {
    explicit Gate(const asio::any_io_executor& executor) : signal(executor) {}
    asio::awaitable<void> pass() {
        co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
        while (!open) co_await signal.wait();
    }
    void release() {
        open = true;
        signal.notifyAll();
    }
    bool open = false;
    LoopSignal signal;
};

struct Rig {
    explicit Rig(int maxAttempts = 10, bool parkedSleep = false) : parkSleeps(parkedSleep) {
        store->trust(testing::trustedRecord(identity.publicIdentity, DevicePermissions::all));
        coordinator = std::make_shared<Coordinator>(
            loop.io.get_executor(), store, kPolicy, maxAttempts,
            [this](Uuid id) -> asio::awaitable<int> {
                EXPECT_EQ(id, device);
                ++calls;
                if (script.empty()) throw RemoteConnectionFailure::connectionTimedOut();
                auto next = std::move(script.front());
                script.pop_front();
                co_return co_await next();
            },
            [this](const Status& status) { statuses.push_back(status); },
            [this](std::chrono::nanoseconds duration) -> asio::awaitable<void> {
                waits.push_back(duration);
                // A parked wait ends only through cancellation, as a timer would.
                if (parkSleeps) co_await LoopSignal(loop.io.get_executor()).wait();
                if (parkSleeps) throw asio::system_error(asio::error::operation_aborted);
            });
    }

    template <class E>
    void thenFail(E error) {
        script.push_back([error]() -> asio::awaitable<int> { throw error; });
    }
    void thenSucceed(int value) {
        script.push_back([value]() -> asio::awaitable<int> { co_return value; });
    }
    // A reconnect that waits for `gate`, then succeeds with `value` or fails with `error`.
    void thenWait(Gate& gate, int value, std::exception_ptr error = nullptr) {
        script.push_back([&gate, value, error]() -> asio::awaitable<int> {
            co_await gate.pass();
            if (error) std::rethrow_exception(error);
            co_return value;
        });
    }
    std::optional<int> reconnectNow() { return loop.run(coordinator->reconnectNow(device)); }

    testing::LoopRunner loop;
    std::shared_ptr<InMemorySecureStore> secure = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<TrustedDeviceStore> store = std::make_shared<TrustedDeviceStore>(secure);
    TLSDeviceIdentity identity = testing::makeTestIdentity("Studio Mac");
    Uuid device = identity.publicIdentity.id;
    bool parkSleeps;
    int calls = 0;
    std::deque<std::function<asio::awaitable<int>()>> script;
    std::vector<std::chrono::nanoseconds> waits;
    std::vector<Status> statuses;
    std::shared_ptr<Coordinator> coordinator;
};

TEST(NetworkTransitionCoordinator, RecoversWithTheValueAndKeepsFollowingTheDevice) {
    Rig rig;
    EXPECT_TRUE(rig.statuses.empty()); // creation reports nothing
    rig.thenFail(RemoteConnectionFailure::connectionRefused("ECONNREFUSED"));
    rig.thenSucceed(42);
    EXPECT_EQ(rig.reconnectNow(), 42);
    EXPECT_EQ(rig.statuses, (std::vector<Status>{Status::reconnecting(1, 10), Status::reconnecting(2, 10), Status::recovered()}));
    EXPECT_EQ(rig.waits, std::vector<std::chrono::nanoseconds>{1s});
    EXPECT_EQ(rig.coordinator->trackedDeviceID(), rig.device);
}

TEST(NetworkTransitionCoordinator, BacksOffOneTwoFourEightEightEightThenGivesUpAfterTheSeventhFailure) {
    Rig rig;
    EXPECT_EQ(rig.reconnectNow(), std::nullopt);
    EXPECT_EQ(rig.waits, (std::vector<std::chrono::nanoseconds>{1s, 2s, 4s, 8s, 8s, 8s}));
    EXPECT_EQ(rig.calls, 7);
    EXPECT_EQ(rig.statuses.back(), Status::exhaustedRetries(RemoteConnectionFailure::connectionTimedOut().what()));
    EXPECT_EQ(rig.statuses.size(), 8u);
    EXPECT_EQ(rig.statuses[6], Status::reconnecting(7, 10)); // maxAttempts as configured
    EXPECT_EQ(rig.coordinator->trackedDeviceID(), std::nullopt);

    Rig once(0); // raised to one attempt
    once.thenFail(RemoteConnectionFailure::networkUnreachable("no route"));
    EXPECT_EQ(once.reconnectNow(), std::nullopt);
    EXPECT_EQ(once.calls, 1);
    EXPECT_TRUE(once.waits.empty());
    EXPECT_EQ(once.statuses.back(), Status::exhaustedRetries(RemoteConnectionFailure::networkUnreachable("").what()));

    // Something that is not an exception is an ordinary failure.
    Rig odd(1);
    odd.script.push_back([]() -> asio::awaitable<int> { throw 7; });
    EXPECT_EQ(odd.reconnectNow(), std::nullopt);
    EXPECT_EQ(odd.statuses.back(), Status::exhaustedRetries("Connection could not be restored."));
}

TEST(NetworkTransitionCoordinator, ARecordThatNoLongerGrantsConnectHaltsWithoutACall) {
    const std::function<void(Rig&)> spoilers[] = {
        [](Rig& rig) { rig.store->revoke(rig.device); },
        [](Rig& rig) { rig.store->remove(rig.device); },
        [](Rig& rig) { rig.store->updatePermissions(rig.device, DevicePermissions::screenView); },
        [](Rig& rig) { rig.secure->setItem(bytesOf("not json"), TrustedDeviceStore::service(), TrustedDeviceStore::kAccount); },
    };
    for (const auto& spoil : spoilers) {
        Rig rig;
        if (&spoil == &spoilers[3]) {
            // Unreadable: a fresh store over the corrupted item.
            spoil(rig);
            rig.store = std::make_shared<TrustedDeviceStore>(rig.secure);
            rig.coordinator = std::make_shared<Coordinator>(rig.loop.io.get_executor(), rig.store, kPolicy, 10,
                                                            [](Uuid) -> asio::awaitable<int> { co_return 1; },
                                                            [&rig](const Status& status) { rig.statuses.push_back(status); });
        } else {
            spoil(rig);
        }
        EXPECT_EQ(rig.reconnectNow(), std::nullopt);
        EXPECT_EQ(rig.calls, 0);
        EXPECT_EQ(rig.statuses, std::vector<Status>{Status::haltedByRevocationOrAuth("Access for this device has been revoked.")});
        EXPECT_EQ(rig.coordinator->trackedDeviceID(), std::nullopt);
    }
}

TEST(NetworkTransitionCoordinator, AuthenticationFailuresHaltAtOnceWithTheirText) {
    const std::pair<std::exception_ptr, std::string> cases[] = {
        {std::make_exception_ptr(RemoteConnectionFailure::hostAuthorizationDenied("")),
         "The Mac denied authorization for this session."},
        {std::make_exception_ptr(RemoteConnectionFailure::hostAuthorizationDenied("Denied by policy.")), "Denied by policy."},
        {std::make_exception_ptr(RemoteConnectionFailure::identityMismatch()),
         RemoteConnectionFailure::identityMismatch().what()},
        {std::make_exception_ptr(RemoteConnectionFailure::trustedDeviceRevoked()), "Access for this iPad has been revoked."},
        {std::make_exception_ptr(SessionHandshakeError(SessionHandshakeError::Case::revokedOnHost)),
         "Access for this iPad was revoked on your Mac."},
        {std::make_exception_ptr(TrustedDeviceStoreError(TrustedDeviceStoreError::Case::untrustedDevice)),
         "This Mac is not paired."},
    };
    for (const auto& [error, text] : cases) {
        Rig rig;
        rig.script.push_back([error = error]() -> asio::awaitable<int> { std::rethrow_exception(error); });
        EXPECT_EQ(rig.reconnectNow(), std::nullopt);
        EXPECT_EQ(rig.calls, 1) << text;
        EXPECT_TRUE(rig.waits.empty());
        EXPECT_EQ(rig.statuses.back(), Status::haltedByRevocationOrAuth(text));
        EXPECT_EQ(rig.coordinator->trackedDeviceID(), std::nullopt);
    }
}

TEST(NetworkTransitionCoordinator, EveryFormOfCancellationEndsTheRunAsCancelledAndKeepsTheDevice) {
    const std::exception_ptr cases[] = {
        std::make_exception_ptr(RemoteConnectionFailure::cancelled()),
        std::make_exception_ptr(asio::system_error(asio::error::operation_aborted)),
        std::make_exception_ptr(CancellationError()),
        std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::cancelled)),
    };
    for (const auto& error : cases) {
        Rig rig;
        rig.script.push_back([error]() -> asio::awaitable<int> { std::rethrow_exception(error); });
        EXPECT_EQ(rig.reconnectNow(), std::nullopt);
        EXPECT_EQ(rig.calls, 1);
        EXPECT_EQ(rig.statuses.back(), Status::cancelled());
        EXPECT_EQ(rig.coordinator->trackedDeviceID(), rig.device);
    }
}

TEST(NetworkTransitionCoordinator, PathUpdatesRestartOnlyAChangedPathWithARunHandle) {
    Rig rig;
    Coordinator& coordinator = *rig.coordinator;
    EXPECT_FALSE(coordinator.handlePathUpdate(kWifi, std::nullopt, false)); // no previous path
    rig.loop.run([&]() -> asio::awaitable<void> {
        coordinator.track(rig.device);
        EXPECT_FALSE(coordinator.handlePathUpdate(kEthernet, std::nullopt, false)); // no run handle yet
        EXPECT_TRUE(coordinator.handlePathUpdate(kWifi, rig.device, true));         // the caller's to handle
        EXPECT_EQ(coordinator.activeReconnectTask(), nullptr);
        co_return;
    }());
    rig.thenSucceed(1);
    EXPECT_EQ(rig.reconnectNow(), 1);
    // The ended run's handle is still there: a change restarts; the same text does not.
    rig.thenSucceed(2);
    EXPECT_FALSE(coordinator.handlePathUpdate(kWifi, std::nullopt, false));
    EXPECT_TRUE(coordinator.handlePathUpdate(kEthernet, std::nullopt, false));
    EXPECT_EQ(rig.loop.run(coordinator.activeReconnectTask()->result()), 2);
    // IP support alone is no change.
    NetworkPathSnapshot ipv6 = kEthernet;
    ipv6.supportsIPv6 = true;
    EXPECT_FALSE(coordinator.handlePathUpdate(ipv6, std::nullopt, false));
    EXPECT_EQ(rig.calls, 2);
}

TEST(NetworkTransitionCoordinator, WaitsForANetworkThenASatisfiedPathStartsARunEvenWithTheSameText) {
    Rig rig;
    Coordinator& coordinator = *rig.coordinator;
    EXPECT_FALSE(coordinator.handlePathUpdate(kNoPath, std::nullopt, false));
    EXPECT_EQ(rig.reconnectNow(), std::nullopt);
    EXPECT_EQ(rig.calls, 0);
    EXPECT_EQ(rig.statuses.back(), Status::waitingForNetwork());
    EXPECT_EQ(coordinator.trackedDeviceID(), rig.device);

    EXPECT_FALSE(coordinator.handlePathUpdate(kNoPath, std::nullopt, false));
    rig.thenSucceed(5);
    // Even when the caller says it handles changes.
    EXPECT_TRUE(coordinator.handlePathUpdate(pathWith(NetworkPathSatisfaction::satisfied, {}), rig.device, true));
    EXPECT_EQ(rig.loop.run(coordinator.activeReconnectTask()->result()), 5);
    EXPECT_EQ(rig.statuses.back(), Status::recovered());

    // requiresConnection is no usable path either, also between attempts.
    Rig between;
    Gate gate(between.loop.io.get_executor());
    between.thenWait(gate, 0, std::make_exception_ptr(RemoteConnectionFailure::connectionTimedOut()));
    between.coordinator->handlePathUpdate(kWifi, std::nullopt, false);
    auto run = between.loop.spawn(between.coordinator->reconnectNow(between.device));
    between.loop.until([&] { return between.calls == 1; });
    between.coordinator->handlePathUpdate(pathWith(NetworkPathSatisfaction::requiresConnection, {"ppp0"}), std::nullopt, true);
    gate.release();
    EXPECT_EQ(between.loop.wait(run), std::nullopt);
    EXPECT_EQ(between.calls, 1);
    EXPECT_EQ(between.statuses.back(), Status::waitingForNetwork());
}

TEST(NetworkTransitionCoordinator, CancelReportsAtOnceWithoutARunAndAfterTheRunEndedWithOne) {
    Rig idle;
    idle.loop.run(idle.coordinator->cancel());
    EXPECT_EQ(idle.statuses, std::vector<Status>{Status::cancelled()});
    idle.loop.run(idle.coordinator->cancel());
    EXPECT_EQ(idle.statuses.size(), 1u); // an equal status is not reported again

    // A success that comes after cancel(): cancelled, the value dropped.
    Rig rig;
    Gate gate(rig.loop.io.get_executor());
    rig.thenWait(gate, 9);
    auto reconnect = rig.loop.spawn(rig.coordinator->reconnectNow(rig.device));
    rig.loop.until([&] { return rig.calls == 1; });
    auto cancel = rig.loop.spawn(rig.coordinator->cancel());
    rig.loop.settle(10ms);
    EXPECT_EQ(rig.statuses.back(), Status::reconnecting(1, 10)); // not before the run ended
    gate.release();
    rig.loop.wait(cancel);
    EXPECT_EQ(rig.loop.wait(reconnect), std::nullopt);
    EXPECT_EQ(rig.statuses.back(), Status::cancelled());
    EXPECT_EQ(rig.coordinator->activeReconnectTask(), nullptr);
    EXPECT_EQ(rig.coordinator->trackedDeviceID(), std::nullopt);

    // Cancelled during its wait.
    Rig waiting(10, true);
    waiting.thenFail(RemoteConnectionFailure::connectionTimedOut());
    auto parked = waiting.loop.spawn(waiting.coordinator->reconnectNow(waiting.device));
    waiting.loop.until([&] { return waiting.waits.size() == 1; });
    waiting.loop.run(waiting.coordinator->cancel());
    EXPECT_EQ(waiting.loop.wait(parked), std::nullopt);
    EXPECT_EQ(waiting.calls, 1);
    EXPECT_EQ(waiting.statuses.back(), Status::cancelled());
}

TEST(NetworkTransitionCoordinator, AReplacedRunThatEndsLatePublishesNothingAndLeavesTheTrackedDevice) {
    const std::exception_ptr lateEndings[] = {nullptr, std::make_exception_ptr(RemoteConnectionFailure::trustedDeviceRevoked())};
    for (const auto& ending : lateEndings) {
        Rig rig;
        Gate first(rig.loop.io.get_executor());
        Gate second(rig.loop.io.get_executor());
        rig.thenWait(first, 1, ending);
        rig.thenWait(second, 2);
        rig.coordinator->handlePathUpdate(kWifi, std::nullopt, false);
        auto old = rig.loop.spawn(rig.coordinator->reconnectNow(rig.device));
        rig.loop.until([&] { return rig.calls == 1; });
        ASSERT_TRUE(rig.coordinator->handlePathUpdate(kEthernet, std::nullopt, false)); // replaces the run
        rig.loop.until([&] { return rig.calls == 2; });
        second.release();
        rig.loop.until([&] { return rig.statuses.back() == Status::recovered(); });

        const std::size_t reported = rig.statuses.size();
        first.release(); // the replaced run's call ends now
        EXPECT_EQ(rig.loop.wait(old), std::nullopt);
        rig.loop.drain();
        EXPECT_EQ(rig.statuses.size(), reported);
        EXPECT_EQ(rig.statuses.back(), Status::recovered());
        EXPECT_EQ(rig.coordinator->trackedDeviceID(), rig.device);
    }
}

TEST(NetworkTransitionCoordinator, StopTrackingStaysIdleWhatEverTheOldRunDoesLater) {
    Rig rig;
    Gate gate(rig.loop.io.get_executor());
    rig.thenWait(gate, 1, std::make_exception_ptr(RemoteConnectionFailure::identityMismatch()));
    auto run = rig.loop.spawn(rig.coordinator->reconnectNow(rig.device));
    rig.loop.until([&] { return rig.calls == 1; });
    rig.coordinator->stopTracking();
    EXPECT_EQ(rig.statuses.back(), Status::idle());
    gate.release();
    EXPECT_EQ(rig.loop.wait(run), std::nullopt);
    rig.loop.drain();
    EXPECT_EQ(rig.statuses.back(), Status::idle());
    EXPECT_EQ(rig.coordinator->currentStatus(), Status::idle());
}

TEST(NetworkTransitionCoordinator, ACancelRacingReconnectNowLeavesTheNewRunReachableAndItsStatusStanding) {
    Rig rig;
    Gate old(rig.loop.io.get_executor());
    Gate fresh(rig.loop.io.get_executor());
    rig.thenWait(old, 1);
    rig.thenWait(fresh, 2);
    auto first = rig.loop.spawn(rig.coordinator->reconnectNow(rig.device));
    rig.loop.until([&] { return rig.calls == 1; });
    auto cancel = rig.loop.spawn(rig.coordinator->cancel());
    rig.loop.drain();
    auto second = rig.loop.spawn(rig.coordinator->reconnectNow(rig.device));
    rig.loop.until([&] { return rig.calls == 2; });
    const auto newRun = rig.coordinator->activeReconnectTask();

    old.release(); // the cancelled run ends; cancel() resumes after a newer run started
    rig.loop.wait(cancel);
    EXPECT_EQ(rig.loop.wait(first), std::nullopt);
    EXPECT_EQ(rig.coordinator->activeReconnectTask(), newRun);
    EXPECT_EQ(rig.statuses.back(), Status::reconnecting(1, 10));
    fresh.release();
    EXPECT_EQ(rig.loop.wait(second), 2);
    EXPECT_EQ(rig.statuses.back(), Status::recovered());
    EXPECT_EQ(rig.coordinator->trackedDeviceID(), rig.device);
}

} // namespace
} // namespace velorinth
