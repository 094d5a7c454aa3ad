#include "transport/client/RemoteConnectionService.hpp"

#include "core/Cancellation.hpp"
#include "core/KeepAlive.hpp"
#include "core/WorkerCall.hpp"
#include "core/RemoteEndpointValidator.hpp"
#include "platform/HostnameResolverError.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/AsyncTimeout.hpp"

#include <asio/this_coro.hpp>

#include <algorithm>
#include <utility>

namespace velorinth {

namespace {

using Failure = RemoteConnectionFailure;

bool sameIdentity(const DevicePublicIdentity& peer, const TrustedDevice& record) {
    return peer.id == record.id && peer.fingerprint == record.identity.fingerprint &&
           peer.signingPublicKey == record.identity.signingPublicKey;
}

} // namespace

RemoteConnectionService::RemoteConnectionService(asio::any_io_executor executor, asio::thread_pool& kdfWorker,
                                                 asio::thread_pool& storeWorker,
                                                 std::shared_ptr<DeviceIdentityService> identityService,
                                                 std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                                                 std::shared_ptr<HostnameResolver> resolver,
                                                 bool allowLoopbackForTesting, Options options)
    : executor_(std::move(executor)), storeWorker_(storeWorker),
      identityService_(std::move(identityService)), trustedDeviceStore_(std::move(trustedDeviceStore)),
      resolver_(std::move(resolver)), allowLoopbackForTesting_(allowLoopbackForTesting), options_(std::move(options)),
      dialer_{executor_, kdfWorker, storeWorker, identityService_, trustedDeviceStore_, options_.bonjourBrowsing,
              options_.sessionClocks} {}

std::vector<RemoteConnectionCandidate> RemoteConnectionService::candidates(
    const TrustedDevice& device, const std::optional<ServiceEndpoint>& bonjourEndpoint,
    bool allowSavedDirectEndpointFallback) {
    std::vector<RemoteConnectionCandidate> list;
    const auto add = [&list](RemoteConnectionCandidate candidate) {
        if (std::find(list.begin(), list.end(), candidate) == list.end()) list.push_back(std::move(candidate));
    };
    if (bonjourEndpoint) add(RemoteConnectionCandidate::bonjourLocal(*bonjourEndpoint));
    for (const RemoteEndpoint& endpoint : device.orderedRemoteEndpoints()) add(RemoteConnectionCandidate::configuredRemote(endpoint));

    const auto& wake = device.wakeConfiguration;
    if (!allowSavedDirectEndpointFallback || !wake || !wake->bonjourServicePort || *wake->bonjourServicePort == 0) {
        return list;
    }
    const std::uint16_t port = *wake->bonjourServicePort;
    for (const WakeNetworkInterfaceTarget& target : wake->sortedTargets()) {
        if (!target.ipv4Address) continue;
        // Only an exact host and port of a saved endpoint stands in for it.
        const bool saved = std::any_of(device.remoteEndpoints.begin(), device.remoteEndpoints.end(),
                                       [&](const RemoteEndpoint& endpoint) {
                                           return endpoint.host == *target.ipv4Address && endpoint.port == port;
                                       });
        if (!saved) add(RemoteConnectionCandidate::savedLocalDirect(*target.ipv4Address, port));
    }
    return list;
}

TrustedDevice RemoteConnectionService::validatePairedMac(const Uuid& deviceID) {
    std::optional<TrustedDevice> record;
    try {
        record = trustedDeviceStore_->device(deviceID);
    } catch (const std::exception& error) {
        throw Failure::hostAuthorizationDenied(error.what());
    }
    if (!record) throw Failure::hostAuthorizationDenied("This Mac is no longer paired on this iPad.");
    if (record->authorization == DeviceAuthorization::revoked) throw Failure::trustedDeviceRevoked();
    if (!record->permissions.contains(DevicePermissions::connect)) {
        throw Failure::hostAuthorizationDenied("Connection permission is disabled for this paired Mac.");
    }
    return *record;
}

asio::awaitable<std::vector<ResolvedIPAddress>> RemoteConnectionService::resolveAddresses(RemoteEndpoint endpoint,
                                                                                          Duration timeout) {
    return resolveAddresses(resolver_, std::move(endpoint), timeout, allowLoopbackForTesting_);
}

asio::awaitable<std::vector<ResolvedIPAddress>>
RemoteConnectionService::resolveAddresses(std::shared_ptr<HostnameResolver> resolver, RemoteEndpoint endpoint,
                                          Duration timeout, bool allowLoopbackForTesting) {
    if (endpoint.hostKind != RemoteHostKind::dnsHostname) {
        co_return std::vector<ResolvedIPAddress>{{endpoint.host, endpoint.hostKind == RemoteHostKind::ipv6Literal}};
    }
    std::vector<ResolvedIPAddress> resolved;
    std::exception_ptr failure;
    try {
        // The limit ends the wait even while the lookup is stuck in the
        // system resolver; its late answer is dropped.
        resolved = co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(
            timeout, resolver->resolve(endpoint.host, endpoint.port));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (isCancellationError(failure)) throw Failure::cancelled();
        try {
            std::rethrow_exception(failure);
        } catch (const Failure&) {
            throw;
        } catch (const HostnameResolverError& error) {
            throw Failure::dnsResolutionFailed(error.host, error.detail);
        } catch (const PairingProtocolError& error) {
            if (error.kind == PairingProtocolError::Case::timedOut) {
                throw Failure::dnsResolutionFailed(endpoint.host, "DNS resolution timed out.");
            }
        } catch (...) {
        }
        throw Failure::dnsResolutionFailed(endpoint.host, describeError(failure));
    }
    std::vector<ResolvedIPAddress> usable;
    for (const ResolvedIPAddress& address : resolved) {
        try {
            RemoteEndpointValidator::validate(address.address, endpoint.port, allowLoopbackForTesting);
            usable.push_back(address);
        } catch (const RemoteEndpointValidationError&) {
            // loopback, multicast, unspecified or broadcast
        }
    }
    if (usable.empty()) {
        throw Failure::invalidEndpointConfiguration(
            "Hostname \u201c" + endpoint.host +
            "\u201d resolved only to disallowed loopback, multicast, or unspecified addresses.");
    }
    co_return usable;
}

template <class Work>
asio::awaitable<void> RemoteConnectionService::recordQuietly(Work work) {
    try {
        co_await callOnWorker(storeWorker_, std::move(work));
    } catch (const std::exception&) {
        // Bookkeeping only: never fails the connection.
    }
}

asio::awaitable<RemoteConnectionOutcome> RemoteConnectionService::connectUsingCandidates(
    std::function<bool()> cancelled, Uuid deviceID, std::optional<ServiceEndpoint> bonjourEndpoint,
    bool allowSavedDirectEndpointFallback, Duration stepTimeout, CapabilitySet capabilities,
    Duration heartbeatInterval, Handlers handlers) {
    TrustedDevice record = validatePairedMac(deviceID);
    const std::vector<RemoteConnectionCandidate> list =
        candidates(record, bonjourEndpoint, allowSavedDirectEndpointFallback);
    if (list.empty()) {
        throw Failure::networkUnreachable("No local discovery service or remote private-network endpoint is available "
                                          "for " +
                                          record.identity.displayName + ".");
    }
    Failure last = Failure::connectionTimedOut();
    for (const RemoteConnectionCandidate& candidate : list) {
        if (cancelled()) throw CancellationError();
        record = validatePairedMac(deviceID);

        std::optional<std::string> hostName;
        if (const auto* saved = std::get_if<RemoteConnectionCandidate::ConfiguredRemote>(&candidate.value)) {
            // Rule P: the addresses only gate the attempt, which dials the saved host text.
            std::exception_ptr failure;
            try {
                RemoteEndpointValidator::validate(saved->endpoint.host, saved->endpoint.port,
                                                  allowLoopbackForTesting_);
                co_await resolveAddresses(saved->endpoint, stepTimeout);
            } catch (...) {
                failure = std::current_exception();
            }
            if (failure) {
                if (isCancellationError(failure)) throw Failure::cancelled();
                try {
                    std::rethrow_exception(failure);
                } catch (const Failure& error) {
                    if (error.isTerminal()) throw;
                    last = error;
                } catch (...) {
                    last = Failure::invalidEndpointConfiguration(describeError(failure));
                }
                continue;
            }
            hostName = saved->endpoint.host;
        }
        const std::optional<ServiceEndpoint> endpoint = candidate.networkEndpoint();
        if (!endpoint) continue;

        // Rule C: the attempt, then the checks of the Mac that answered.
        const auto box = std::make_shared<ObservedNetworkErrorBox>();
        std::shared_ptr<AuthenticatedClientSession> session;
        std::exception_ptr failure;
        try {
            session = co_await dialer_.connect(*endpoint, record, capabilities, stepTimeout, heartbeatInterval, handlers,
                                              box);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            // Unpaired or revoked meanwhile (by another thread: the store is
            // synchronous): the session is ended with the reason before the
            // failure, never left talking to a Mac it may no longer reach.
            bool mismatch = false;
            try {
                record = validatePairedMac(deviceID);
                mismatch = !sameIdentity(session->currentDescriptor().peerIdentity, record);
                if (mismatch) failure = std::make_exception_ptr(Failure::identityMismatch());
            } catch (...) {
                failure = std::current_exception();
            }
            if (failure) {
                // A named local: g++ 12 destroys some temporaries of a co_await expression twice.
                std::string reason = mismatch ? "Cryptographic identity mismatch." : describeError(failure);
                co_await session->disconnect(std::move(reason));
            }
        }
        if (failure) {
            if (isCancellationError(failure)) throw Failure::cancelled();
            Failure classified = classifyFailure(failure, box->error(), hostName);
            if (classified.kind() == Failure::Case::cancelled || classified.isTerminal()) throw classified;
            last = std::move(classified);
            continue;
        }

        const Date now = options_.wallClock();
        const std::shared_ptr<TrustedDeviceStore> store = trustedDeviceStore_;
        const ConnectionRouteKind route = candidate.routeKind();
        if (const std::optional<Uuid> endpointID = candidate.endpointID()) {
            auto write = [store, deviceID, id = *endpointID, now] { store->recordEndpointSuccess(deviceID, id, true, now); };
            co_await recordQuietly(std::move(write));
        } else {
            auto write = [store, deviceID, route, now] {
                store->recordReachability(deviceID, RemoteReachabilityObservation{std::nullopt, route, now});
            };
            co_await recordQuietly(std::move(write));
        }
        if (cancelled()) {
            // Cancelled while recording: nobody takes the session any more.
            co_await asio::this_coro::reset_cancellation_state();
            std::string reason = Failure::cancelled().what();
            co_await session->disconnect(std::move(reason));
            throw Failure::cancelled();
        }
        co_return RemoteConnectionOutcome{std::move(session), route, candidate.endpointID()};
    }
    throw last;
}

asio::awaitable<RemoteConnectionOutcome> RemoteConnectionService::connect(
    Uuid deviceID, std::optional<ServiceEndpoint> bonjourEndpoint, bool allowSavedDirectEndpointFallback,
    Duration stepTimeout, CapabilitySet capabilities, Duration heartbeatInterval, Handlers handlers) {
    return keepAlive(shared_from_this(),
                     connectBody(deviceID, std::move(bonjourEndpoint), allowSavedDirectEndpointFallback, stepTimeout,
                                 std::move(capabilities), heartbeatInterval, std::move(handlers)));
}

asio::awaitable<RemoteConnectionService::Result> RemoteConnectionService::runAttempt(
    const Attempt& task, Uuid deviceID, std::optional<ServiceEndpoint> bonjourEndpoint,
    bool allowSavedDirectEndpointFallback, Duration stepTimeout, CapabilitySet capabilities,
    Duration heartbeatInterval, Handlers handlers) {
    std::exception_ptr failure;
    std::function<bool()> cancelled = [&task] { return task.isCancelled(); };
    try {
        co_return co_await connectUsingCandidates(std::move(cancelled), deviceID,
                                                  std::move(bonjourEndpoint), allowSavedDirectEndpointFallback,
                                                  stepTimeout, std::move(capabilities), heartbeatInterval,
                                                  std::move(handlers));
    } catch (const Failure& error) {
        co_return error;
    } catch (...) {
        failure = std::current_exception();
    }
    if (isCancellationError(failure)) co_return Failure::cancelled();
    co_return classifyFailure(failure, std::nullopt, std::nullopt);
}

asio::awaitable<RemoteConnectionOutcome> RemoteConnectionService::connectBody(
    Uuid deviceID, std::optional<ServiceEndpoint> bonjourEndpoint, bool allowSavedDirectEndpointFallback,
    Duration stepTimeout, CapabilitySet capabilities, Duration heartbeatInterval, Handlers handlers) {
    std::shared_ptr<SharedAttempt> attempt;
    if (const auto running = activeConnectTasks_.find(deviceID); running != activeConnectTasks_.end()) {
        attempt = running->second; // joined: the entry stays in place
    } else {
        auto self = shared_from_this();
        attempt = std::make_shared<SharedAttempt>();
        attempt->task = Attempt::start(executor_, [self, deviceID, bonjourEndpoint, allowSavedDirectEndpointFallback,
                                                   stepTimeout, capabilities, heartbeatInterval,
                                                   handlers](const Attempt& task) {
            return self->runAttempt(task, deviceID, bonjourEndpoint, allowSavedDirectEndpointFallback, stepTimeout,
                                    capabilities, heartbeatInterval, handlers);
        });
        activeConnectTasks_[deviceID] = attempt;
    }
    // The attempt is forgotten once it has ended, but only while the entry is
    // still this attempt's: after cancelConnect and a new connect it belongs
    // to the newer one.
    const auto forget = [this, &deviceID, &attempt] {
        const auto entry = activeConnectTasks_.find(deviceID);
        if (entry != activeConnectTasks_.end() && entry->second == attempt) activeConnectTasks_.erase(entry);
    };
    ++attempt->waiters;
    std::optional<Result> result;
    try {
        result.emplace(co_await attempt->task->result());
    } catch (const std::exception&) {
        // Only this caller's own cancellation ends the wait.
    }
    --attempt->waiters;
    if (!result) {
        // The others keep waiting for the attempt; the last caller to leave
        // ends it, since nobody would take its session.
        if (attempt->waiters == 0) {
            attempt->task->cancel();
            forget();
        }
        throw Failure::cancelled();
    }
    forget();
    if (auto* failure = std::get_if<Failure>(&*result)) throw *failure;
    co_return std::get<RemoteConnectionOutcome>(*result);
}

void RemoteConnectionService::cancelConnect(const Uuid& deviceID) {
    const auto entry = activeConnectTasks_.find(deviceID);
    if (entry == activeConnectTasks_.end()) return;
    entry->second->task->cancel();
    activeConnectTasks_.erase(entry);
}

void RemoteConnectionService::cancelAllConnects() {
    for (auto& [deviceID, attempt] : activeConnectTasks_) attempt->task->cancel();
    activeConnectTasks_.clear();
}

asio::awaitable<RemoteConnectionTestResult> RemoteConnectionService::testEndpoint(Uuid deviceID,
                                                                                  RemoteEndpoint endpoint,
                                                                                  Duration timeout) {
    return keepAlive(shared_from_this(), testEndpointBody(deviceID, std::move(endpoint), timeout));
}

asio::awaitable<RemoteConnectionTestResult> RemoteConnectionService::testEndpointBody(Uuid deviceID,
                                                                                      RemoteEndpoint endpoint,
                                                                                      Duration timeout) {
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    if (isCancelled(caller)) throw CancellationError();
    try {
        RemoteEndpointValidator::validate(endpoint.host, endpoint.port, allowLoopbackForTesting_);
    } catch (const RemoteEndpointValidationError& error) {
        throw Failure::invalidEndpointConfiguration(error.what());
    }
    const TrustedDevice record = validatePairedMac(deviceID);
    const std::vector<ResolvedIPAddress> addresses = co_await resolveAddresses(endpoint, timeout);
    if (endpoint.port == 0) {
        throw Failure::invalidEndpointConfiguration(
            RemoteEndpointValidationError::text(RemoteEndpointValidationError::Case::invalidPort));
    }

    const auto box = std::make_shared<ObservedNetworkErrorBox>();
    std::shared_ptr<AuthenticatedClientSession> session;
    std::exception_ptr failure;
    // Named locals: g++ 12 mishandles initializer lists inside a co_await.
    const CapabilitySet offered{Capability::h264, Capability::pointer, Capability::keyboard};
    ServiceEndpoint target{HostPort{endpoint.host, endpoint.port}};
    try {
        session = co_await dialer_.connect(std::move(target), record, offered, timeout, kEndpointTestHeartbeat,
                                           Handlers{}, box);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (isCancellationError(failure)) throw Failure::cancelled();
        throw classifyFailure(failure, box->error(), endpoint.host);
    }
    const ActiveSessionDescriptor first = session->currentDescriptor();
    if (!sameIdentity(first.peerIdentity, record)) {
        std::string reason = "Cryptographic identity mismatch during endpoint verification.";
        co_await session->disconnect(std::move(reason));
        throw Failure::identityMismatch();
    }

    bool interrupted = false;
    try {
        co_await session->sendPing();
    } catch (const std::exception&) {
        // The session's own heartbeat may answer instead.
    }
    try {
        co_await options_.clock->sleep(options_.endpointTestPingWait);
    } catch (...) {
        interrupted = true;
    }
    // An interrupted wait is ignored: the test still ends its session.
    if (interrupted) co_await asio::this_coro::reset_cancellation_state();
    const ActiveSessionDescriptor descriptor = session->currentDescriptor();
    std::string reason = "Remote connection verification completed.";
    co_await session->disconnect(std::move(reason));

    const Date verifiedAt = options_.wallClock();
    RemoteEndpoint tested = endpoint;
    tested.lastVerifiedAt = verifiedAt;
    const std::shared_ptr<TrustedDeviceStore> store = trustedDeviceStore_;
    try {
        auto write = [store, deviceID, id = endpoint.id, verifiedAt] {
            return store->recordEndpointSuccess(deviceID, id, false, verifiedAt);
        };
        const TrustedDevice updated = co_await callOnWorker(storeWorker_, std::move(write));
        const auto saved = std::find_if(updated.remoteEndpoints.begin(), updated.remoteEndpoints.end(),
                                        [&](const RemoteEndpoint& e) { return e.id == endpoint.id; });
        if (saved != updated.remoteEndpoints.end()) tested = *saved;
    } catch (const std::exception&) {
        // Best effort: the test itself succeeded.
    }
    co_return RemoteConnectionTestResult{tested,
                                         descriptor.peerIdentity,
                                         descriptor.negotiatedProtocolVersion,
                                         descriptor.grantedPermissions,
                                         addresses,
                                         descriptor.latestRTTMilliseconds,
                                         verifiedAt};
}

} // namespace velorinth
