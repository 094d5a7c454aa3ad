#include "tablet/TabletWakeEnvironment.hpp"

#include "core/Cancellation.hpp"
#include "core/LoopSignal.hpp"
#include "core/VideoModels.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "transport/client/RemoteConnectionService.hpp"
#include "transport/client/WakeConnectCoordinator.hpp"
#include "transport/discovery/BonjourHostBrowser.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/session/AsyncTimeout.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>

namespace velorinth {

namespace {

constexpr const char* kLateSessionReason = "Disconnected by velorinth-client.";

// The connection, with a session that arrives after the limit (its race
// lost) ended rather than dropped.
asio::awaitable<std::shared_ptr<AuthenticatedClientSession>>
connectOrRelease(asio::awaitable<std::shared_ptr<AuthenticatedClientSession>> connection) {
    std::shared_ptr<AuthenticatedClientSession> session = co_await std::move(connection);
    const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    if (isCancelled(state)) {
        const asio::any_io_executor executor = co_await asio::this_coro::executor;
        asio::co_spawn(executor, session->disconnect(kLateSessionReason), asio::detached);
        throw CancellationError();
    }
    co_return session;
}

} // namespace

TabletWakeEnvironment::TabletWakeEnvironment(ReconnectDialer dialer, Options options)
    : dialer_(std::move(dialer)), options_(std::move(options)) {}

asio::awaitable<std::optional<ServiceEndpoint>> TabletWakeEnvironment::resolveDiscoveredEndpoint(TrustedDevice device) {
    struct Search {
        explicit Search(const asio::any_io_executor& executor) : changed(executor) {}
        std::optional<ServiceEndpoint> endpoint;
        bool over = false;
        LoopSignal changed;
    };
    const asio::any_io_executor executor = co_await asio::this_coro::executor;
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    auto search = std::make_shared<Search>(executor);
    const Uuid wanted = device.identity.discoveryInstanceID;
    BonjourHostBrowser browser(
        executor, false,
        [search, wanted](const std::vector<DiscoveredService>& services) {
            for (const DiscoveredService& service : services) {
                if (search->over || service.discoveryInstanceID != wanted) continue;
                search->endpoint = service.endpoint;
                search->over = true;
                search->changed.notifyAll();
            }
        },
        [search](const DiscoveryStatus& status) {
            if (status.kind() != DiscoveryStatus::Case::failed) return;
            search->over = true; // no daemon: nothing will be found
            search->changed.notifyAll();
        },
        options_.browsingFactory);
    browser.start();
    const auto deadline = std::chrono::steady_clock::now() + options_.browseTimeout;
    while (!search->over && !isCancelled(caller)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        co_await search->changed.wait(deadline - now);
    }
    browser.stop();
    co_return search->endpoint;
}

asio::awaitable<EstablishedWakeSession>
TabletWakeEnvironment::connectAuthenticatedSession(ServiceEndpoint endpoint, TrustedDevice device, Duration limit,
                                                   std::shared_ptr<FirstFrameGate> gate) {
    const auto self = shared_from_this();
    const std::optional<std::string> host =
        std::holds_alternative<HostPort>(endpoint.value)
            ? std::optional<std::string>(std::get<HostPort>(endpoint.value).host)
            : std::nullopt;
    auto sink = std::make_shared<DecodedFrameSink>(dialer_.executor, gate);
    // The gate learns of a stream that stops, or a session that ends, before
    // the first picture; after it, the first outcome stands.
    AuthenticatedClientSession::Handlers handlers;
    handlers.onVideoFrameReceived = [sink](EncodedVideoFrame frame) { sink->submit(std::move(frame)); };
    handlers.onVideoStreamStatus = [gate, sink](const VideoStreamStatusUpdate& status) {
        if (!status.active) gate->resolve(FirstFrameGate::Outcome::streamFailed(status.detail.value_or(kStreamStoppedText)));
        sink->streamStatusChanged(status);
    };
    handlers.onTerminated = [gate, sink](const SessionTerminationReason& reason) {
        gate->resolve(FirstFrameGate::Outcome::streamFailed(reason.text.value_or(kStreamStoppedText)));
        sink->sessionEnded(reason);
    };
    const auto box = std::make_shared<ObservedNetworkErrorBox>();
    const CapabilitySet capabilities{Capability::h264, Capability::pointer, Capability::keyboard};

    auto connection = connectOrRelease(dialer_.connect(std::move(endpoint), device, capabilities,
                                                       std::min(limit, options_.stepTimeout),
                                                       options_.heartbeatInterval, std::move(handlers), box));
    std::shared_ptr<AuthenticatedClientSession> session;
    std::exception_ptr failure;
    try {
        session = co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(limit, std::move(connection));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (isCancellationError(failure) || WakeConnectCoordinator::authenticationFailureMessage(failure)) {
            std::rethrow_exception(failure);
        }
        throw RemoteConnectionService::classifyFailure(failure, box->error(), host);
    }
    sink->attach(session);
    sinks_[session.get()] = sink;
    const ActiveSessionDescriptor descriptor = session->currentDescriptor();
    co_return EstablishedWakeSession{session, descriptor.peerIdentity, descriptor.grantedPermissions,
                                     descriptor.acceptedCapabilities.contains(Capability::h264)};
}

asio::awaitable<void> TabletWakeEnvironment::startDesktopStream(EstablishedWakeSession session,
                                                                std::shared_ptr<FirstFrameGate>) {
    const auto client = std::static_pointer_cast<AuthenticatedClientSession>(session.session);
    co_await client->configureVideoStream(defaultStreamConfiguration(), 1);
}

WakeConnectEnvironment TabletWakeEnvironment::environment() {
    const auto self = shared_from_this();
    WakeConnectEnvironment environment;
    environment.resolveDiscoveredEndpoint = [self](TrustedDevice device) {
        return self->resolveDiscoveredEndpoint(std::move(device));
    };
    environment.connectAuthenticatedSession = [self](ServiceEndpoint endpoint, TrustedDevice device, Duration limit,
                                                     std::shared_ptr<FirstFrameGate> gate) {
        return self->connectAuthenticatedSession(std::move(endpoint), std::move(device), limit, std::move(gate));
    };
    environment.startDesktopStream = [self](EstablishedWakeSession session, std::shared_ptr<FirstFrameGate> gate) {
        return self->startDesktopStream(std::move(session), std::move(gate));
    };
    environment.confirmVerifiedWakeOnSession = [](WakeSession session, Date date) -> asio::awaitable<void> {
        const auto client = std::static_pointer_cast<AuthenticatedClientSession>(session);
        try {
            co_await client->confirmVerifiedWake(date);
        } catch (const std::exception&) {
            // The Mac learns of it at the next verified wake.
        }
    };
    environment.disconnectSession = [](WakeSession session, std::string reason) -> asio::awaitable<void> {
        const auto client = std::static_pointer_cast<AuthenticatedClientSession>(session);
        co_await client->disconnect(std::move(reason));
    };
    environment.isRemoteNetworkContext = [remote = options_.isRemoteNetworkContext](TrustedDevice) -> asio::awaitable<bool> {
        co_return remote;
    };
    return environment;
}

std::shared_ptr<DecodedFrameSink> TabletWakeEnvironment::sinkFor(const WakeSession& session) const {
    const auto found = sinks_.find(session.get());
    return found == sinks_.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<DecodedFrameSink>> TabletWakeEnvironment::takeSinks() {
    std::vector<std::shared_ptr<DecodedFrameSink>> taken;
    for (auto& [session, sink] : sinks_) taken.push_back(std::move(sink));
    sinks_.clear();
    return taken;
}

} // namespace velorinth
