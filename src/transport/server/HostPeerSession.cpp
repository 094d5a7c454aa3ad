#include "transport/server/HostPeerSession.hpp"

#include "core/KeepAlive.hpp"
#include "core/LoopAssert.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/AsyncTimeout.hpp"
#include "transport/session/SessionFrameOpening.hpp"

#include <asio/post.hpp>

#include <algorithm>
#include <utility>

namespace velorinth {

namespace {

using Command = SessionControlCommand;
constexpr std::int64_t kDefaultChunkBytes = 32'768;

std::string streamFailureText(VideoStreamStopReason reason) {
    switch (reason) {
    case VideoStreamStopReason::screenRecordingPermissionRequired:
        return std::string(kScreenRecordingPermissionRequiredText);
    case VideoStreamStopReason::screenViewPermissionRevoked: return "Screen viewing permission is disabled on the Mac.";
    case VideoStreamStopReason::encoderFailed: return "Failed to initialize hardware video encoder on the Mac.";
    default: return "Stream unavailable";
    }
}

constexpr std::string_view kViewPermissionMissingText = "Screen viewing permission is disabled for this iPad on the Mac.";
constexpr std::string_view kH264NotNegotiatedText = "H.264 capability was not negotiated for this session.";

} // namespace

HostPeerSession::HostPeerSession(asio::any_io_executor executor, Delegate& delegate,
                                 std::shared_ptr<TrustedDeviceStore> trustedDeviceStore, Settings settings,
                                 ActiveSessionDescriptor descriptor,
                                 std::shared_ptr<NetworkFramedConnection> connection,
                                 std::shared_ptr<SessionCipher> cipher, Bytes transcriptHash)
    : executor_(std::move(executor)), delegate_(delegate), trustedDeviceStore_(std::move(trustedDeviceStore)),
      settings_(settings), descriptor_(std::move(descriptor)), connection_(std::move(connection)),
      cipher_(std::move(cipher)), transcriptHash_(std::move(transcriptHash)),
      // The scheduler asks for a keyframe only inside enqueueVideo, which only
      // this session calls: `this` is alive whenever it asks.
      scheduler_(std::make_shared<PeerOutboundScheduler>(
          executor_, connection_, cipher_, transcriptHash_, [this] { keyframeRecoveryNeeded(); }, settings.flushTimeout,
          settings.finalCloseTimeout, settings.controlWatermarkBytes)) {}

SessionControlMessage HostPeerSession::makeMessage(SessionControlCommand command) const {
    SessionControlMessage message;
    message.command = command;
    message.sequence = 0;
    message.timestamp = delegate_.now();
    return message;
}

SessionControlMessage HostPeerSession::hostStateMessage(const HostState& state) const {
    SessionControlMessage message = makeMessage(Command::hostStateUpdated);
    message.hostDisplay = state.display;
    message.accessibilityGranted = state.accessibilityGranted;
    message.wakeConfiguration = state.wakeConfiguration;
    if (message.wakeConfiguration) message.powerStateEvidence = message.wakeConfiguration->lastKnownPowerState;
    return message;
}

// ---- run -------------------------------------------------------------------------------

// The scheduler stays shut until server-ready is written, so whatever the host
// queued at registration follows it as sequence 2 onwards.
asio::awaitable<void> HostPeerSession::sendServerReady() {
    const ServerSessionReady ready{sessionID()};
    co_await AsyncTimeout::withTimeout<PairingTimeoutErrors>(settings_.handshakeTimeout,
                                       sendSealed(*connection_, HandshakeMessageKind::encryptedServerReady, ready,
                                                  *cipher_, transcriptHash_));
}

asio::awaitable<void> HostPeerSession::run() { return keepAlive(shared_from_this(), runBody()); }

asio::awaitable<void> HostPeerSession::runBody() {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    co_await sendServerReady();
    const HostState state = delegate_.hostState();
    if (state.display || !state.accessibilityGranted || state.wakeConfiguration) {
        scheduler_->enqueueControl(hostStateMessage(state));
    }
    scheduler_->startDraining();

    for (;;) {
        std::optional<SessionControlMessage> message = co_await receiveControlMessage();
        if (!message) co_return;

        // Fail closed: an unreadable store, a missing or revoked record, or a
        // lost required permission ends the session before anything is done.
        std::optional<TrustedDevice> record;
        try {
            record = trustedDeviceStore_->device(deviceID());
        } catch (const std::exception&) {
            record.reset();
        }
        if (!record || record->authorization == DeviceAuthorization::revoked ||
            DevicePermissions::isMissingRequired(settings_.requiredPermissions, record->permissions)) {
            SessionControlMessage revoked = makeMessage(Command::revoked);
            revoked.reason = removalReason_.value_or(std::string(kTrustRecheckRevokedReason));
            co_await scheduler_->sendFinalControlAndClose(std::move(revoked));
            co_return;
        }
        if (!co_await dispatch(*message, record->permissions)) co_return;
    }
}

asio::awaitable<std::optional<SessionControlMessage>> HostPeerSession::receiveControlMessage() {
    for (;;) {
        Bytes frame;
        try {
            frame = co_await connection_->receiveFrame();
        } catch (const NetworkConnectionError& error) {
            // Cancelled here (host disconnect, replacement, stop): an orderly
            // end, unless a failed write cancelled it (the kernel gave up on
            // a tablet that stopped acknowledging, for one).
            if (error.kind == NetworkConnectionError::Case::cancelled) {
                if (const std::exception_ptr failure = scheduler_->sendFailure()) std::rethrow_exception(failure);
                co_return std::nullopt;
            }
            throw;
        }
        // A tablet sends no video: its fragment is opened and dropped.
        OpenedSessionFrame opened = openSessionFrame(frame, *cipher_, transcriptHash_);
        if (auto* message = std::get_if<SessionControlMessage>(&opened)) co_return std::move(*message);
    }
}

asio::awaitable<bool> HostPeerSession::dispatch(const SessionControlMessage& message, DevicePermissions permissions) {
    switch (message.command) {
    case Command::ping: handlePing(message); break;
    case Command::remoteInput: handleRemoteInput(message, permissions); break;
    case Command::configureVideoStream: co_await handleConfigureVideo(message, permissions); break;
    case Command::requestVideoKeyframe: handleKeyframeRequest(message, permissions); break;
    case Command::stopVideoStream: handleStopVideo(message); break;
    case Command::confirmVerifiedWake: co_await handleVerifiedWake(message); break;
    case Command::disconnect:
    case Command::revoked: co_return false;
    case Command::pong:
    case Command::permissionsUpdated:
    case Command::hostStateUpdated:
    case Command::videoStreamStatus: break;
    }
    co_return true;
}

// ---- the tablet's requests ---------------------------------------------------------------

void HostPeerSession::handlePing(const SessionControlMessage& message) {
    if (attached_) {
        descriptor_.lastHeartbeatAt = delegate_.now();
        descriptor_.heartbeatCount += 1;
        delegate_.sessionChanged();
    }
    SessionControlMessage pong = makeMessage(Command::pong);
    pong.sequence = message.sequence;
    pong.sentMonotonicNs = message.sentMonotonicNs;
    scheduler_->enqueueControl(std::move(pong));
}

void HostPeerSession::handleRemoteInput(const SessionControlMessage& message, DevicePermissions permissions) {
    if (!permissions.allowsRemoteControl()) {
        SessionControlMessage reply = makeMessage(Command::permissionsUpdated);
        reply.permissions = permissions;
        scheduler_->enqueueControl(std::move(reply));
        return;
    }
    auto inaccessible = [&] {
        SessionControlMessage reply = makeMessage(Command::hostStateUpdated);
        reply.hostDisplay = delegate_.hostState().display;
        reply.accessibilityGranted = false;
        scheduler_->enqueueControl(std::move(reply));
    };
    if (!delegate_.hostState().accessibilityGranted) return inaccessible();
    const ControlMessage::Input* input =
        message.controlMessage ? message.controlMessage->get<ControlMessage::Input>() : nullptr;
    // Duplicates and stale events are dropped.
    if (input == nullptr || input->sequence <= lastInputSequence_) return;
    lastInputSequence_ = input->sequence;
    // Retired: its input clean-up has run, and a key pressed now would stay down.
    if (!attached_) return;

    const HostSessionCallbacks& callbacks = delegate_.callbacks();
    const bool injected = callbacks.onRemoteInput ? callbacks.onRemoteInput(deviceID(), sessionID(), input->event) : true;
    if (!injected) {
        delegate_.accessibilityLost();
        if (attached_) {
            descriptor_.hostAccessibilityGranted = false;
            delegate_.sessionChanged();
        }
        return inaccessible();
    }
    if (attached_) {
        descriptor_.receivedInputEvents += 1;
        delegate_.sessionChanged();
    }
}

void HostPeerSession::setStreaming(bool streaming) {
    if (!attached_) return;
    descriptor_.isVideoStreaming = streaming;
    delegate_.sessionChanged();
}

asio::awaitable<void> HostPeerSession::handleConfigureVideo(const SessionControlMessage& message,
                                                            DevicePermissions permissions) {
    const std::uint64_t generation = message.streamGeneration.value_or(1);
    const VideoStreamConfiguration configuration = message.videoConfiguration.value_or(defaultStreamConfiguration());
    auto status = [&](bool active) {
        SessionControlMessage reply = makeMessage(Command::videoStreamStatus);
        reply.streamActive = active;
        reply.streamGeneration = generation;
        return reply;
    };

    if (!permissions.allowsScreenView()) {
        setStreaming(false);
        scheduler_->resetVideo();
        SessionControlMessage refused = status(false);
        refused.streamStopReason = VideoStreamStopReason::screenViewPermissionRevoked;
        refused.reason = std::string(kViewPermissionMissingText);
        scheduler_->enqueueControl(std::move(refused));
        SessionControlMessage rights = makeMessage(Command::permissionsUpdated);
        rights.permissions = permissions;
        scheduler_->enqueueControl(std::move(rights));
        co_return;
    }
    if (!attached_ || !descriptor_.acceptedCapabilities.contains(Capability::h264)) {
        SessionControlMessage refused = status(false);
        refused.streamStopReason = VideoStreamStopReason::unsupportedConfiguration;
        refused.reason = std::string(kH264NotNegotiatedText);
        scheduler_->enqueueControl(std::move(refused));
        co_return;
    }

    scheduler_->resetVideo();
    std::optional<VideoStreamStopReason> failure;
    if (auto request = delegate_.callbacks().onVideoStreamRequested) {
        try {
            co_await request(deviceID(), sessionID(), configuration, generation);
        } catch (const VideoStreamStopError& error) {
            failure = error.reason;
        } catch (const std::exception&) {
            failure = VideoStreamStopReason::hostStopped;
        }
    }

    // The request suspended: the session may have been replaced or closed.
    if (failure) {
        setStreaming(false);
        SessionControlMessage stopped = status(false);
        stopped.streamStopReason = *failure;
        stopped.reason = streamFailureText(*failure);
        scheduler_->enqueueControl(std::move(stopped));
        co_return;
    }
    if (attached_) {
        descriptor_.isVideoStreaming = true;
        descriptor_.videoGeneration = generation;
        videoConfiguration_ = configuration;
        delegate_.sessionChanged();
    }
    SessionControlMessage active = status(true);
    active.videoConfiguration = configuration;
    scheduler_->enqueueControl(std::move(active));
    const HostSessionCallbacks& callbacks = delegate_.callbacks();
    if (attached_) {
        if (callbacks.onVideoKeyframeRequested) callbacks.onVideoKeyframeRequested(deviceID(), sessionID(), generation);
    } else if (callbacks.onVideoStreamStopped) {
        // The host started capture for a session that is gone: stop it again.
        callbacks.onVideoStreamStopped(deviceID(), sessionID());
    }
}

void HostPeerSession::handleKeyframeRequest(const SessionControlMessage& message, DevicePermissions permissions) {
    const HostSessionCallbacks& callbacks = delegate_.callbacks();
    if (!permissions.allowsScreenView() || !attached_ || !descriptor_.isVideoStreaming ||
        !callbacks.onVideoKeyframeRequested) {
        return;
    }
    callbacks.onVideoKeyframeRequested(deviceID(), sessionID(),
                                       message.streamGeneration.value_or(descriptor_.videoGeneration));
}

void HostPeerSession::handleStopVideo(const SessionControlMessage& message) {
    scheduler_->resetVideo();
    if (attached_) {
        const bool wasStreaming = descriptor_.isVideoStreaming;
        setStreaming(false);
        const HostSessionCallbacks& callbacks = delegate_.callbacks();
        if (wasStreaming && callbacks.onVideoStreamStopped) callbacks.onVideoStreamStopped(deviceID(), sessionID());
    }
    SessionControlMessage reply = makeMessage(Command::videoStreamStatus);
    reply.streamActive = false;
    reply.streamStopReason = VideoStreamStopReason::clientRequested;
    reply.streamGeneration = message.streamGeneration;
    scheduler_->enqueueControl(std::move(reply));
}

// The tablet's clock is not trusted to move a wake record into the future:
// a stored wake time never moves back, so a future one would stick.
asio::awaitable<void> HostPeerSession::handleVerifiedWake(const SessionControlMessage& message) {
    co_await delegate_.verifiedWakeConfirmed(deviceID(), std::min(message.timestamp, delegate_.now()));
}

// ---- what the host does --------------------------------------------------------------------

void HostPeerSession::applyHostState(const HostState& state) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    descriptor_.remoteDisplay = state.display;
    descriptor_.hostAccessibilityGranted = state.accessibilityGranted;
    descriptor_.wakeConfiguration = state.wakeConfiguration;
    scheduler_->enqueueControl(hostStateMessage(state));
}

asio::awaitable<void> HostPeerSession::reportSystemSleep(Date time, HostState state) {
    return keepAlive(shared_from_this(), reportSystemSleepBody(time, std::move(state)));
}

asio::awaitable<void> HostPeerSession::reportSystemSleepBody(Date time, HostState state) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    descriptor_.hostPowerState = PowerStateEvidence::systemSleepReportedBeforeDisconnect;
    descriptor_.wakeConfiguration = state.wakeConfiguration;
    SessionControlMessage report = hostStateMessage(state);
    report.timestamp = time;
    report.powerStateEvidence = PowerStateEvidence::systemSleepReportedBeforeDisconnect;
    co_await scheduler_->enqueueControlAndFlush(std::move(report));
}

// Cheap: never waits for a send and never copies the frame; the session's
// generation goes into the fragments' headers as they are written.
bool HostPeerSession::distributeVideoFrame(const std::shared_ptr<const EncodedVideoFrame>& frame) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (!descriptor_.isVideoStreaming || !descriptor_.grantedPermissions.allowsScreenView() ||
        !descriptor_.acceptedCapabilities.contains(Capability::h264)) {
        return false;
    }
    const std::int64_t chunk = videoConfiguration_ ? videoConfiguration_->maxFragmentPayloadBytes : kDefaultChunkBytes;
    const std::uint64_t generation = descriptor_.videoGeneration != 0 ? descriptor_.videoGeneration : frame->generation;
    const PeerOutboundScheduler::VideoEnqueueResult result = scheduler_->enqueueVideo(frame, generation, chunk);
    if (result.sentVideoFramesCount == descriptor_.sentVideoFrames &&
        result.droppedVideoFramesCount == descriptor_.droppedVideoFrames) {
        return false;
    }
    descriptor_.sentVideoFrames = result.sentVideoFramesCount;
    descriptor_.droppedVideoFrames = result.droppedVideoFramesCount;
    return true;
}

// A stall can only end with a keyframe. Asked from a new task, so that the
// host's answer (a frame handed out at once) never re-enters the fan-out.
void HostPeerSession::keyframeRecoveryNeeded() {
    asio::post(executor_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->requestKeyframeIfStreaming();
    });
}

bool HostPeerSession::stopVideoStream(VideoStreamStopReason reason, const std::string& detail) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (!descriptor_.isVideoStreaming) return false;
    descriptor_.isVideoStreaming = false;
    scheduler_->resetVideo();
    SessionControlMessage status = makeMessage(Command::videoStreamStatus);
    status.reason = detail;
    status.streamGeneration = descriptor_.videoGeneration;
    status.streamStopReason = reason;
    status.streamActive = false;
    scheduler_->enqueueControl(std::move(status));
    return true;
}

asio::awaitable<void> HostPeerSession::applyPermissions(DevicePermissions permissions) {
    return keepAlive(shared_from_this(), applyPermissionsBody(permissions));
}

asio::awaitable<void> HostPeerSession::applyPermissionsBody(DevicePermissions permissions) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    const DevicePermissions old = descriptor_.grantedPermissions;
    const bool wasStreaming = descriptor_.isVideoStreaming;
    descriptor_.grantedPermissions = permissions;
    if (!permissions.allowsScreenView()) descriptor_.isVideoStreaming = false;

    const HostSessionCallbacks& callbacks = delegate_.callbacks();
    if (old.allowsRemoteControl() && !permissions.allowsRemoteControl() && callbacks.onSessionClosedForInputCleanup) {
        callbacks.onSessionClosedForInputCleanup(deviceID(), sessionID());
    }
    if (old.allowsScreenView() && !permissions.allowsScreenView()) {
        scheduler_->resetVideo();
        if (wasStreaming) {
            SessionControlMessage withdrawn = makeMessage(Command::videoStreamStatus);
            withdrawn.reason = std::string(kViewWithdrawnReason);
            withdrawn.streamGeneration = descriptor_.videoGeneration;
            withdrawn.streamStopReason = VideoStreamStopReason::screenViewPermissionRevoked;
            withdrawn.streamActive = false;
            scheduler_->enqueueControl(std::move(withdrawn));
            if (callbacks.onVideoStreamStopped) callbacks.onVideoStreamStopped(deviceID(), sessionID());
        }
    }
    SessionControlMessage rights = makeMessage(Command::permissionsUpdated);
    rights.permissions = permissions;
    co_await scheduler_->enqueueControlAndFlush(std::move(rights));
}

asio::awaitable<void> HostPeerSession::sendClosingMessage(SessionControlCommand command, std::string reason) {
    return keepAlive(shared_from_this(), sendClosingMessageBody(command, std::move(reason)));
}

asio::awaitable<void> HostPeerSession::sendClosingMessageBody(SessionControlCommand command, std::string reason) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    SessionControlMessage message = makeMessage(command);
    message.reason = std::move(reason);
    co_await scheduler_->sendFinalControlAndClose(std::move(message));
}

void HostPeerSession::requestKeyframeIfStreaming() {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    const HostSessionCallbacks& callbacks = delegate_.callbacks();
    if (!attached_ || !descriptor_.isVideoStreaming || !callbacks.onVideoKeyframeRequested) return;
    callbacks.onVideoKeyframeRequested(deviceID(), sessionID(), descriptor_.videoGeneration);
}

} // namespace velorinth
