#include "transport/server/HostSessionServer.hpp"

#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

#include <algorithm>
#include <utility>

namespace velorinth {

namespace {

using Command = SessionControlCommand;

// What a configure request without settings asks for.
VideoStreamConfiguration defaultStreamConfiguration() {
    return VideoStreamConfiguration::clamped(Capability::h264, 1280, 720, 30, 3'500'000, 60, 2'097'152, 32'768);
}

std::string streamFailureText(VideoStreamStopReason reason) {
    switch (reason) {
    case VideoStreamStopReason::screenRecordingPermissionRequired: return "Screen Recording permission required";
    case VideoStreamStopReason::screenViewPermissionRevoked: return "Screen viewing permission is disabled on the Mac.";
    case VideoStreamStopReason::encoderFailed: return "Failed to initialize hardware video encoder on the Mac.";
    default: return "Stream unavailable";
    }
}

constexpr std::string_view kViewPermissionMissingText = "Screen viewing permission is disabled for this iPad on the Mac.";
constexpr std::string_view kH264NotNegotiatedText = "H.264 capability was not negotiated for this session.";

// A JSON library failure below the codec is a decoding failure all the same.
SessionControlMessage decodeControlMessage(ByteView plaintext) {
    try {
        return json::decodeFromBytes<SessionControlMessage>(plaintext);
    } catch (const Json::exception&) {
        throw JSONDecodingError(JSONDecodingError::Case::dataCorrupted, "The control message is not valid.");
    }
}

} // namespace

// Reads the tablet's sealed control messages until it leaves, the trust
// re-check fails, the host cuts the connection or a read or an open fails.
// Every reply goes through the scheduler; nothing is written here.
asio::awaitable<void> HostSessionServer::runReceiveLoop(SessionLink link) {
    std::uint64_t lastInputSequence = 0;
    for (;;) {
        std::optional<SessionControlMessage> message = co_await receiveControlMessage(link);
        if (!message) co_return;

        // Fail closed: an unreadable store, a missing or revoked record, or a
        // lost required permission ends the session before anything is done.
        std::optional<TrustedDevice> record;
        try {
            record = trustedDeviceStore_->device(link.deviceID);
        } catch (const std::exception&) {
            record.reset();
        }
        if (!record || record->authorization == DeviceAuthorization::revoked ||
            DevicePermissions::isMissingRequired(requiredPermissions, record->permissions)) {
            SessionControlMessage revoked = makeMessage(Command::revoked);
            revoked.reason = std::string(kTrustRecheckRevokedReason);
            co_await link.scheduler->sendFinalControlAndClose(std::move(revoked));
            co_return;
        }
        if (!co_await dispatch(link, *message, record->permissions, lastInputSequence)) co_return;
    }
}

// Wire frames are opened whatever their channel, so every one advances the
// expected sequence; video from the tablet is then dropped. Anything else
// must be an `encryptedSession` envelope.
std::optional<SessionControlMessage> HostSessionServer::openSessionFrame(ByteView frame, SessionCipher& cipher,
                                                                         ByteView transcriptHash) {
    if (SessionWireFrameCodec::isWireFrame(frame)) {
        const SessionWireFrameCodec::Frame wire = SessionWireFrameCodec::decode(frame);
        const Bytes plaintext = cipher.open(wire.sequence, wire.body, transcriptHash);
        if (wire.channel == SessionBinaryChannel::videoFragment) return std::nullopt;
        return decodeControlMessage(plaintext);
    }
    const HandshakeEnvelope envelope = decodeHandshakeEnvelopeFrame(frame);
    const EncryptedSessionMessage sealed =
        HandshakeEnvelope::decodeEncryptedMessage(HandshakeMessageKind::encryptedSession, envelope);
    const Bytes plaintext = cipher.open(sealed.sequence, sealed.ciphertext, transcriptHash);
    return decodeControlMessage(plaintext);
}

asio::awaitable<std::optional<SessionControlMessage>> HostSessionServer::receiveControlMessage(SessionLink& link) {
    for (;;) {
        Bytes frame;
        try {
            frame = co_await link.connection->receiveFrame();
        } catch (const NetworkConnectionError& error) {
            // Cancelled here (host disconnect, replacement, stop): an orderly end.
            if (error.kind == NetworkConnectionError::Case::cancelled) co_return std::nullopt;
            throw;
        }
        std::optional<SessionControlMessage> message = openSessionFrame(frame, *link.cipher, link.transcriptHash);
        if (message) co_return message;
    }
}

asio::awaitable<bool> HostSessionServer::dispatch(SessionLink& link, const SessionControlMessage& message,
                                                  DevicePermissions permissions, std::uint64_t& lastInputSequence) {
    switch (message.command) {
    case Command::ping: handlePing(link, message); break;
    case Command::remoteInput: handleRemoteInput(link, message, permissions, lastInputSequence); break;
    case Command::configureVideoStream: co_await handleConfigureVideo(link, message, permissions); break;
    case Command::requestVideoKeyframe: handleKeyframeRequest(link, message, permissions); break;
    case Command::stopVideoStream: handleStopVideo(link, message); break;
    case Command::confirmVerifiedWake: handleVerifiedWake(link, message); break;
    case Command::disconnect:
    case Command::revoked: co_return false;
    case Command::pong:
    case Command::permissionsUpdated:
    case Command::hostStateUpdated:
    case Command::videoStreamStatus: break;
    }
    co_return true;
}

void HostSessionServer::handlePing(SessionLink& link, const SessionControlMessage& message) {
    if (ActivePeerSession* entry = sessionEntry(link.deviceID, link.sessionID)) {
        entry->descriptor.lastHeartbeatAt = now();
        entry->descriptor.heartbeatCount += 1;
        publishSessions();
    }
    SessionControlMessage pong = makeMessage(Command::pong);
    pong.sequence = message.sequence;
    pong.sentMonotonicNs = message.sentMonotonicNs;
    link.scheduler->enqueueControl(std::move(pong));
}

void HostSessionServer::handleRemoteInput(SessionLink& link, const SessionControlMessage& message,
                                          DevicePermissions permissions, std::uint64_t& lastInputSequence) {
    if (!permissions.allowsRemoteControl()) {
        SessionControlMessage reply = makeMessage(Command::permissionsUpdated);
        reply.permissions = permissions;
        link.scheduler->enqueueControl(std::move(reply));
        return;
    }
    auto inaccessible = [&] {
        SessionControlMessage reply = makeMessage(Command::hostStateUpdated);
        reply.hostDisplay = currentHostDisplay_;
        reply.accessibilityGranted = false;
        link.scheduler->enqueueControl(std::move(reply));
    };
    if (!currentAccessibilityGranted_) return inaccessible();
    const ControlMessage::Input* input =
        message.controlMessage ? message.controlMessage->get<ControlMessage::Input>() : nullptr;
    // Duplicates and stale events are dropped; sequences start at 1.
    if (input == nullptr || input->sequence <= lastInputSequence) return;
    lastInputSequence = input->sequence;

    const bool injected =
        callbacks_.onRemoteInput ? callbacks_.onRemoteInput(link.deviceID, link.sessionID, input->event) : true;
    ActivePeerSession* entry = sessionEntry(link.deviceID, link.sessionID);
    if (!injected) {
        currentAccessibilityGranted_ = false;
        if (entry) {
            entry->descriptor.hostAccessibilityGranted = false;
            publishSessions();
        }
        return inaccessible();
    }
    if (entry) {
        entry->descriptor.receivedInputEvents += 1;
        publishSessions();
    }
}

asio::awaitable<void> HostSessionServer::handleConfigureVideo(SessionLink& link, const SessionControlMessage& message,
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
        if (ActivePeerSession* entry = sessionEntry(link.deviceID, link.sessionID)) {
            entry->descriptor.isVideoStreaming = false;
            publishSessions();
        }
        link.scheduler->resetVideo();
        SessionControlMessage refused = status(false);
        refused.streamStopReason = VideoStreamStopReason::screenViewPermissionRevoked;
        refused.reason = std::string(kViewPermissionMissingText);
        link.scheduler->enqueueControl(std::move(refused));
        SessionControlMessage rights = makeMessage(Command::permissionsUpdated);
        rights.permissions = permissions;
        link.scheduler->enqueueControl(std::move(rights));
        co_return;
    }
    const ActivePeerSession* current = sessionEntry(link.deviceID, link.sessionID);
    if (current == nullptr || !current->descriptor.acceptedCapabilities.contains(Capability::h264)) {
        SessionControlMessage refused = status(false);
        refused.streamStopReason = VideoStreamStopReason::unsupportedConfiguration;
        refused.reason = std::string(kH264NotNegotiatedText);
        link.scheduler->enqueueControl(std::move(refused));
        co_return;
    }

    link.scheduler->resetVideo();
    std::optional<VideoStreamStopReason> failure;
    if (auto request = callbacks_.onVideoStreamRequested) {
        try {
            co_await request(link.deviceID, link.sessionID, configuration, generation);
        } catch (const VideoStreamStopError& error) {
            failure = error.reason;
        } catch (const std::exception&) {
            failure = VideoStreamStopReason::hostStopped;
        }
    }

    // The request suspended: the entry may have gone or been replaced.
    ActivePeerSession* entry = sessionEntry(link.deviceID, link.sessionID);
    if (failure) {
        if (entry) {
            entry->descriptor.isVideoStreaming = false;
            publishSessions();
        }
        SessionControlMessage stopped = status(false);
        stopped.streamStopReason = *failure;
        stopped.reason = streamFailureText(*failure);
        link.scheduler->enqueueControl(std::move(stopped));
        co_return;
    }
    if (entry) {
        entry->descriptor.isVideoStreaming = true;
        entry->descriptor.videoGeneration = generation;
        entry->videoConfiguration = configuration;
        publishSessions();
    }
    SessionControlMessage active = status(true);
    active.videoConfiguration = configuration;
    link.scheduler->enqueueControl(std::move(active));
    if (entry) {
        if (callbacks_.onVideoKeyframeRequested) callbacks_.onVideoKeyframeRequested(link.deviceID, link.sessionID, generation);
    } else if (callbacks_.onVideoStreamStopped) {
        // The host started capture for a session that is gone: stop it again.
        callbacks_.onVideoStreamStopped(link.deviceID, link.sessionID);
    }
}

void HostSessionServer::handleKeyframeRequest(SessionLink& link, const SessionControlMessage& message,
                                              DevicePermissions permissions) {
    if (!permissions.allowsScreenView()) return;
    const ActivePeerSession* entry = sessionEntry(link.deviceID, link.sessionID);
    if (entry == nullptr || !entry->descriptor.isVideoStreaming || !callbacks_.onVideoKeyframeRequested) return;
    callbacks_.onVideoKeyframeRequested(link.deviceID, link.sessionID,
                                        message.streamGeneration.value_or(entry->descriptor.videoGeneration));
}

void HostSessionServer::handleStopVideo(SessionLink& link, const SessionControlMessage& message) {
    link.scheduler->resetVideo();
    if (ActivePeerSession* entry = sessionEntry(link.deviceID, link.sessionID)) {
        const bool wasStreaming = entry->descriptor.isVideoStreaming;
        entry->descriptor.isVideoStreaming = false;
        publishSessions();
        if (wasStreaming && callbacks_.onVideoStreamStopped) callbacks_.onVideoStreamStopped(link.deviceID, link.sessionID);
    }
    SessionControlMessage reply = makeMessage(Command::videoStreamStatus);
    reply.streamActive = false;
    reply.streamStopReason = VideoStreamStopReason::clientRequested;
    reply.streamGeneration = message.streamGeneration;
    link.scheduler->enqueueControl(std::move(reply));
}

// The tablet's clock is not trusted to move a wake record into the future:
// a stored wake time never moves back, so a future one would stick.
void HostSessionServer::handleVerifiedWake(SessionLink& link, const SessionControlMessage& message) {
    const Date wokeAt = std::min(message.timestamp, now());
    try {
        trustedDeviceStore_->recordVerifiedWake(link.deviceID, wokeAt);
    } catch (const std::exception&) {
    }
    if (currentWakeConfiguration_) currentWakeConfiguration_->lastVerifiedWakeAt = wokeAt;
    publishTrustedDevices();
    if (callbacks_.onVerifiedWakeConfirmed) callbacks_.onVerifiedWakeConfirmed(link.deviceID, wokeAt);
}

} // namespace velorinth
