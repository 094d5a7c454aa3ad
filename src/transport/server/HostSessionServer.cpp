#include "transport/server/HostSessionServer.hpp"

#include "core/Error.hpp"
#include "core/LoopAssert.hpp"
#include "core/WorkerCall.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <utility>

namespace velorinth {

namespace {

// The certificate's key is the paired device's signing key, which the TLS
// handshake proved the peer holds. A store that cannot be read knows nobody.
bool holdsPairedCertificate(TrustedDeviceStore& store, const TLSChannelContext& context) {
    try {
        for (const auto& [id, record] : store.loadIfNeeded()) {
            if (record.authorization == DeviceAuthorization::authorized &&
                record.identity.signingPublicKey == context.peerSigningPublicKey) {
                return true;
            }
        }
    } catch (const std::exception&) {
    }
    return false;
}

// The places, with the end of a busy spell asking for a release.
HandshakeBudget::Options placesReleasingMemory(HandshakeBudget::Options places,
                                               const std::shared_ptr<MemoryReleaseScheduler>& release) {
    places.onBusySpellEnded = release->requestFromAnyThread();
    return places;
}

} // namespace

HostSessionServer::HostSessionServer(asio::any_io_executor executor,
                                     std::shared_ptr<DeviceIdentityService> identityService,
                                     std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                                     std::shared_ptr<PairingReplayGuard> replayGuard,
                                     std::shared_ptr<PairingAttemptLimiter> attemptLimiter,
                                     asio::thread_pool& kdfWorker, asio::thread_pool& storeWorker,
                                     Duration handshakeTimeout, Duration approvalTimeout,
                                     CapabilitySet hostCapabilities, DevicePermissions requiredPermissions,
                                     Options options)
    : handshakeTimeout(handshakeTimeout), approvalTimeout(approvalTimeout),
      hostCapabilities(std::move(hostCapabilities)), requiredPermissions(requiredPermissions),
      executor_(std::move(executor)), identityService_(std::move(identityService)),
      trustedDeviceStore_(std::move(trustedDeviceStore)), pairingProtocol_(kdfWorker), storeWorker_(storeWorker),
      options_(std::move(options)),
      memoryRelease_(std::make_shared<MemoryReleaseScheduler>(
          executor_, storeWorker.get_executor(), options_.memoryReleaseDelay, options_.releaseFreedMemory)),
      handshakeBudget_(
          std::make_shared<HandshakeBudget>(placesReleasingMemory(options_.admission.places, memoryRelease_))),
      approval_(executor_, approvalTimeout, [this] { return now(); }, callbacks_) {
    if (!options_.clock) options_.clock = [] { return Date::now(); };
    if (!options_.listenerFactory) options_.listenerFactory = SessionListener::create;
    HostHandshake::Dependencies& deps = handshakeDependencies_;
    deps.identityService = identityService_;
    deps.trustedDeviceStore = trustedDeviceStore_;
    deps.replayGuard = std::move(replayGuard);
    deps.attemptLimiter = std::move(attemptLimiter);
    deps.pairingProtocol = &pairingProtocol_;
    deps.approval = &approval_;
    deps.storeWorker = &storeWorker_;
    deps.clock = [this] { return now(); };
    deps.handshakeTimeout = handshakeTimeout;
    deps.firstMessageTimeout = options_.firstMessageTimeout > Duration::zero()
                                   ? std::min(options_.firstMessageTimeout, handshakeTimeout)
                                   : handshakeTimeout;
    deps.wholeHandshakeTimeout =
        options_.wholeHandshakeTimeout > Duration::zero() ? options_.wholeHandshakeTimeout : 2 * handshakeTimeout;
    deps.approvalTimeout = approvalTimeout;
    deps.hostCapabilities = this->hostCapabilities;
    deps.requiredPermissions = requiredPermissions;
    deps.intakeGeneration = &intakeGeneration_;
    deps.onTrustChanged = [this] { publishTrustedDevices(); };
}

// Releasing the server sends nothing and resolves nothing; orderly ends go
// through stop and the disconnect operations.
HostSessionServer::~HostSessionServer() = default;

// A callback may replace the callbacks while it runs: the set it belongs to
// is released on a later loop turn, never under its own feet.
void HostSessionServer::setCallbacks(Callbacks callbacks) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    std::shared_ptr<const Callbacks> previous =
        std::exchange(callbacks_, std::make_shared<const Callbacks>(std::move(callbacks)));
    asio::post(executor_, [previous = std::move(previous)] {});
}

std::vector<ActiveSessionDescriptor> HostSessionServer::sessionDescriptors() const {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    std::vector<ActiveSessionDescriptor> descriptors;
    descriptors.reserve(sessions_.size());
    for (const auto& [deviceID, session] : sessions_) descriptors.push_back(session->descriptor());
    std::stable_sort(descriptors.begin(), descriptors.end(),
                     [](const auto& a, const auto& b) { return a.connectedAt < b.connectedAt; });
    return descriptors;
}

// ---- state and publication ------------------------------------------------------------

// Pings and input change a descriptor many times a second: the list is built
// and handed over once per loop turn, after the last change of that turn.
void HostSessionServer::sessionChanged() {
    if (publicationPending_) return;
    publicationPending_ = true;
    asio::post(executor_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->publishSessions();
    });
}

void HostSessionServer::publishSessions() {
    publicationPending_ = false;
    if (callbacks_->onSessionsChanged) callbacks_->onSessionsChanged(sessionDescriptors());
}

// A store that cannot be read publishes nothing; the caller carries on.
void HostSessionServer::publishTrustedDevices() {
    std::vector<TrustedDevice> records;
    try {
        records = trustedDeviceStore_->allDevices();
    } catch (const std::exception&) {
        return;
    }
    if (callbacks_->onTrustedDevicesChanged) callbacks_->onTrustedDevicesChanged(records);
}

std::optional<SavedWakeConfiguration> HostSessionServer::effectiveWakeConfiguration() const {
    if (!currentWakeConfiguration_) return std::nullopt;
    SavedWakeConfiguration effective = *currentWakeConfiguration_;
    if (!effective.bonjourServicePort && currentPort_) effective.bonjourServicePort = currentPort_;
    return effective;
}

HostPeerSession::HostState HostSessionServer::hostState() const {
    return {currentHostDisplay_, currentAccessibilityGranted_, effectiveWakeConfiguration()};
}

// Constant work: a flood of bad connections calls this thousands of times a second.
void HostSessionServer::reportError(std::exception_ptr error) {
    if (callbacks_->onError) callbacks_->onError(std::move(error));
}

asio::awaitable<void> HostSessionServer::verifiedWakeConfirmed(const Uuid& deviceID, Date wokeAt) {
    const std::shared_ptr<HostSessionServer> self = shared_from_this();
    try {
        auto record = [store = trustedDeviceStore_, deviceID, wokeAt] { store->recordVerifiedWake(deviceID, wokeAt); };
        co_await callOnWorker(storeWorker_, std::move(record));
    } catch (const std::exception&) {
    }
    if (currentWakeConfiguration_) currentWakeConfiguration_->lastVerifiedWakeAt = wokeAt;
    publishTrustedDevices();
    if (callbacks_->onVerifiedWakeConfirmed) callbacks_->onVerifiedWakeConfirmed(deviceID, wokeAt);
}

// ---- listener ------------------------------------------------------------------------------

void HostSessionServer::startListening(std::uint16_t port, bool publishesService) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (listener_ || isStartingListener_) return;
    isStartingListener_ = true;
    try {
        const TLSDeviceIdentity identity = identityService_->tlsIdentity();
        const std::uint64_t generation = listenerGeneration_ + 1;
        std::weak_ptr<HostSessionServer> weak = weak_from_this();
        auto onConnection = [weak](std::shared_ptr<NetworkFramedConnection> connection, HandshakeSlot slot) {
            if (auto self = weak.lock()) {
                self->acceptConnection(std::move(connection), std::move(slot));
            } else {
                connection->cancel();
            }
        };
        auto onStatus = [weak, generation](ListenerStatus status) {
            if (auto self = weak.lock()) self->handleListenerStatus(generation, status);
        };
        auto onPublicationError = [weak, generation](const ListenerPublicationError& error) {
            if (auto self = weak.lock()) self->handlePublication(generation, error);
        };
        auto onPublished = [weak, generation] {
            if (auto self = weak.lock()) self->handlePublication(generation, std::nullopt);
        };
        BonjourHostListener::Options listenerOptions;
        // TLS is part of the wait for the first message.
        listenerOptions.handshakeTimeout = handshakeDependencies_.firstMessageTimeout;
        listenerOptions.admission = options_.admission;
        listenerOptions.isPairedPeer = [store = trustedDeviceStore_](const TLSChannelContext& context) {
            return holdsPairedCertificate(*store, context);
        };
        listenerOptions.handshakeBudget = handshakeBudget_;
        listenerOptions.acceptRetryDelay = options_.acceptRetryDelay;
        listenerOptions.socket = options_.sessionSocket;
        auto listener = std::make_unique<BonjourHostListener>(
            executor_, identity, port, publishesService, std::move(onConnection), std::move(onStatus),
            std::move(onPublicationError), std::move(onPublished), listenerOptions, options_.listenerFactory);
        // From here on the previous listener's statuses are dropped.
        listenerGeneration_ = generation;
        listenerStopRequested_ = false;
        listener_ = std::move(listener);
        listener_->start();
    } catch (...) {
        isStartingListener_ = false;
        throw;
    }
    isStartingListener_ = false;
}

// A superseded listener's late status (an old `stopped` after the new
// `advertising`) would clear the port and stop the beacon: only the newest
// listener speaks, and once stopped only its `stopped` still passes.
void HostSessionServer::handleListenerStatus(std::uint64_t generation, const ListenerStatus& status) {
    if (generation != listenerGeneration_) return;
    if (listenerStopRequested_ && status.kind() != ListenerStatus::Case::stopped) return;
    if (status.kind() == ListenerStatus::Case::advertising) currentPort_ = status.port();
    if (status.kind() == ListenerStatus::Case::stopped) currentPort_.reset();
    if (callbacks_->onListenerStatus) callbacks_->onListenerStatus(status);
}

// As statuses: only the newest listener's, and nothing once it is told to stop.
void HostSessionServer::handlePublication(std::uint64_t generation,
                                          const std::optional<ListenerPublicationError>& error) {
    if (generation != listenerGeneration_ || listenerStopRequested_) return;
    if (error) reportError(std::make_exception_ptr(*error));
    if (callbacks_->onPublicationChanged) callbacks_->onPublicationChanged(!error);
}

asio::awaitable<std::uint16_t> HostSessionServer::waitForListeningPort(Duration timeout) {
    return waitForPort(shared_from_this(), timeout);
}

asio::awaitable<std::uint16_t> HostSessionServer::waitForPort(std::shared_ptr<HostSessionServer> self,
                                                              Duration timeout) {
    VELORINTH_ASSERT_ON_LOOP(self->executor_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    asio::steady_timer poll(self->executor_);
    for (;;) {
        if (std::chrono::steady_clock::now() >= deadline) throw PairingProtocolError(PairingProtocolError::Case::timedOut);
        if (self->currentPort_ && *self->currentPort_ != 0) co_return *self->currentPort_;
        poll.expires_after(self->options_.portPollInterval);
        asio::error_code error;
        co_await poll.async_wait(asio::redirect_error(asio::use_awaitable, error));
        if (error) throw CancellationError();
    }
}

asio::awaitable<void> HostSessionServer::stop() { return runStop(shared_from_this()); }

asio::awaitable<void> HostSessionServer::runStop(std::shared_ptr<HostSessionServer> self) {
    VELORINTH_ASSERT_ON_LOOP(self->executor_);
    self->isStartingListener_ = false;

    // Handshakes in flight must not become sessions behind the user's back;
    // only the pairing whose prompt this answers goes on to tell its tablet.
    ++self->intakeGeneration_;
    const std::shared_ptr<NetworkFramedConnection> answered = self->approval_.rejectForStop();
    std::vector<std::shared_ptr<HostHandshake>> closing;
    for (const auto& [id, handshake] : self->intakes_) {
        if (handshake->generation() < self->intakeGeneration_ && handshake->connection() != answered) {
            closing.push_back(handshake);
        }
    }
    for (const auto& handshake : closing) {
        handshake->markClosedByStop();
        handshake->connection()->cancel();
    }

    if (self->listener_) {
        self->listenerStopRequested_ = true;
        self->listener_->stop();
        self->listener_.reset();
    }
    self->currentPort_.reset();
    co_await runDisconnectAll(self, std::string(kStopReason));
}

// ---- intake --------------------------------------------------------------------------------

// Only while a listener is installed or starting; a connection handed over
// after stop is closed at once.
void HostSessionServer::acceptConnection(std::shared_ptr<NetworkFramedConnection> connection, HandshakeSlot slot) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (!listener_ && !isStartingListener_) {
        connection->cancel();
        return;
    }
    auto handshake = std::make_shared<HostHandshake>(handshakeDependencies_, nextIntakeID_++, intakeGeneration_,
                                                     std::move(connection), std::move(slot));
    intakes_.emplace(handshake->id(), handshake);
    asio::co_spawn(executor_, runIntake(shared_from_this(), std::move(handshake)), asio::detached);
}

// The handshake, then the session it may become, which this task runs to its end.
asio::awaitable<void> HostSessionServer::runIntake(std::shared_ptr<HostSessionServer> self,
                                                   std::shared_ptr<HostHandshake> handshake) {
    (void)self; // keeps the server alive while the connection runs
    std::exception_ptr failure;
    SessionPointer session;
    try {
        std::optional<HostHandshake::Accepted> accepted = co_await handshake->run();
        // The trust write suspended: a stop meanwhile still ends it here.
        if (accepted && handshake->generation() != intakeGeneration_) {
            throw PairingProtocolError(PairingProtocolError::Case::cancelled);
        }
        if (accepted) session = registerSession(*handshake, std::move(*accepted));
    } catch (...) {
        failure = std::current_exception();
    }
    retireIntake(*handshake);
    if (failure) {
        handshake->connection()->cancel();
        if (!handshake->closedByStop()) reportError(failure);
        co_return;
    }
    if (!session) co_return;

    try {
        co_await session->run();
    } catch (...) {
        failure = std::current_exception();
    }
    finishSession(session);
    if (failure) {
        session->connection()->cancel();
        reportError(failure);
    }
}

void HostSessionServer::retireIntake(HostHandshake& handshake) {
    intakes_.erase(handshake.id());
    handshake.releaseSlot();
}

HostSessionServer::SessionPointer HostSessionServer::registerSession(const HostHandshake& handshake,
                                                                     HostHandshake::Accepted accepted) {
    const DevicePublicIdentity& peer = accepted.verification.peerIdentity;
    const Uuid deviceID = peer.id;
    if (auto existing = sessions_.find(deviceID); existing != sessions_.end()) {
        retire(SessionPointer(existing->second), Retirement::replaced);
    }

    ActiveSessionDescriptor descriptor;
    descriptor.id = accepted.serverHello.sessionID;
    descriptor.peerIdentity = peer;
    descriptor.negotiatedProtocolVersion = accepted.verification.negotiatedProtocolVersion;
    descriptor.acceptedCapabilities = accepted.acceptedCapabilities;
    descriptor.grantedPermissions = accepted.serverHello.grantedPermissions;
    descriptor.hostAccessibilityGranted = currentAccessibilityGranted_;
    descriptor.remoteDisplay = currentHostDisplay_;
    descriptor.wakeConfiguration = effectiveWakeConfiguration();
    if (descriptor.wakeConfiguration) descriptor.hostPowerState = descriptor.wakeConfiguration->lastKnownPowerState;
    descriptor.connectedAt = now();

    HostPeerSession::Settings settings;
    settings.handshakeTimeout = handshakeTimeout;
    settings.flushTimeout = options_.flushTimeout;
    settings.finalCloseTimeout = options_.finalCloseTimeout;
    settings.controlWatermarkBytes = options_.controlWatermarkBytes;
    settings.requiredPermissions = requiredPermissions;
    auto session = std::make_shared<HostPeerSession>(
        executor_, static_cast<HostPeerSession::Delegate&>(*this), trustedDeviceStore_, settings, std::move(descriptor),
        handshake.connection(), std::move(accepted.cipher), std::move(accepted.verification.transcriptHash));
    sessions_.insert_or_assign(deviceID, session);
    sessionChanged();
    return session;
}

// A session replaced or taken by the host has been retired already; its
// clean-up was owed then, and a late one would release the keys its
// successor holds.
void HostSessionServer::finishSession(const SessionPointer& session) {
    if (auto found = sessions_.find(session->deviceID()); found != sessions_.end() && found->second == session) {
        retire(session, Retirement::ended);
    }
    asio::post(executor_, [scheduler = session->scheduler()] { scheduler->close(); });
    memoryRelease_->request();
}

// The one way out of the table. Every way owes the host the input clean-up
// and, for a streaming session, the stream's stop, once; from here on what the
// tablet asks changes nothing on the host. A replaced session's connection is
// cut now; a taken one is told why by its taker; an ended one is gone already.
void HostSessionServer::retire(const SessionPointer& session, Retirement why) {
    const Uuid deviceID = session->deviceID();
    const Uuid sessionID = session->sessionID();
    sessions_.erase(deviceID);
    session->detach();
    if (callbacks_->onSessionClosedForInputCleanup) callbacks_->onSessionClosedForInputCleanup(deviceID, sessionID);
    if (session->descriptor().isVideoStreaming && callbacks_->onVideoStreamStopped) {
        callbacks_->onVideoStreamStopped(deviceID, sessionID);
    }
    if (why == Retirement::replaced) session->scheduler()->close();
    sessionChanged();
}

} // namespace velorinth
