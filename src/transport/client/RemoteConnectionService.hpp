#pragma once

#include "core/ControlProtocol.hpp"
#include "core/Date.hpp"
#include "core/LoopTask.hpp"
#include "core/MonotonicClock.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/ServiceEndpoint.hpp"
#include "core/TrustedDevice.hpp"
#include "core/Uuid.hpp"
#include "platform/BonjourBrowsing.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "platform/HostnameResolver.hpp"
#include "transport/client/ObservedNetworkErrorBox.hpp"
#include "transport/client/RemoteConnectionCandidate.hpp"
#include "transport/client/RemoteConnectionFailure.hpp"
#include "transport/client/ReconnectDialer.hpp"
#include "transport/security/ObservedNetworkError.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace velorinth {

class DeviceIdentityService;
class TrustedDeviceStore;

// A started session to a paired Mac and the route it took; the caller owns
// the session from now on.
struct RemoteConnectionOutcome {
    std::shared_ptr<AuthenticatedClientSession> session;
    ConnectionRouteKind routeUsed = ConnectionRouteKind::bonjourLocal;
    std::optional<Uuid> verifiedEndpointID; // a saved endpoint's, when one worked
};

// What testing one saved endpoint found.
struct RemoteConnectionTestResult {
    RemoteEndpoint endpoint; // as saved after the test
    DevicePublicIdentity verifiedMacIdentity;
    std::uint16_t negotiatedProtocolVersion = 0;
    DevicePermissions grantedPermissions;
    std::vector<ResolvedIPAddress> resolvedAddresses;
    std::optional<double> roundTripMilliseconds;
    Date verifiedAt;

    bool operator==(const RemoteConnectionTestResult&) const = default;
};

// What a RemoteConnectionService takes beyond its collaborators.
struct RemoteConnectionServiceOptions {
    using Duration = std::chrono::steady_clock::duration;
    // Resolves a Bonjour candidate before it is dialled; without one, a
    // Bonjour candidate fails as a failed resolution.
    std::shared_ptr<BonjourBrowsing> bonjourBrowsing;
    WallClock wallClock = &Date::now;
    std::shared_ptr<MonotonicClock> clock = MonotonicClock::steady();
    // How long an endpoint test waits for the answer to its ping.
    Duration endpointTestPingWait = std::chrono::milliseconds(80);
    AuthenticatedClientSession::Clocks sessionClocks;
};

// The tablet's one way to reach a paired Mac by whatever route answers now:
// its Bonjour service, its saved endpoints, its saved local addresses. It
// checks that the Mac is still paired before the walk, before each route and
// after each success, checks the answering host's identity, records the
// route, and turns every failure into one RemoteConnectionFailure.
//
// Lives on the event loop, owned through std::shared_ptr; an attempt runs as
// a task of its own that holds the service. State read before a suspension
// is re-checked after it.
class RemoteConnectionService : public std::enable_shared_from_this<RemoteConnectionService> {
public:
    using Duration = std::chrono::steady_clock::duration;
    using Handlers = AuthenticatedClientSession::Handlers;

    using Options = RemoteConnectionServiceOptions;

    static constexpr std::chrono::seconds kEndpointTestHeartbeat{5};

    // The KDF and store workers must outlive the service and its sessions.
    RemoteConnectionService(asio::any_io_executor executor, asio::thread_pool& kdfWorker,
                            asio::thread_pool& storeWorker, std::shared_ptr<DeviceIdentityService> identityService,
                            std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                            std::shared_ptr<HostnameResolver> resolver, bool allowLoopbackForTesting,
                            Options options = {});

    RemoteConnectionService(const RemoteConnectionService&) = delete;
    RemoteConnectionService& operator=(const RemoteConnectionService&) = delete;

    // The ordered routes to `device`, each once: the Bonjour endpoint when
    // given; the saved endpoints in their preference order; with the
    // fallback, each wake target's IPv4 address (Ethernet first) on a
    // non-zero Bonjour port, unless a saved endpoint has exactly that host
    // and port.
    static std::vector<RemoteConnectionCandidate> candidates(const TrustedDevice& device,
                                                             const std::optional<ServiceEndpoint>& bonjourEndpoint,
                                                             bool allowSavedDirectEndpointFallback);

    // The started session of the first route that answers. Throws only
    // RemoteConnectionFailure. A second call for a Mac whose attempt runs
    // joins it: it gets the same session, whose handlers are the first
    // caller's. A caller whose own task is cancelled stops waiting with
    // cancelled; the attempt goes on for the others, and ends when the last
    // caller waiting for it has left.
    asio::awaitable<RemoteConnectionOutcome> connect(Uuid deviceID, std::optional<ServiceEndpoint> bonjourEndpoint,
                                                     bool allowSavedDirectEndpointFallback, Duration stepTimeout,
                                                     CapabilitySet capabilities, Duration heartbeatInterval,
                                                     Handlers handlers);
    // Cancels the Mac's attempt (every caller then fails with cancelled) and
    // forgets it, so the next connect starts anew.
    void cancelConnect(const Uuid& deviceID);
    void cancelAllConnects();

    // A short authenticated connection to one saved endpoint with one ping;
    // records the verification (not a connection) on the endpoint. Throws
    // RemoteConnectionFailure, or CancellationError when cancelled first.
    asio::awaitable<RemoteConnectionTestResult> testEndpoint(Uuid deviceID, RemoteEndpoint endpoint, Duration timeout);

    // A saved endpoint's usable addresses: a literal as it is; a name
    // resolved within `timeout` and filtered by the endpoint validator.
    // Throws RemoteConnectionFailure.
    asio::awaitable<std::vector<ResolvedIPAddress>> resolveAddresses(RemoteEndpoint endpoint, Duration timeout);
    // The same through `resolver`: for a caller without a service, so that a
    // name that does not resolve reads the same wherever it is dialled.
    static asio::awaitable<std::vector<ResolvedIPAddress>>
    resolveAddresses(std::shared_ptr<HostnameResolver> resolver, RemoteEndpoint endpoint, Duration timeout,
                     bool allowLoopbackForTesting);
    // The Mac's record when it may be connected to; hostAuthorizationDenied
    // or trustedDeviceRevoked otherwise.
    TrustedDevice validatePairedMac(const Uuid& deviceID);

    // The failure a connection attempt's error stands for, from the error,
    // the network error its connection observed and the host it dialled.
    static RemoteConnectionFailure classifyFailure(const std::exception_ptr& error,
                                                   const std::optional<ObservedNetworkError>& observed,
                                                   const std::optional<std::string>& hostName);
    // The failure one observed network error stands for, if any.
    static std::optional<RemoteConnectionFailure> classifyNetworkError(const ObservedNetworkError& error,
                                                                       const std::optional<std::string>& hostName);

    bool allowLoopbackForTesting() const noexcept { return allowLoopbackForTesting_; }

private:
    using Result = std::variant<RemoteConnectionOutcome, RemoteConnectionFailure>;
    using Attempt = LoopTask<Result>;
    // A running attempt and the callers waiting for it.
    struct SharedAttempt {
        std::shared_ptr<Attempt> task;
        std::size_t waiters = 0;
    };

    asio::awaitable<RemoteConnectionOutcome> connectBody(Uuid deviceID, std::optional<ServiceEndpoint> bonjourEndpoint,
                                                         bool allowSavedDirectEndpointFallback, Duration stepTimeout,
                                                         CapabilitySet capabilities, Duration heartbeatInterval,
                                                         Handlers handlers);
    asio::awaitable<RemoteConnectionTestResult> testEndpointBody(Uuid deviceID, RemoteEndpoint endpoint,
                                                                 Duration timeout);
    asio::awaitable<Result> runAttempt(const Attempt& task, Uuid deviceID,
                                       std::optional<ServiceEndpoint> bonjourEndpoint,
                                       bool allowSavedDirectEndpointFallback, Duration stepTimeout,
                                       CapabilitySet capabilities, Duration heartbeatInterval, Handlers handlers);
    // The walk over the candidates. Its failures are not yet normalised (a
    // cancellation error among them); `cancelled` tells whether its task was
    // cancelled.
    asio::awaitable<RemoteConnectionOutcome> connectUsingCandidates(std::function<bool()> cancelled, Uuid deviceID,
                                                                    std::optional<ServiceEndpoint> bonjourEndpoint,
                                                                    bool allowSavedDirectEndpointFallback,
                                                                    Duration stepTimeout, CapabilitySet capabilities,
                                                                    Duration heartbeatInterval, Handlers handlers);
    // Runs a trust-store write on the store worker; its failure is dropped.
    template <class Work>
    asio::awaitable<void> recordQuietly(Work work);

    asio::any_io_executor executor_;
    asio::thread_pool& storeWorker_;
    const std::shared_ptr<DeviceIdentityService> identityService_;
    const std::shared_ptr<TrustedDeviceStore> trustedDeviceStore_;
    const std::shared_ptr<HostnameResolver> resolver_;
    const bool allowLoopbackForTesting_;
    const Options options_;
    const ReconnectDialer dialer_;
    std::map<Uuid, std::shared_ptr<SharedAttempt>> activeConnectTasks_;
};

} // namespace velorinth
