#include "transport/client/AuthenticatedClientSession.hpp"

#include "core/Cancellation.hpp"
#include "core/Json.hpp"
#include "core/KeepAlive.hpp"
#include "core/LoopAssert.hpp"
#include "core/Uptime.hpp"
#include "transport/client/RemoteInputTransportError.hpp"
#include "transport/client/VideoStreamTransportError.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>

#include <utility>

namespace velorinth {

namespace {

using Command = SessionControlCommand;

NetworkConnectionError closedError() {
    return NetworkConnectionError(NetworkConnectionError::Case::closed);
}

} // namespace

std::uint64_t ClientSessionClocks::defaultMonotonicUptimeNs() { return steadyUptimeNs(); }

AuthenticatedClientSession::AuthenticatedClientSession(asio::any_io_executor executor,
                                                       ActiveSessionDescriptor descriptor,
                                                       std::shared_ptr<NetworkFramedConnection> connection,
                                                       std::shared_ptr<SessionCipher> cipher, Bytes transcriptHash,
                                                       std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                                                       asio::thread_pool& storeWorker, Handlers handlers, Clocks clocks,
                                                       std::chrono::steady_clock::duration finalMessageLimit)
    : id(descriptor.id), executor_(std::move(executor)), connection_(std::move(connection)), cipher_(std::move(cipher)),
      transcriptHash_(std::move(transcriptHash)), trustedDeviceStore_(std::move(trustedDeviceStore)),
      storeWorker_(storeWorker), clocks_(std::move(clocks)), finalMessageLimit_(finalMessageLimit),
      descriptor_(std::move(descriptor)),
      writer_(std::make_shared<SessionWriter>(executor_, connection_, cipher_, transcriptHash_)),
      reassembler_(VideoFrameReassembler::Limits{}, clocks_.continuousNow),
      onVideoFrameReceived_(std::move(handlers.onVideoFrameReceived)),
      onVideoStreamStatus_(std::move(handlers.onVideoStreamStatus)),
      onDescriptorUpdate_(std::move(handlers.onDescriptorUpdate)), onTerminated_(std::move(handlers.onTerminated)) {
    writer_->start(); // idle until something is queued
}

// Dropped without disconnect(): the connection is cancelled and both tasks
// end; nobody is told.
AuthenticatedClientSession::~AuthenticatedClientSession() {
    if (heartbeatTimer_) heartbeatTimer_->cancel();
    writer_->close();
}

void AuthenticatedClientSession::setVideoHandlers(VideoFrameHandler onVideoFrameReceived,
                                                  VideoStreamStatusHandler onVideoStreamStatus) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    onVideoFrameReceived_ = std::move(onVideoFrameReceived);
    onVideoStreamStatus_ = std::move(onVideoStreamStatus);
}

AuthenticatedClientSession::Diagnostics AuthenticatedClientSession::diagnostics() const {
    return {descriptor_.latestRTTMilliseconds, reassembler_.expiredFramesCount(), reassembler_.totalBufferedBytes()};
}

// ---- lifecycle ----

void AuthenticatedClientSession::start(std::chrono::steady_clock::duration heartbeatInterval) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (hasReceiveTask_) return;
    hasReceiveTask_ = true;
    heartbeatTimer_ = std::make_shared<asio::steady_timer>(executor_);
    std::weak_ptr<AuthenticatedClientSession> weak = weak_from_this();
    asio::co_spawn(executor_, receiveTask(weak, connection_, writer_), asio::detached);
    asio::co_spawn(executor_, heartbeatTask(weak, writer_, heartbeatTimer_, heartbeatInterval), asio::detached);
}

asio::awaitable<void> AuthenticatedClientSession::disconnect(std::string reason) {
    return keepAlive(shared_from_this(), disconnectBody(std::move(reason)));
}

asio::awaitable<void> AuthenticatedClientSession::disconnectBody(std::string reason) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (closed_) co_return;
    closed_ = true;
    stopTasks();
    reassembler_.reset();
    SessionControlMessage farewell = message(Command::disconnect);
    farewell.reason = std::move(reason);
    try {
        // Bounded: a host that stopped reading must not hold the session open.
        co_await send(std::move(farewell), SendMode::final);
    } catch (...) {
        // The session ends the same way whether or not the host was told.
    }
    writer_->close();
    if (onTerminated_) onTerminated_(SessionTerminationReason::localDisconnect());
}

void AuthenticatedClientSession::close(const SessionTerminationReason& reason) {
    if (closed_) return;
    closed_ = true;
    stopTasks();
    reassembler_.reset();
    writer_->close(); // cancels the connection
    if (onTerminated_) onTerminated_(reason);
}

void AuthenticatedClientSession::close(std::string_view message) {
    close(SessionTerminationReason::networkInterrupted(std::string(message)));
}

void AuthenticatedClientSession::stopTasks() {
    // The loops see `closed_` as soon as they resume; the heartbeat's sleep is
    // woken now, the receive loop's read ends when the connection is cancelled.
    hasReceiveTask_ = false;
    if (heartbeatTimer_) {
        heartbeatTimer_->cancel();
        heartbeatTimer_.reset();
    }
}

// ---- sending ----

SessionControlMessage AuthenticatedClientSession::message(SessionControlCommand command, std::uint64_t sequence) const {
    SessionControlMessage result;
    result.command = command;
    result.sequence = sequence;
    result.timestamp = clocks_.now();
    return result;
}

SessionControlMessage AuthenticatedClientSession::pingMessage() const {
    SessionControlMessage ping = message(Command::ping, descriptor_.heartbeatCount + 1);
    ping.sentMonotonicNs = clocks_.monotonicUptimeNs();
    return ping;
}

std::uint64_t AuthenticatedClientSession::enqueue(const SessionControlMessage& message, SendMode mode) {
    if (mode == SendMode::checked && closed_) throw closedError();
    Bytes plaintext = json::encodeToBytes(message);
    // A frame the connection would refuse must not use up a sequence number:
    // the host would see a gap and end the session.
    if (SessionWireFrameCodec::minimumFrameLength + plaintext.size() > connection_->maximumFrameSize) {
        throw NetworkConnectionError(NetworkConnectionError::Case::oversizedFrame);
    }
    return writer_->enqueueControl(std::move(plaintext));
}

asio::awaitable<void> AuthenticatedClientSession::awaitWritten(std::shared_ptr<SessionWriter> writer,
                                                               std::uint64_t ticket, SessionWriter::Duration bound) {
    if (co_await writer->waitForWritten(ticket, bound)) co_return;
    if (const std::exception_ptr failure = writer->failure()) std::rethrow_exception(failure);
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    if (isCancelled(caller)) throw CancellationError();
    throw closedError();
}

// Called from the public coroutines' bodies, which keep the session alive.
asio::awaitable<void> AuthenticatedClientSession::send(SessionControlMessage message, SendMode mode) {
    const std::uint64_t ticket = enqueue(message, mode);
    const auto bound = mode == SendMode::final ? finalMessageLimit_ : SessionWriter::Duration::max();
    co_await awaitWritten(writer_, ticket, bound);
}

asio::awaitable<void> AuthenticatedClientSession::sendPing() { return keepAlive(shared_from_this(), sendPingBody()); }

asio::awaitable<void> AuthenticatedClientSession::sendPingBody() {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (closed_) throw closedError();
    SessionControlMessage ping = pingMessage();
    co_await send(std::move(ping));
}

asio::awaitable<void> AuthenticatedClientSession::sendInput(InputEvent event) {
    return keepAlive(shared_from_this(), sendInputBody(std::move(event)));
}

asio::awaitable<void> AuthenticatedClientSession::sendInputBody(InputEvent event) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    using Case = RemoteInputTransportError::Case;
    if (closed_) throw RemoteInputTransportError(Case::sessionNotConnected);
    if (!descriptor_.grantedPermissions.allowsRemoteControl()) {
        throw RemoteInputTransportError(Case::remoteControlPermissionDenied);
    }
    if (!descriptor_.hostAccessibilityGranted) throw RemoteInputTransportError(Case::hostAccessibilityUnavailable);
    const std::uint64_t sequence = ++nextInputSequence_; // wraps; used up even if the send fails
    SessionControlMessage input = message(Command::remoteInput, sequence);
    input.controlMessage = ControlMessage::input(sequence, std::move(event));
    co_await send(std::move(input));
    descriptor_.receivedInputEvents += 1;
}

asio::awaitable<void> AuthenticatedClientSession::configureVideoStream(VideoStreamConfiguration configuration,
                                                                       std::uint64_t generation) {
    return keepAlive(shared_from_this(), configureVideoStreamBody(configuration, generation));
}

asio::awaitable<void> AuthenticatedClientSession::configureVideoStreamBody(VideoStreamConfiguration configuration,
                                                                           std::uint64_t generation) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    using Case = VideoStreamTransportError::Case;
    if (closed_) throw VideoStreamTransportError(Case::sessionNotConnected);
    if (!descriptor_.grantedPermissions.allowsScreenView())
        throw VideoStreamTransportError(Case::screenViewPermissionDenied);
    if (!descriptor_.acceptedCapabilities.contains(Capability::h264)) {
        throw VideoStreamTransportError(Case::h264CapabilityUnavailable);
    }
    descriptor_.videoGeneration = generation;
    SessionControlMessage request = message(Command::configureVideoStream);
    request.videoConfiguration = configuration;
    request.streamGeneration = generation;
    co_await send(std::move(request));
}

SessionControlMessage AuthenticatedClientSession::keyframeRequest(std::uint64_t generation) const {
    using Case = VideoStreamTransportError::Case;
    if (closed_) throw VideoStreamTransportError(Case::sessionNotConnected);
    if (!descriptor_.grantedPermissions.allowsScreenView())
        throw VideoStreamTransportError(Case::screenViewPermissionDenied);
    SessionControlMessage request = message(Command::requestVideoKeyframe);
    request.streamGeneration = generation;
    return request;
}

asio::awaitable<void> AuthenticatedClientSession::requestVideoKeyframe(std::uint64_t generation) {
    return keepAlive(shared_from_this(), requestVideoKeyframeBody(generation));
}

asio::awaitable<void> AuthenticatedClientSession::requestVideoKeyframeBody(std::uint64_t generation) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    SessionControlMessage request = keyframeRequest(generation);
    co_await send(std::move(request));
}

asio::awaitable<void> AuthenticatedClientSession::stopVideoStream(std::optional<std::uint64_t> generation) {
    return keepAlive(shared_from_this(), stopVideoStreamBody(generation));
}

asio::awaitable<void> AuthenticatedClientSession::stopVideoStreamBody(std::optional<std::uint64_t> generation) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (closed_) co_return;
    descriptor_.isVideoStreaming = false;
    reassembler_.reset();
    SessionControlMessage request = message(Command::stopVideoStream);
    request.streamGeneration = generation.value_or(descriptor_.videoGeneration);
    try {
        co_await send(std::move(request));
    } catch (...) {
        // The stream is stopped on this side; a lost stop message changes nothing here.
    }
}

asio::awaitable<void> AuthenticatedClientSession::confirmVerifiedWake(Date date) {
    return keepAlive(shared_from_this(), confirmVerifiedWakeBody(date));
}

asio::awaitable<void> AuthenticatedClientSession::confirmVerifiedWakeBody(Date date) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (closed_) throw closedError();
    SessionControlMessage confirmation = message(Command::confirmVerifiedWake);
    confirmation.timestamp = date;
    co_await send(std::move(confirmation));
}

} // namespace velorinth
