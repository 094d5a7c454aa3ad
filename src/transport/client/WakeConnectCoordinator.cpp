// The coordinator's entry points and the run itself, phase by phase.

#include "transport/client/WakeConnectCoordinator.hpp"

#include "core/Cancellation.hpp"
#include "core/KeepAlive.hpp"
#include "core/WakeReadinessEvaluator.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/wake/LocalWakeError.hpp"

#include <asio/this_coro.hpp>

#include <algorithm>
#include <utility>

namespace velorinth {

using State = WakeConnectState;
using Write = std::function<void(TrustedDeviceStore&)>;

// What a run keeps while it goes.
struct WakeConnectCoordinator::RunState {
    TrustedDevice record;
    std::exception_ptr lastConnectError;
    std::optional<std::string> lastFailureMessage;
    bool remoteContext = false;
    bool wakeSent = false;
    std::optional<WakeRouteKind> wakeRoute;
};

WakeConnectCoordinator::WakeConnectCoordinator(asio::any_io_executor executor,
                                               std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                                               asio::thread_pool& storeWorker,
                                               std::shared_ptr<LocalWakeService> localWakeService,
                                               std::shared_ptr<WakeRelayDispatching> wakeRelayClient,
                                               WakeConnectTimingPolicy timing, WakeConnectEnvironment environment,
                                               StateHandler onStateChanged, WakeConnectClocks clocks)
    : executor_(std::move(executor)), trustedDeviceStore_(std::move(trustedDeviceStore)), storeWorker_(storeWorker),
      localWakeService_(std::move(localWakeService)), wakeRelayClient_(std::move(wakeRelayClient)),
      timing_(timing), environment_(std::move(environment)), onStateChanged_(std::move(onStateChanged)),
      clocks_(std::move(clocks)) {}

bool WakeConnectCoordinator::runActive() const { return activeTask_ && !activeTask_->isFinished(); }

void WakeConnectCoordinator::forgetRun(const std::shared_ptr<Run>& run) {
    if (activeTask_ != run) return; // a newer run stands
    activeTask_.reset();
    activeDeviceID_.reset();
    activeFirstFrameGate_.reset();
}

void WakeConnectCoordinator::resetToIdle() {
    if (!runActive()) transition(State::Case::idle);
}

void WakeConnectCoordinator::markReconnecting(int attempt) {
    if (!runActive()) transition(State::reconnecting(std::max(attempt, 1)));
}

asio::awaitable<WakeConnectResult> WakeConnectCoordinator::wakeAndConnect(Uuid deviceID) {
    return keepAlive(shared_from_this(), wakeAndConnectBody(deviceID));
}

asio::awaitable<void> WakeConnectCoordinator::cancel() { return keepAlive(shared_from_this(), cancelBody()); }

asio::awaitable<WakeConnectResult> WakeConnectCoordinator::wakeAndConnectBody(Uuid deviceID) {
    // After waiting for a replaced run, look again: another call may have
    // started a run meanwhile, which this one must join or replace too.
    for (;;) {
        if (activeTask_ && activeTask_->isFinished()) forgetRun(activeTask_); // its creator has not resumed yet
        if (!activeTask_) break;
        const std::shared_ptr<Run> running = activeTask_;
        if (activeDeviceID_ == deviceID) co_return co_await running->result();
        if (activeFirstFrameGate_) activeFirstFrameGate_->cancel();
        running->cancel();
        try {
            co_await running->result(); // its result is dropped
        } catch (const std::exception&) {
        }
        const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
        if (isCancelled(caller)) throw CancellationError();
    }
    stateHistory_ = {currentState_};
    activeDeviceID_ = deviceID;
    auto self = shared_from_this();
    const std::shared_ptr<Run> run =
        Run::start(executor_, [self, deviceID](const Run& task) { return self->runWorkflow(deviceID, task); });
    activeTask_ = run;
    WakeConnectResult result = co_await run->result();
    forgetRun(run);
    co_return result;
}

asio::awaitable<void> WakeConnectCoordinator::cancelBody() {
    if (!runActive()) {
        if (currentState_.isInProgress()) transition(State::Case::cancelled);
        co_return;
    }
    const std::shared_ptr<Run> running = activeTask_;
    if (activeFirstFrameGate_) activeFirstFrameGate_->cancel();
    running->cancel();
    try {
        co_await running->result();
    } catch (const std::exception&) {
        // Our own caller was cancelled; the run has been told already.
    }
}

void WakeConnectCoordinator::failIfCancelled(const Run& run) {
    if (run.isCancelled()) throw CancellationError();
}

bool WakeConnectCoordinator::endsRun(const std::exception_ptr& failure, const Run& run) {
    if (run.isCancelled() || isCancellationError(failure)) return true;
    try {
        std::rethrow_exception(failure);
    } catch (const WorkflowTerminalFailure&) {
        return true;
    } catch (...) {
    }
    return authenticationFailureMessage(failure).has_value();
}

bool WakeConnectCoordinator::hasLocalWakeTargets(const TrustedDevice& device) {
    const auto& wake = device.wakeConfiguration;
    return wake && wake->wakeForNetworkAccess != Evidence<bool>::verified(false) && wake->hasAddressedTarget();
}

asio::awaitable<WakeConnectResult> WakeConnectCoordinator::runWorkflow(Uuid deviceID, const Run& run) {
    RunState state;
    std::exception_ptr failure;
    try {
        co_return co_await runPhases(deviceID, run, state);
    } catch (...) {
        failure = std::current_exception();
    }
    // A cancelled run still reports and records how it ended: from here on
    // nothing it awaits is cut short.
    co_await asio::this_coro::reset_cancellation_state();
    co_return co_await endOnError(failure, run, state);
}

asio::awaitable<WakeConnectResult> WakeConnectCoordinator::endOnError(std::exception_ptr failure, const Run& run,
                                                                      RunState& state) {
    if (run.isCancelled() || isCancellationError(failure)) {
        if (state.wakeSent && state.wakeRoute) {
            const WakeAttemptOutcomeSummary summary{clocks_.wall(), *state.wakeRoute, WakeAttemptResultKind::cancelled};
            Write write = [deviceID = state.record.id, summary](TrustedDeviceStore& store) {
                store.recordWakeAttempt(deviceID, summary);
            };
            co_await recordQuietly(std::move(write));
        }
        transition(State::Case::cancelled);
        co_return WakeConnectResult{currentState_, nullptr, state.wakeSent, state.wakeRoute, std::nullopt};
    }
    try {
        std::rethrow_exception(failure);
    } catch (const WorkflowTerminalFailure& terminal) {
        co_return finishWithFailure(terminal.what(), terminal.kind, state.wakeSent, state.wakeRoute);
    } catch (...) {
    }
    if (const std::optional<std::string> text = authenticationFailureMessage(failure)) {
        transition(State::authenticationFailed(*text));
    } else {
        transition(State::connectionFailed(connectionFailureMessage(failure)));
    }
    co_return WakeConnectResult{currentState_, nullptr, state.wakeSent, state.wakeRoute, std::nullopt};
}

asio::awaitable<WakeConnectResult> WakeConnectCoordinator::runPhases(Uuid deviceID, const Run& run, RunState& state) {
    state.record = loadAuthorizedDevice(deviceID);
    if (std::optional<WakeConnectResult> connected = co_await tryWithoutWake(deviceID, run, state)) {
        co_return std::move(*connected);
    }

    // Whether a wake is possible at all.
    state.record = loadAuthorizedDevice(deviceID);
    state.remoteContext = co_await environment_.isRemoteNetworkContext(state.record);
    const bool relayPossible = state.record.wakeRelayConfiguration && wakeRelayClient_;
    const bool localPossible = !state.remoteContext && hasLocalWakeTargets(state.record);
    if (!relayPossible && !localPossible && (state.lastFailureMessage || state.lastConnectError)) {
        transition(State::connectionFailed(state.lastFailureMessage
                                               ? *state.lastFailureMessage
                                               : connectionFailureMessage(state.lastConnectError)));
        co_return WakeConnectResult{currentState_, nullptr, false, std::nullopt, std::nullopt};
    }

    const std::optional<WakeDispatchOutcome> outcome = co_await sendWake(deviceID, run, state);
    if (!outcome) co_return WakeConnectResult{currentState_, nullptr, false, state.wakeRoute, std::nullopt};

    state.wakeRoute = outcome->routeUsed;
    state.wakeSent = true;
    const WakeAttemptOutcomeSummary sent{outcome->dispatchedAt, outcome->routeUsed,
                                         WakeAttemptResultKind::wakeRequestSent};
    Write recordSent = [deviceID, sent](TrustedDeviceStore& store) { store.recordWakeAttempt(deviceID, sent); };
    co_await recordQuietly(std::move(recordSent));
    if (outcome->routeUsed == WakeRouteKind::externalWakeRelay) {
        Write recordRelay = [deviceID, at = outcome->dispatchedAt](TrustedDeviceStore& store) {
            store.recordWakeRelayActivity(deviceID, at);
        };
        co_await recordQuietly(std::move(recordRelay));
        transition(State::Case::wakeRequestSent);
    }
    failIfCancelled(run);
    transition(State::Case::waitingForHost);
    co_return co_await pollAfterWake(deviceID, run, state);
}

asio::awaitable<std::optional<WakeConnectResult>> WakeConnectCoordinator::tryWithoutWake(Uuid deviceID,
                                                                                          const Run& run,
                                                                                          RunState& state) {
    failIfCancelled(run);
    transition(State::Case::checkingHost);
    if (const std::optional<ServiceEndpoint> discovered = co_await environment_.resolveDiscoveredEndpoint(state.record)) {
        failIfCancelled(run);
        state.record = loadAuthorizedDevice(deviceID);
        transition(State::Case::hostReachable);
        const EndpointCandidate candidate{*discovered, ConnectionRouteKind::bonjourLocal, std::nullopt};
        std::exception_ptr failure;
        try {
            WakeSession session = co_await attemptConnect(run, candidate, deviceID, timing_.initialConnectTimeout,
                                                          false, std::nullopt, false, true);
            co_return WakeConnectResult{currentState_, std::move(session), false, std::nullopt,
                                        ConnectionRouteKind::bonjourLocal};
        } catch (...) {
            failure = std::current_exception();
        }
        if (endsRun(failure, run)) std::rethrow_exception(failure);
        state.lastConnectError = failure;
    }

    // The saved endpoints; one equal to the discovered endpoint is tried again.
    state.record = loadAuthorizedDevice(deviceID);
    for (const RemoteEndpoint& saved : state.record.orderedRemoteEndpoints()) {
        failIfCancelled(run);
        state.record = loadAuthorizedDevice(deviceID);
        if (saved.port == 0) continue;
        const EndpointCandidate candidate{ServiceEndpoint{HostPort{saved.host, saved.port}},
                                          saved.transport == RemoteTransportKind::localDirect
                                              ? ConnectionRouteKind::localDirect
                                              : ConnectionRouteKind::privateNetwork,
                                          saved.id};
        std::exception_ptr failure;
        try {
            WakeSession session = co_await attemptConnect(run, candidate, deviceID, timing_.initialConnectTimeout,
                                                          false, std::nullopt, !state.lastConnectError, false);
            co_return WakeConnectResult{currentState_, std::move(session), false, std::nullopt, candidate.routeKind};
        } catch (...) {
            failure = std::current_exception();
        }
        if (endsRun(failure, run)) std::rethrow_exception(failure);
        if (std::optional<std::string> text = reportableConnectFailureMessage(failure)) {
            state.lastFailureMessage = std::move(text);
        }
    }
    co_return std::nullopt;
}

asio::awaitable<std::optional<WakeDispatchOutcome>> WakeConnectCoordinator::sendWake(Uuid deviceID, const Run& run,
                                                                                   RunState& state) {
    failIfCancelled(run);
    state.record = loadAuthorizedDevice(deviceID);
    transition(State::Case::resolvingWakeRoute);
    const TrustedDevice record = state.record;
    const bool relayPossible = record.wakeRelayConfiguration && wakeRelayClient_;
    const WakeCapabilityEvaluation evaluation =
        WakeReadinessEvaluator::evaluate(HostAvailability::unreachable, record.wakeConfiguration, relayPossible,
                                         state.remoteContext, clocks_.wall(), kMaximumEvidenceAgeSeconds);
    const bool localRoute = !state.remoteContext && hasLocalWakeTargets(record) &&
                            (evaluation.route == WakeRouteKind::directLocalNetwork ||
                             evaluation.route == WakeRouteKind::bonjourSleepProxy);
    if (localRoute) {
        failIfCancelled(run);
        transition(State::Case::sendingWakeRequest);
        std::exception_ptr failure;
        try {
            co_return co_await localWakeService_->dispatchWake(deviceID, record.wakeConfiguration, clocks_.wall());
        } catch (...) {
            failure = std::current_exception();
        }
        if (run.isCancelled() || isCancellationError(failure)) std::rethrow_exception(failure);
        if (!relayPossible) {
            bool nothingToWake = false;
            try {
                std::rethrow_exception(failure);
            } catch (const LocalWakeError& error) {
                nothingToWake = error.kind == LocalWakeError::Case::noSavedWakeConfiguration ||
                                error.kind == LocalWakeError::Case::noValidLocalTargets;
            } catch (...) {
            }
            if (nothingToWake) {
                transition(State::Case::wakeUnavailable);
                co_return std::nullopt;
            }
            const WakeAttemptOutcomeSummary summary{clocks_.wall(), evaluation.route,
                                                    WakeAttemptResultKind::failedToSend};
            Write write = [deviceID, summary](TrustedDeviceStore& store) { store.recordWakeAttempt(deviceID, summary); };
            co_await recordQuietly(std::move(write));
            transition(State::connectionFailed(describeError(failure)));
            state.wakeRoute = evaluation.route; // the result names the route that failed
            co_return std::nullopt;
        }
    } else if (!relayPossible) {
        transition(State::Case::wakeUnavailable);
        co_return std::nullopt;
    }
    co_return co_await sendWakeRequest(run, deviceID, *record.wakeRelayConfiguration, wakeRelayClient_);
}

asio::awaitable<WakeConnectResult> WakeConnectCoordinator::pollAfterWake(Uuid deviceID, const Run& run,
                                                                         RunState& state) {
    MonotonicClock& clock = *clocks_.monotonic;
    const Duration waitStart = clock.now();
    const Duration waitDeadline = waitStart + timing_.wakeWaitTimeout;
    const auto beforeDeadline = [&] { return clock.now() < waitDeadline; };
    const WakeRouteKind wakeRoute = *state.wakeRoute;
    if (beforeDeadline()) {
        int wakeBurstsSent = 1;
        int pollAttempt = 0;
        failIfCancelled(run);
        for (;;) {
            state.record = loadAuthorizedDevice(deviceID);
            if (wakeBurstsSent < timing_.maxWakeBursts && timing_.retryWakeBurstDelay &&
                clock.now() - waitStart >= *timing_.retryWakeBurstDelay) {
                // A burst's outcome and failure are both ignored.
                try {
                    if (wakeRoute == WakeRouteKind::externalWakeRelay && state.record.wakeRelayConfiguration &&
                        wakeRelayClient_) {
                        co_await wakeRelayClient_->sendWakeSignal(*state.record.wakeRelayConfiguration,
                                                                  timing_.initialConnectTimeout);
                    } else {
                        co_await localWakeService_->dispatchWake(deviceID, state.record.wakeConfiguration,
                                                                 clocks_.wall());
                    }
                } catch (...) {
                }
                ++wakeBurstsSent;
            }
            const std::vector<EndpointCandidate> candidates =
                co_await endpointCandidates(state.record, state.remoteContext);
            for (const EndpointCandidate& candidate : candidates) {
                failIfCancelled(run);
                state.record = loadAuthorizedDevice(deviceID);
                const Duration left = waitDeadline - clock.now();
                const Duration timeout = std::max<Duration>(std::min<Duration>(timing_.authenticationTimeout, left),
                                                            kMinimumAttemptTimeout);
                std::exception_ptr failure;
                try {
                    WakeSession session =
                        co_await attemptConnect(run, candidate, deviceID, timeout, true, wakeRoute, false, true);
                    co_return WakeConnectResult{currentState_, std::move(session), true, wakeRoute,
                                                candidate.routeKind};
                } catch (...) {
                    failure = std::current_exception();
                }
                if (endsRun(failure, run)) std::rethrow_exception(failure);
                // Past the deadline the cycle's other candidates still get their turn.
                if (beforeDeadline()) transition(State::Case::waitingForHost);
            }
            if (!beforeDeadline()) break;
            const std::optional<BackoffPolicy::Duration> delay = timing_.pollBackoff.delay(pollAttempt);
            if (!delay) break;
            ++pollAttempt;
            co_await clock.sleep(std::min<Duration>(*delay, waitDeadline - clock.now()));
            if (!beforeDeadline()) break;
            failIfCancelled(run);
        }
    }
    const WakeAttemptOutcomeSummary timedOut{clocks_.wall(), wakeRoute, WakeAttemptResultKind::wakeTimedOut};
    Write write = [deviceID, timedOut](TrustedDeviceStore& store) { store.recordWakeAttempt(deviceID, timedOut); };
    co_await recordQuietly(std::move(write));
    transition(State::Case::wakeTimedOut);
    co_return WakeConnectResult{currentState_, nullptr, true, wakeRoute, std::nullopt};
}

} // namespace velorinth
