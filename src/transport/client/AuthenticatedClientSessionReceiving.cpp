// The session's two loops and how it applies what the host sends.

#include "transport/client/AuthenticatedClientSession.hpp"

#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/SessionFrameOpening.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <utility>

namespace velorinth {

namespace {

using Command = SessionControlCommand;

} // namespace

asio::awaitable<void> AuthenticatedClientSession::runHeartbeatLoop(std::shared_ptr<asio::steady_timer> timer,
                                                                   std::chrono::steady_clock::duration interval) {
    for (;;) {
        if (closed_) co_return;
        try {
            co_await sendPing();
        } catch (...) {
            if (!closed_) close(kHeartbeatFailedText);
            co_return;
        }
        if (closed_) co_return;
        asio::error_code error;
        try {
            timer->expires_after(interval);
            co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, error));
        } catch (...) {
            error = asio::error::operation_aborted;
        }
        if (closed_) co_return; // close() wakes the sleep
        if (error) {
            close(kHeartbeatFailedText);
            co_return;
        }
    }
}

asio::awaitable<void> AuthenticatedClientSession::runReceiveLoop() {
    for (;;) {
        if (closed_) co_return;
        try {
            Bytes frame = co_await connection_->receiveFrame();
            if (closed_) co_return;
            OpenedSessionFrame opened = openSessionFrame(frame, *cipher_, transcriptHash_);
            if (auto* fragment = std::get_if<SessionVideoFragment>(&opened)) {
                co_await handleVideoFragment(std::move(fragment->plaintext));
                continue;
            }
            ControlOutcome outcome = handleControlMessage(std::get<SessionControlMessage>(opened));
            // A failed reply ends the session like any other error.
            if (outcome.reply) co_await send(std::move(*outcome.reply));
            if (!outcome.keepReceiving) co_return;
        } catch (...) {
            // One bad frame ends the session: nothing is skipped and retried.
            if (!closed_) close(kConnectionInterruptedText);
            co_return;
        }
    }
}

AuthenticatedClientSession::ControlOutcome
AuthenticatedClientSession::handleControlMessage(const SessionControlMessage& message) {
    switch (message.command) {
    case Command::ping: {
        ControlOutcome outcome;
        outcome.reply = this->message(Command::pong, message.sequence);
        outcome.reply->sentMonotonicNs = message.sentMonotonicNs;
        return outcome;
    }
    case Command::pong: {
        descriptor_.lastHeartbeatAt = clocks_.now();
        descriptor_.heartbeatCount += 1;
        const std::uint64_t now = clocks_.monotonicUptimeNs();
        // A pong stamped in the future (or not at all) counts but measures nothing.
        if (message.sentMonotonicNs && now >= *message.sentMonotonicNs) {
            descriptor_.latestRTTMilliseconds = static_cast<double>(now - *message.sentMonotonicNs) / 1'000'000.0;
        }
        report();
        return {};
    }
    case Command::permissionsUpdated:
        if (!message.permissions) return {};
        descriptor_.grantedPermissions = *message.permissions;
        if (!message.permissions->allowsScreenView()) {
            descriptor_.isVideoStreaming = false;
            reassembler_.reset();
        }
        report();
        return {};
    case Command::hostStateUpdated:
        applyHostState(message);
        report();
        return {};
    case Command::videoStreamStatus: {
        const bool active = message.streamActive.value_or(false);
        descriptor_.isVideoStreaming = active;
        if (message.streamGeneration) descriptor_.videoGeneration = *message.streamGeneration;
        if (!active) reassembler_.reset();
        report();
        if (auto handler = onVideoStreamStatus_) {
            handler(VideoStreamStatusUpdate{active, message.videoConfiguration, message.streamGeneration,
                                            message.streamStopReason, message.reason});
        }
        return {};
    }
    case Command::disconnect:
        close(SessionTerminationReason::remoteDisconnect(
            message.reason.value_or(std::string(kRemoteDisconnectDefaultText))));
        return {false, std::nullopt};
    case Command::revoked:
        close(SessionTerminationReason::revoked(message.reason.value_or(std::string(kRevokedDefaultText))));
        return {false, std::nullopt};
    case Command::remoteInput:
    case Command::configureVideoStream:
    case Command::requestVideoKeyframe:
    case Command::stopVideoStream:
    case Command::confirmVerifiedWake: return {}; // tablet-to-host commands mean nothing here
    }
    return {};
}

void AuthenticatedClientSession::applyHostState(const SessionControlMessage& message) {
    const Uuid& host = descriptor_.peerIdentity.id;
    if (message.hostDisplay) descriptor_.remoteDisplay = message.hostDisplay;
    if (message.accessibilityGranted) descriptor_.hostAccessibilityGranted = *message.accessibilityGranted;
    // The records are a convenience for waking the host later: a failed write
    // must not cost the session.
    if (message.wakeConfiguration) {
        descriptor_.wakeConfiguration = message.wakeConfiguration;
        if (trustedDeviceStore_) {
            try {
                trustedDeviceStore_->updateWakeConfiguration(host, *message.wakeConfiguration);
            } catch (const std::exception&) {
            }
        }
    }
    if (message.powerStateEvidence) {
        descriptor_.hostPowerState = message.powerStateEvidence;
        if (trustedDeviceStore_) {
            try {
                trustedDeviceStore_->updatePowerState(host, *message.powerStateEvidence, message.timestamp);
            } catch (const std::exception&) {
            }
        }
    }
}

asio::awaitable<void> AuthenticatedClientSession::handleVideoFragment(Bytes plaintext) {
    if (!descriptor_.grantedPermissions.allowsScreenView()) {
        reassembler_.reset();
        co_return;
    }
    const std::uint64_t expiredBefore = reassembler_.expiredFramesCount();
    std::optional<EncodedVideoFrame> frame;
    bool refused = false;
    try {
        frame = reassembler_.ingest(plaintext, clocks_.continuousNow());
    } catch (const VideoProtocolError& error) {
        using Case = VideoProtocolError::Case;
        // A repeat or a leftover of an older stream loses nothing.
        if (error.kind == Case::duplicateFragment || error.kind == Case::staleGeneration) co_return;
        refused = true;
    }
    if (refused) {
        co_await requestAutomaticKeyframe();
        co_return;
    }
    if (frame) {
        descriptor_.sentVideoFrames += 1; // on this side: frames received
        if (auto handler = onVideoFrameReceived_) handler(*frame);
    }
    if (reassembler_.expiredFramesCount() > expiredBefore) co_await requestAutomaticKeyframe();
}

asio::awaitable<void> AuthenticatedClientSession::requestAutomaticKeyframe() {
    const std::uint64_t now = clocks_.monotonicUptimeNs();
    if (lastAutoKeyframeRequestNs_ &&
        (now < *lastAutoKeyframeRequestNs_ || now - *lastAutoKeyframeRequestNs_ < kAutoKeyframeIntervalNs)) {
        co_return;
    }
    lastAutoKeyframeRequestNs_ = now;
    try {
        co_await requestVideoKeyframe(descriptor_.videoGeneration);
    } catch (...) {
        // Best effort: the next loss asks again.
    }
}

void AuthenticatedClientSession::report() {
    if (auto handler = onDescriptorUpdate_) handler(descriptor_);
}

} // namespace velorinth
