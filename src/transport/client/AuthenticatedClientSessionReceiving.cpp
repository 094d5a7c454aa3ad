// The session's two loops and how it applies what the host sends.

#include "transport/client/AuthenticatedClientSession.hpp"

#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/SessionFrameOpening.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <utility>

namespace velorinth {

namespace {

using Command = SessionControlCommand;

} // namespace

asio::awaitable<void> AuthenticatedClientSession::heartbeatTask(std::weak_ptr<AuthenticatedClientSession> weak,
                                                                std::shared_ptr<SessionWriter> writer,
                                                                std::shared_ptr<asio::steady_timer> timer,
                                                                std::chrono::steady_clock::duration interval) {
    for (;;) {
        std::uint64_t ticket = 0;
        {
            const auto self = weak.lock();
            if (!self || self->closed_) co_return;
            try {
                ticket = self->enqueue(self->pingMessage(), SendMode::checked);
            } catch (...) {
                self->close(kHeartbeatFailedText);
                co_return;
            }
        }
        const bool written = co_await writer->waitForWritten(ticket);
        {
            const auto self = weak.lock();
            if (!self || self->closed_) co_return;
            if (!written) {
                self->close(kHeartbeatFailedText);
                co_return;
            }
        }
        asio::error_code error;
        try {
            timer->expires_after(interval);
            co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, error));
        } catch (...) {
            error = asio::error::operation_aborted;
        }
        const auto self = weak.lock();
        if (!self || self->closed_) co_return; // close() and the destructor wake the sleep
        if (error) {
            self->close(kHeartbeatFailedText);
            co_return;
        }
    }
}

asio::awaitable<void> AuthenticatedClientSession::receiveTask(std::weak_ptr<AuthenticatedClientSession> weak,
                                                              std::shared_ptr<NetworkFramedConnection> connection,
                                                              std::shared_ptr<SessionWriter> writer) {
    for (;;) {
        std::uint64_t replyTicket = 0;
        try {
            const Bytes frame = co_await connection->receiveFrame();
            const auto self = weak.lock();
            if (!self || self->closed_) co_return;
            const ReceiveOutcome outcome = self->receive(frame);
            if (!outcome.keepReceiving) co_return;
            replyTicket = outcome.replyTicket;
        } catch (...) {
            // One bad frame ends the session: nothing is skipped and retried.
            const auto self = weak.lock();
            if (self && !self->closed_) self->close(kConnectionInterruptedText);
            co_return;
        }
        if (replyTicket == 0) continue;
        // A failed reply ends the session like any other error.
        const bool written = co_await writer->waitForWritten(replyTicket);
        if (!written) {
            const auto self = weak.lock();
            if (self && !self->closed_) self->close(kConnectionInterruptedText);
            co_return;
        }
    }
}

AuthenticatedClientSession::ReceiveOutcome AuthenticatedClientSession::receive(ByteView frame) {
    OpenedSessionFrame opened = openSessionFrame(frame, *cipher_, transcriptHash_);
    if (auto* fragment = std::get_if<SessionVideoFragment>(&opened)) {
        handleVideoFragment(std::move(fragment->plaintext));
        return {};
    }
    const ControlOutcome outcome = handleControlMessage(std::get<SessionControlMessage>(opened));
    if (!outcome.keepReceiving) return {false, 0};
    if (outcome.reply) return {true, enqueue(*outcome.reply, SendMode::checked)};
    return {};
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
    if (message.hostDisplay) descriptor_.remoteDisplay = message.hostDisplay;
    if (message.accessibilityGranted) descriptor_.hostAccessibilityGranted = *message.accessibilityGranted;
    bool changed = false;
    if (message.wakeConfiguration) {
        changed = descriptor_.wakeConfiguration != message.wakeConfiguration;
        descriptor_.wakeConfiguration = message.wakeConfiguration;
    }
    if (message.powerStateEvidence) {
        changed = changed || descriptor_.hostPowerState != message.powerStateEvidence;
        descriptor_.hostPowerState = message.powerStateEvidence;
    }
    if (!trustedDeviceStore_ || !changed) return;
    // The records are a convenience for waking the host later: they are saved
    // on the store worker, so this loop never waits for the disk, and a failed
    // write is dropped rather than cost the session. The job holds the store,
    // never the session; the one worker thread keeps the writes in order.
    auto record = [store = trustedDeviceStore_, host = descriptor_.peerIdentity.id, wake = message.wakeConfiguration,
                   power = message.powerStateEvidence, date = message.timestamp] {
        try {
            if (wake) store->updateWakeConfiguration(host, *wake);
        } catch (...) {
        }
        try {
            if (power) store->updatePowerState(host, *power, date);
        } catch (...) {
        }
    };
    asio::post(storeWorker_, std::move(record));
}

void AuthenticatedClientSession::handleVideoFragment(Bytes plaintext) {
    if (!descriptor_.grantedPermissions.allowsScreenView()) {
        reassembler_.reset();
        return;
    }
    const std::uint64_t expiredBefore = reassembler_.expiredFramesCount();
    using Outcome = VideoFrameReassembler::FragmentOutcome;
    VideoFrameReassembler::IngestResult ingested = Outcome::buffered;
    try {
        ingested = reassembler_.ingest(std::move(plaintext), clocks_.continuousNow());
    } catch (const VideoProtocolError&) {
        requestAutomaticKeyframe();
        return;
    }
    // A repeat or a leftover of an older stream loses nothing.
    if (const Outcome* outcome = std::get_if<Outcome>(&ingested); outcome && *outcome != Outcome::buffered) return;
    if (EncodedVideoFrame* frame = std::get_if<EncodedVideoFrame>(&ingested)) {
        descriptor_.sentVideoFrames += 1; // on this side: frames received
        if (auto handler = onVideoFrameReceived_) handler(std::move(*frame));
    }
    if (reassembler_.expiredFramesCount() > expiredBefore) requestAutomaticKeyframe();
}

// Queued, not awaited: best effort, and the next loss asks again.
void AuthenticatedClientSession::requestAutomaticKeyframe() {
    const std::uint64_t now = clocks_.monotonicUptimeNs();
    if (lastAutoKeyframeRequestNs_ &&
        (now < *lastAutoKeyframeRequestNs_ || now - *lastAutoKeyframeRequestNs_ < kAutoKeyframeIntervalNs)) {
        return;
    }
    lastAutoKeyframeRequestNs_ = now;
    try {
        enqueue(keyframeRequest(descriptor_.videoGeneration), SendMode::checked);
    } catch (...) {
    }
}

void AuthenticatedClientSession::report() {
    if (auto handler = onDescriptorUpdate_) handler(descriptor_);
}

} // namespace velorinth
