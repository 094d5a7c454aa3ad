#pragma once

#include "core/Date.hpp"
#include "core/Error.hpp"
#include "core/LoopTask.hpp"
#include "core/MonotonicClock.hpp"
#include "core/ServiceEndpoint.hpp"
#include "core/TrustedDevice.hpp"
#include "core/Uuid.hpp"
#include "transport/client/FirstFrameGate.hpp"
#include "transport/client/WakeConnectEnvironment.hpp"
#include "transport/client/WakeConnectState.hpp"
#include "transport/client/WakeConnectTimingPolicy.hpp"
#include "transport/relay/WakeRelayDispatching.hpp"
#include "transport/wake/LocalWakeService.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

class TrustedDeviceStore;

// The clocks of a wake-and-connect run: deadlines, delays and the
// first-frame limit on the continuous clock; trust-record times and the
// readiness evaluation on the wall clock.
struct WakeConnectClocks {
    std::shared_ptr<MonotonicClock> monotonic = MonotonicClock::steady();
    WallClock wall = &Date::now;
};

// Connects the tablet to a paired Mac, waking it first when no route
// answers: the Mac's Bonjour endpoint, then its saved endpoints; then a
// local Wake-on-LAN dispatch or its paired wake relay; then polling cycles
// until the Mac answers, authenticates and shows its first frame, or the
// wait runs out. Every step is reported as a WakeConnectState and every
// wake attempt recorded in the Mac's trust record (a failed record is
// ignored).
//
// One run at a time. Lives on the event loop, owned through std::shared_ptr;
// a run holds the coordinator, so it is destroyed only with no run going.
// State read before a suspension is re-checked after it.
class WakeConnectCoordinator : public std::enable_shared_from_this<WakeConnectCoordinator> {
public:
    using Duration = std::chrono::nanoseconds;
    using StateHandler = std::function<void(const WakeConnectState&)>;
    using Run = LoopTask<WakeConnectResult>;

    // The error that ends a run at once, in authenticationFailed or
    // connectionFailed with its text.
    class WorkflowTerminalFailure : public Error {
    public:
        enum class Kind { authentication, connection };
        WorkflowTerminalFailure(Kind kind, std::string text) : Error(std::move(text)), kind(kind) {}
        Kind kind;
    };

    // One endpoint to try; equal when endpoint, route and configured id are.
    struct EndpointCandidate {
        ServiceEndpoint endpoint;
        ConnectionRouteKind routeKind = ConnectionRouteKind::bonjourLocal;
        std::optional<Uuid> configuredEndpointID;
        bool operator==(const EndpointCandidate&) const = default;
    };

    static constexpr std::string_view kIdentityMismatchReason = "Cryptographic host identity mismatch.";
    static constexpr std::string_view kIdentityMismatchText =
        "Your Mac's identity could not be verified. Device identity verification failed \u2014 the responding host "
        "did not match your paired Mac's cryptographic identity.";
    static constexpr std::string_view kStreamStartFailedReason = "Desktop stream failed to start.";
    static constexpr std::string_view kStreamStoppedReason = "Desktop video stream stopped during startup.";
    static constexpr std::string_view kNoFirstFrameText =
        "Connected to your Mac, but no live desktop video frame arrived before timeout.";
    static constexpr std::string_view kAbortedReason = "Wake & Connect aborted before completion.";
    // The longest a relay's first wake request may be given, at least.
    static constexpr std::chrono::seconds kMinimumRelayTimeout{4};
    // The least time a connect attempt while waiting gets.
    static constexpr std::chrono::seconds kMinimumAttemptTimeout{2};
    // The age past which wake evidence no longer counts, in seconds (7 days).
    static constexpr double kMaximumEvidenceAgeSeconds = 604'800;

    // `wakeRelayClient` may be null (no relay client). Trust-store writes run
    // on `storeWorker`, which must outlive the coordinator.
    WakeConnectCoordinator(asio::any_io_executor executor, std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                           asio::thread_pool& storeWorker, std::shared_ptr<LocalWakeService> localWakeService,
                           std::shared_ptr<WakeRelayDispatching> wakeRelayClient, WakeConnectTimingPolicy timing,
                           WakeConnectEnvironment environment, StateHandler onStateChanged,
                           WakeConnectClocks clocks = {});
    WakeConnectCoordinator(const WakeConnectCoordinator&) = delete;
    WakeConnectCoordinator& operator=(const WakeConnectCoordinator&) = delete;

    const WakeConnectState& currentState() const noexcept { return currentState_; }
    // The state the last run began in, then every change since.
    const std::vector<WakeConnectState>& stateHistory() const noexcept { return stateHistory_; }
    const WakeConnectTimingPolicy& timing() const noexcept { return timing_; }

    // The application's own states, reported only while no run is going.
    void resetToIdle();
    void markReconnecting(int attempt);

    // Runs the workflow for the Mac and returns how it ended; never fails,
    // but for CancellationError when the caller's own task is cancelled
    // (the run goes on: cancel() ends it). A call for the Mac of the running
    // run joins it; one for another Mac cancels that run first.
    asio::awaitable<WakeConnectResult> wakeAndConnect(Uuid deviceID);
    // Ends the running run (which reports cancelled) and waits for it; with
    // none, reports cancelled when the current state is in progress.
    asio::awaitable<void> cancel();

    // The Mac's record when it may be connected to; WorkflowTerminalFailure
    // (authentication) otherwise, or the store's own error.
    TrustedDevice loadAuthorizedDevice(const Uuid& deviceID);
    // The discovered endpoint, the saved endpoints and, on the local network
    // with the fallback, the wake targets' addresses on the Bonjour port;
    // each host and port once.
    asio::awaitable<std::vector<EndpointCandidate>> endpointCandidates(TrustedDevice device,
                                                                       bool isRemoteNetworkContext);

    // A wake configuration that does not rule the network wake out and has
    // an addressed target.
    static bool hasLocalWakeTargets(const TrustedDevice& device);

    // The user text for an error the tablet counts as an authentication or
    // authorization failure (trust-store rejections, handshake rejections,
    // pairing and identity verification failures, TLS peer-identity
    // failures); none for any other error, also for none at all.
    static std::optional<std::string> authenticationFailureMessage(const std::exception_ptr& error);
    // The text of connectionFailed for any other failure.
    static std::string connectionFailureMessage(const std::exception_ptr& error);
    // The text worth keeping from a failed attempt on a saved endpoint.
    static std::optional<std::string> reportableConnectFailureMessage(const std::exception_ptr& error);

private:
    struct RunState; // what a run keeps while it goes

    asio::awaitable<WakeConnectResult> wakeAndConnectBody(Uuid deviceID);
    asio::awaitable<void> cancelBody();
    bool runActive() const;
    void forgetRun(const std::shared_ptr<Run>& run);

    // The run and its phases (WakeConnectCoordinator.cpp).
    asio::awaitable<WakeConnectResult> runWorkflow(Uuid deviceID, const Run& run);
    asio::awaitable<WakeConnectResult> runPhases(Uuid deviceID, const Run& run, RunState& state);
    asio::awaitable<std::optional<WakeConnectResult>> tryWithoutWake(Uuid deviceID, const Run& run, RunState& state);
    asio::awaitable<std::optional<WakeDispatchOutcome>> sendWake(Uuid deviceID, const Run& run, RunState& state);
    asio::awaitable<WakeConnectResult> pollAfterWake(Uuid deviceID, const Run& run, RunState& state);
    asio::awaitable<WakeConnectResult> endOnError(std::exception_ptr failure, const Run& run, RunState& state);

    // The steps (WakeConnectCoordinatorSteps.cpp).
    asio::awaitable<WakeDispatchOutcome> sendWakeRequest(const Run& run, Uuid deviceID,
                                                         PairedWakeRelayConfiguration configuration,
                                                         std::shared_ptr<WakeRelayDispatching> dispatcher);
    asio::awaitable<WakeSession> attemptConnect(const Run& run, EndpointCandidate candidate, Uuid deviceID,
                                                Duration connectTimeout, bool wakeSent,
                                                std::optional<WakeRouteKind> wakeRoute, bool reportHostReachable,
                                                bool reportAuthenticatingBeforeConnecting);
    asio::awaitable<FirstFrameGate::Outcome> awaitFirstFrame(std::shared_ptr<FirstFrameGate> gate, Duration timeout);
    WakeConnectResult finishWithFailure(std::string text, WorkflowTerminalFailure::Kind kind, bool wakeSent,
                                        std::optional<WakeRouteKind> wakeRoute);
    void transition(const WakeConnectState& state);
    // The cancellation check of a run's step.
    static void failIfCancelled(const Run& run);
    // Whether a failed attempt ends the run: cancelled, terminal, or an
    // authentication failure.
    static bool endsRun(const std::exception_ptr& failure, const Run& run);
    // A trust-store write on the store worker; its failure is ignored.
    asio::awaitable<void> recordQuietly(std::function<void(TrustedDeviceStore&)> write);

    asio::any_io_executor executor_;
    const std::shared_ptr<TrustedDeviceStore> trustedDeviceStore_;
    asio::thread_pool& storeWorker_;
    const std::shared_ptr<LocalWakeService> localWakeService_;
    const std::shared_ptr<WakeRelayDispatching> wakeRelayClient_;
    const WakeConnectTimingPolicy timing_;
    const WakeConnectEnvironment environment_;
    const StateHandler onStateChanged_;
    const WakeConnectClocks clocks_;

    WakeConnectState currentState_;
    std::vector<WakeConnectState> stateHistory_{WakeConnectState()};
    std::optional<Uuid> activeDeviceID_;
    std::shared_ptr<Run> activeTask_;
    std::shared_ptr<FirstFrameGate> activeFirstFrameGate_;
};

} // namespace velorinth
