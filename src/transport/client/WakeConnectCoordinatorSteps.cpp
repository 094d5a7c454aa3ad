// The steps of a wake-and-connect run: the paired-Mac check, the candidate
// list, the relay wake, one connect attempt with its stream start and
// first-frame wait, and the state transitions.

#include "transport/client/WakeConnectCoordinator.hpp"

#include "core/Cancellation.hpp"
#include "core/WorkerCall.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/this_coro.hpp>

#include <algorithm>
#include <variant>

namespace velorinth {

namespace {

using State = WakeConnectState;
using Terminal = WakeConnectCoordinator::WorkflowTerminalFailure;

bool sameIdentity(const DevicePublicIdentity& peer, const TrustedDevice& record) {
    return peer.id == record.id && peer.fingerprint == record.identity.fingerprint &&
           peer.signingPublicKey == record.identity.signingPublicKey;
}

} // namespace

TrustedDevice WakeConnectCoordinator::loadAuthorizedDevice(const Uuid& deviceID) {
    const std::optional<TrustedDevice> record = trustedDeviceStore_->device(deviceID);
    if (!record) throw Terminal(Terminal::Kind::authentication, "This Mac is no longer in your paired devices list.");
    if (record->authorization == DeviceAuthorization::revoked) {
        throw Terminal(Terminal::Kind::authentication, "Access for this Mac has been revoked.");
    }
    if (!record->permissions.contains(DevicePermissions::connect)) {
        throw Terminal(Terminal::Kind::authentication, "Connection permission is disabled for this paired Mac.");
    }
    return *record;
}

asio::awaitable<std::vector<WakeConnectCoordinator::EndpointCandidate>>
WakeConnectCoordinator::endpointCandidates(TrustedDevice device, bool isRemoteNetworkContext) {
    std::vector<EndpointCandidate> list;
    const auto listed = [&list](const ServiceEndpoint& endpoint) {
        return std::any_of(list.begin(), list.end(),
                           [&](const EndpointCandidate& candidate) { return candidate.endpoint == endpoint; });
    };
    if (std::optional<ServiceEndpoint> discovered = co_await environment_.resolveDiscoveredEndpoint(device)) {
        list.push_back({std::move(*discovered), ConnectionRouteKind::bonjourLocal, std::nullopt});
    }
    for (const RemoteEndpoint& saved : device.orderedRemoteEndpoints()) {
        const ServiceEndpoint endpoint{HostPort{saved.host, saved.port}};
        if (saved.port == 0 || listed(endpoint)) continue;
        list.push_back({endpoint,
                        saved.transport == RemoteTransportKind::privateNetwork ? ConnectionRouteKind::privateNetwork
                                                                               : ConnectionRouteKind::localDirect,
                        saved.id});
    }
    const auto& wake = device.wakeConfiguration;
    if (isRemoteNetworkContext || !timing_.allowSavedDirectEndpointFallback || !wake || !wake->bonjourServicePort ||
        *wake->bonjourServicePort == 0) {
        co_return list;
    }
    for (const WakeNetworkInterfaceTarget& target : wake->sortedTargets()) {
        if (!target.ipv4Address) continue;
        const ServiceEndpoint endpoint{HostPort{*target.ipv4Address, *wake->bonjourServicePort}};
        if (!listed(endpoint)) list.push_back({endpoint, ConnectionRouteKind::localDirect, std::nullopt});
    }
    co_return list;
}

asio::awaitable<WakeDispatchOutcome>
WakeConnectCoordinator::sendWakeRequest(const Run& run, Uuid deviceID, PairedWakeRelayConfiguration configuration,
                                        std::shared_ptr<WakeRelayDispatching> dispatcher) {
    failIfCancelled(run);
    loadAuthorizedDevice(deviceID);
    transition(State::Case::contactingWakeRelay);
    const Duration timeout = std::max<Duration>(timing_.initialConnectTimeout, kMinimumRelayTimeout);
    std::exception_ptr failure;
    try {
        co_return co_await dispatcher->sendWakeSignal(std::move(configuration), timeout);
    } catch (...) {
        failure = std::current_exception();
    }
    if (run.isCancelled() || isCancellationError(failure)) std::rethrow_exception(failure); // nothing recorded
    const WakeAttemptOutcomeSummary summary{clocks_.wall(), WakeRouteKind::externalWakeRelay,
                                            WakeAttemptResultKind::failedToSend};
    std::function<void(TrustedDeviceStore&)> write = [deviceID, summary](TrustedDeviceStore& store) {
        store.recordWakeAttempt(deviceID, summary);
    };
    co_await recordQuietly(std::move(write));
    Terminal::Kind kind = Terminal::Kind::connection;
    try {
        std::rethrow_exception(failure);
    } catch (const WakeRelayClientError& error) {
        if (error.kind() == WakeRelayClientError::Case::authenticationFailed ||
            error.kind() == WakeRelayClientError::Case::relayIdentityMismatch) {
            kind = Terminal::Kind::authentication;
        }
    } catch (...) {
    }
    throw Terminal(kind, describeError(failure));
}

asio::awaitable<WakeSession> WakeConnectCoordinator::attemptConnect(const Run& run, EndpointCandidate candidate,
                                                                    Uuid deviceID, Duration connectTimeout,
                                                                    bool wakeSent,
                                                                    std::optional<WakeRouteKind> wakeRoute,
                                                                    bool reportHostReachable,
                                                                    bool reportAuthenticatingBeforeConnecting) {
    TrustedDevice record = loadAuthorizedDevice(deviceID);
    auto gate = std::make_shared<FirstFrameGate>();
    activeFirstFrameGate_ = gate;
    if (reportAuthenticatingBeforeConnecting) transition(State::Case::authenticating);
    // Its failure is passed on unchanged: no session exists.
    const EstablishedWakeSession established =
        co_await environment_.connectAuthenticatedSession(candidate.endpoint, record, connectTimeout, gate);
    const WakeSession session = established.session;
    if (reportHostReachable) transition(State::Case::hostReachable);
    if (!reportAuthenticatingBeforeConnecting) transition(State::Case::authenticating);

    // From here on the session is open: every way out but success closes it,
    // with its own reason where the step has one, else as aborted.
    std::exception_ptr failure;
    std::optional<std::string> ownReason;
    std::optional<Terminal> ownFailure;
    try {
        failIfCancelled(run);
        record = loadAuthorizedDevice(deviceID);
        if (!sameIdentity(established.peerIdentity, record)) {
            ownReason = kIdentityMismatchReason;
            ownFailure.emplace(Terminal::Kind::authentication, std::string(kIdentityMismatchText));
        } else if (established.grantedPermissions.allowsScreenView() && established.supportsLiveVideo) {
            transition(State::Case::startingDesktopStream);
            std::exception_ptr streamFailure;
            try {
                co_await environment_.startDesktopStream(established, gate);
            } catch (...) {
                streamFailure = std::current_exception();
            }
            if (streamFailure && (run.isCancelled() || isCancellationError(streamFailure))) {
                std::rethrow_exception(streamFailure);
            }
            if (streamFailure) {
                ownReason = kStreamStartFailedReason;
                ownFailure.emplace(Terminal::Kind::connection, describeError(streamFailure));
            } else {
                failIfCancelled(run);
                record = loadAuthorizedDevice(deviceID);
                transition(State::Case::waitingForFirstFrame);
                const FirstFrameGate::Outcome outcome = co_await awaitFirstFrame(gate, timing_.firstFrameTimeout);
                if (outcome.kind == FirstFrameGate::Outcome::Kind::cancelled) throw CancellationError();
                if (outcome.kind == FirstFrameGate::Outcome::Kind::streamFailed) {
                    ownReason = kStreamStoppedReason;
                    ownFailure.emplace(Terminal::Kind::connection, outcome.message);
                }
            }
        }
        if (!ownFailure) {
            failIfCancelled(run);
            record = loadAuthorizedDevice(deviceID);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (ownFailure || failure) {
        // A cancelled run still ends its session; so do the first-frame
        // timeout and a failed re-check of the record, which the session
        // would otherwise survive.
        co_await asio::this_coro::reset_cancellation_state();
        std::string reason = ownReason && !failure ? *ownReason : std::string(kAbortedReason);
        co_await environment_.disconnectSession(session, std::move(reason));
        if (failure) std::rethrow_exception(failure);
        throw *ownFailure;
    }

    // One time for every record of this success; each failure is ignored.
    const Date now = clocks_.wall();
    std::function<void(TrustedDeviceStore&)> recordRoute;
    if (candidate.configuredEndpointID) {
        recordRoute = [deviceID, endpointID = *candidate.configuredEndpointID, now](TrustedDeviceStore& store) {
            store.recordEndpointSuccess(deviceID, endpointID, true, now);
        };
    } else {
        recordRoute = [deviceID, route = candidate.routeKind, now](TrustedDeviceStore& store) {
            store.recordReachability(deviceID, RemoteReachabilityObservation{std::nullopt, route, now});
        };
    }
    co_await recordQuietly(std::move(recordRoute));
    if (wakeSent) {
        std::function<void(TrustedDeviceStore&)> recordWake = [deviceID, now,
                                                                route = wakeRoute.value_or(
                                                                    WakeRouteKind::directLocalNetwork)](
                                                                   TrustedDeviceStore& store) {
            store.recordVerifiedWake(deviceID, now, route);
        };
        co_await recordQuietly(std::move(recordWake));
        co_await environment_.confirmVerifiedWakeOnSession(session, now);
    }
    transition(State::Case::connected);
    co_return session;
}

asio::awaitable<FirstFrameGate::Outcome> WakeConnectCoordinator::awaitFirstFrame(std::shared_ptr<FirstFrameGate> gate,
                                                                                 Duration timeout) {
    if (const std::optional<FirstFrameGate::Outcome> outcome = gate->resolvedOutcome()) co_return *outcome;
    using namespace asio::experimental::awaitable_operators;
    // The loser ends at once: the gate's wait takes only itself off the gate,
    // which keeps whatever outcome it gets later.
    auto race = gate->wait() || clocks_.monotonic->sleep(timeout);
    // Optional: the outcome has no default value to start the variant with.
    std::optional<std::variant<FirstFrameGate::Outcome, std::monostate>> first;
    try {
        first.emplace(co_await std::move(race));
    } catch (...) {
        throw CancellationError(); // both ended by this task's cancellation
    }
    if (first->index() == 1) throw Terminal(Terminal::Kind::connection, std::string(kNoFirstFrameText));
    co_return std::get<0>(*first);
}

WakeConnectResult WakeConnectCoordinator::finishWithFailure(std::string text, WorkflowTerminalFailure::Kind kind,
                                                            bool wakeSent, std::optional<WakeRouteKind> wakeRoute) {
    transition(kind == Terminal::Kind::authentication ? State::authenticationFailed(std::move(text))
                                                      : State::connectionFailed(std::move(text)));
    return WakeConnectResult{currentState_, nullptr, wakeSent, wakeRoute, std::nullopt};
}

void WakeConnectCoordinator::transition(const WakeConnectState& state) {
    if (state == currentState_) return;
    currentState_ = state;
    stateHistory_.push_back(state);
    if (onStateChanged_) onStateChanged_(state);
}

asio::awaitable<void> WakeConnectCoordinator::recordQuietly(std::function<void(TrustedDeviceStore&)> write) {
    const std::shared_ptr<TrustedDeviceStore> store = trustedDeviceStore_;
    auto work = [store, write = std::move(write)] { write(*store); };
    try {
        co_await callOnWorker(storeWorker_, std::move(work));
    } catch (const std::exception&) {
        // Bookkeeping only.
    }
}

} // namespace velorinth
