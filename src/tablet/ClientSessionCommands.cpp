// The program's connecting commands: connect, wake, and what they do with
// the session they get.

#include "tablet/ClientProgram.hpp"

#include "core/Cancellation.hpp"
#include "core/InputEvent.hpp"
#include "core/Json.hpp"
#include "core/VideoModels.hpp"
#include "tablet/DecodedFrameSink.hpp"
#include "tablet/PngPictureWriter.hpp"
#include "tablet/TabletWakeEnvironment.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "transport/client/RemoteConnectionService.hpp"
#include "platform/SystemHostnameResolver.hpp"
#include "transport/client/VideoStreamTransportError.hpp"
#include "transport/client/WakeConnectCoordinator.hpp"
#include "transport/relay/WakeRelayClient.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/wake/LocalWakeService.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>

namespace velorinth {

namespace {

using namespace std::chrono_literals;

constexpr auto kHeartbeatInterval = 5s;
constexpr auto kFrameTimeout = 10s;

template <class E>
std::string caseName(E value) {
    return std::string(json::EnumNames<E>::names[static_cast<std::size_t>(value)]);
}

WakeConnectTimingPolicy programTiming() {
    return WakeConnectTimingPolicy(3s, 60s, BackoffPolicy{1s, 5s, 1.5, 40}, 10s, 3, 10s, 10s, true);
}

// What configureVideoStream would have refused, for a session whose stream was never asked for.
void refuseMissingStream(const ActiveSessionDescriptor& descriptor) {
    using Case = VideoStreamTransportError::Case;
    if (!descriptor.grantedPermissions.allowsScreenView()) throw VideoStreamTransportError(Case::screenViewPermissionDenied);
    if (!descriptor.acceptedCapabilities.contains(Capability::h264)) {
        throw VideoStreamTransportError(Case::h264CapabilityUnavailable);
    }
}

// The states that end a run without a session: the program reports them once, as its error.
bool endsWithoutSession(const WakeConnectState& state) {
    return !state.isInProgress() && state.kind() != WakeConnectState::Case::connected &&
           state.kind() != WakeConnectState::Case::idle;
}

} // namespace

asio::awaitable<void> ClientProgram::useSession(std::shared_ptr<AuthenticatedClientSession> session,
                                                std::shared_ptr<DecodedFrameSink> sink, bool startStream) {
    const std::uint64_t frames = options_.frames.value_or(options_.savePath ? 1 : 0);
    std::exception_ptr failure;
    try {
        if (startStream && frames > 0) co_await session->configureVideoStream(defaultStreamConfiguration(), 1);
        // A run that could not start the stream skipped it: no picture will come.
        if (!startStream && frames > 0) refuseMissingStream(session->currentDescriptor());
        if (frames > 0) {
            if (!co_await sink->waitForFrames(frames, kFrameTimeout)) throw Error(kNoFrameText);
            const std::optional<DecodedVideoFrame> last = sink->lastFrame();
            const std::uint64_t decoded = sink->decodedFrames();
            say("Decoded " + std::to_string(decoded) + (decoded == 1 ? " frame of " : " frames of ") +
                std::to_string(last->width) + "x" + std::to_string(last->height) + ".");
            if (options_.savePath) {
                PngPictureWriter::write(*last->pixelBuffer, *options_.savePath);
                say("Saved the last picture to " + options_.savePath->string() + ".");
            }
        }
        if (options_.pointerMove) {
            const auto [x, y] = *options_.pointerMove;
            InputEvent move = InputEvent::pointerMove(x, y); // named: see below
            co_await session->sendInput(std::move(move));
            say("Moved the pointer to " + std::to_string(x) + ", " + std::to_string(y) + ".");
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // Every command ends its session, a cancelled one included.
    co_await asio::this_coro::reset_cancellation_state();
    // A named local: g++ 12 destroys some temporaries of a co_await expression twice.
    std::string reason = kDisconnectReason;
    co_await session->disconnect(std::move(reason));
    if (failure) std::rethrow_exception(failure);
    say("Disconnected.");
}

asio::awaitable<void> ClientProgram::connect() {
    const TrustedDevice mac = chosenMac();
    const ReconnectDialer dialer{io_.get_executor(), kdfWorker_, storeWorker_, identity_, trust_,
                                 BonjourBrowsing::create(io_.get_executor()), {}};
    auto environment = std::make_shared<TabletWakeEnvironment>(dialer);
    say("Looking for " + mac.identity.displayName + " on the local network.");
    const std::optional<ServiceEndpoint> discovered = co_await environment->resolveDiscoveredEndpoint(mac);

    RemoteConnectionServiceOptions serviceOptions;
    serviceOptions.bonjourBrowsing = dialer.bonjourBrowsing;
    auto service = std::make_shared<RemoteConnectionService>(io_.get_executor(), kdfWorker_, storeWorker_, identity_,
                                                             trust_, std::make_shared<SystemHostnameResolver>(),
                                                             options_.allowLoopbackForTesting, serviceOptions);
    onInterrupt_ = [service] { service->cancelAllConnects(); };
    auto sink = std::make_shared<DecodedFrameSink>(io_.get_executor());
    finishedSinks_.push_back(sink);
    AuthenticatedClientSession::Handlers handlers;
    handlers.onVideoFrameReceived = [sink](EncodedVideoFrame frame) { sink->submit(std::move(frame)); };
    handlers.onVideoStreamStatus = [sink](const VideoStreamStatusUpdate& status) { sink->streamStatusChanged(status); };
    handlers.onTerminated = [sink](const SessionTerminationReason& reason) { sink->sessionEnded(reason); };
    const CapabilitySet capabilities{Capability::h264, Capability::pointer, Capability::keyboard};
    const RemoteConnectionOutcome outcome = co_await service->connect(mac.id, discovered, true, kStepTimeout,
                                                                      capabilities, kHeartbeatInterval, handlers);
    const std::shared_ptr<AuthenticatedClientSession> session = outcome.session;
    sink->attach(session);
    say("Connected to " + mac.identity.displayName + " via " + caseName(outcome.routeUsed) + ".");

    co_await useSession(session, sink, true);
}

asio::awaitable<void> ClientProgram::wake() {
    const TrustedDevice mac = chosenMac();
    const ReconnectDialer dialer{io_.get_executor(), kdfWorker_, storeWorker_, identity_, trust_,
                                 BonjourBrowsing::create(io_.get_executor()), {}};
    TabletWakeEnvironmentOptions environmentOptions;
    environmentOptions.isRemoteNetworkContext = options_.remote;
    auto environment = std::make_shared<TabletWakeEnvironment>(dialer, environmentOptions);
    const WakeDispatchPolicy standard = WakeDispatchPolicy::standard();
    // Its default transmitter takes the loopback flag from the policy.
    auto localWake = std::make_shared<LocalWakeService>(
        io_.get_executor(), nullptr,
        WakeDispatchPolicy({options_.wakePort}, standard.minimumCooldown(), standard.maxDispatchesPerMinute(),
                           standard.sleepProxyProbeTimeout(), options_.allowLoopbackForTesting));
    auto coordinator = std::make_shared<WakeConnectCoordinator>(
        io_.get_executor(), trust_, storeWorker_, localWake,
        std::make_shared<WakeRelayClient>(io_.get_executor(), identity_, std::make_shared<SystemHostnameResolver>(),
                                          options_.allowLoopbackForTesting),
        programTiming(), environment->environment(),
        [this](const WakeConnectState& state) {
            if (!endsWithoutSession(state)) say(state.detailedStatusText());
        });
    onInterrupt_ = [this, coordinator] { asio::co_spawn(io_, coordinator->cancel(), asio::detached); };

    WakeConnectResult result;
    std::exception_ptr failure;
    try {
        result = co_await coordinator->wakeAndConnect(mac.id);
    } catch (...) {
        failure = std::current_exception();
    }
    // The sinks outlive the loop: their decode threads are joined off it.
    const auto keepSinks = [this, environment] {
        for (auto& sink : environment->takeSinks()) finishedSinks_.push_back(std::move(sink));
    };
    if (failure) {
        keepSinks();
        std::rethrow_exception(failure);
    }
    if (result.finalState.kind() != WakeConnectState::Case::connected) {
        keepSinks();
        std::string text = result.finalState.detailedStatusText();
        if (result.finalState.kind() == WakeConnectState::Case::wakeTimedOut) {
            for (const std::string_view cause : WakeConnectMessages::wakeFailureCauses) text += "\n" + std::string(cause);
        }
        throw Error(text);
    }
    const auto session = std::static_pointer_cast<AuthenticatedClientSession>(result.session);
    say("Wake route: " + (result.wakeRouteUsed ? caseName(*result.wakeRouteUsed) : std::string("none")));
    say("Connection route: " + caseName(*result.connectionRouteUsed));
    const std::shared_ptr<DecodedFrameSink> sink = environment->sinkFor(result.session);
    keepSinks();
    co_await useSession(session, sink, false); // the run started the stream
}

} // namespace velorinth
