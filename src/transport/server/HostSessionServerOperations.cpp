#include "transport/server/HostSessionServer.hpp"

#include "transport/security/TrustedDeviceStore.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace velorinth {

namespace {

using Command = SessionControlCommand;
constexpr std::int64_t kDefaultChunkBytes = 32'768;

} // namespace

void HostSessionServer::updateHostState(std::optional<DisplayDescriptor> display, bool accessibilityGranted,
                                        std::optional<SavedWakeConfiguration> wakeConfiguration) {
    currentHostDisplay_ = display;
    currentAccessibilityGranted_ = accessibilityGranted;
    // Without a new configuration the previous one stays.
    if (wakeConfiguration) {
        if (!wakeConfiguration->bonjourServicePort && currentPort_) wakeConfiguration->bonjourServicePort = currentPort_;
        currentWakeConfiguration_ = std::move(wakeConfiguration);
    }
    const std::optional<SavedWakeConfiguration> effective = effectiveWakeConfiguration();
    for (auto& [deviceID, entry] : activeSessions_) {
        entry.descriptor.remoteDisplay = display;
        entry.descriptor.hostAccessibilityGranted = accessibilityGranted;
        entry.descriptor.wakeConfiguration = effective;
        entry.scheduler->enqueueControl(hostStateMessage());
    }
    if (!activeSessions_.empty()) publishSessions();
}

void HostSessionServer::updateWakeConfiguration(SavedWakeConfiguration wakeConfiguration) {
    updateHostState(currentHostDisplay_, currentAccessibilityGranted_, std::move(wakeConfiguration));
}

asio::awaitable<void> HostSessionServer::reportSystemSleep(Date time) {
    if (currentWakeConfiguration_) {
        currentWakeConfiguration_->lastKnownPowerState = PowerStateEvidence::systemSleepReportedBeforeDisconnect;
        currentWakeConfiguration_->updatedAt = time;
    }
    const std::optional<SavedWakeConfiguration> effective = effectiveWakeConfiguration();
    std::vector<std::pair<Uuid, Uuid>> sessions;
    for (const auto& [deviceID, entry] : activeSessions_) sessions.emplace_back(deviceID, entry.descriptor.id);

    // One tablet after the other, each up to its flush bound.
    for (const auto& [deviceID, sessionID] : sessions) {
        ActivePeerSession* entry = sessionEntry(deviceID, sessionID);
        if (entry == nullptr) continue;
        entry->descriptor.hostPowerState = PowerStateEvidence::systemSleepReportedBeforeDisconnect;
        entry->descriptor.wakeConfiguration = effective;
        SessionControlMessage report = makeMessage(Command::hostStateUpdated);
        report.timestamp = time;
        report.hostDisplay = currentHostDisplay_;
        report.accessibilityGranted = currentAccessibilityGranted_;
        report.wakeConfiguration = effective;
        report.powerStateEvidence = PowerStateEvidence::systemSleepReportedBeforeDisconnect;
        const std::shared_ptr<PeerOutboundScheduler> scheduler = entry->scheduler;
        co_await scheduler->enqueueControlAndFlush(std::move(report));
    }
    if (!activeSessions_.empty()) publishSessions();
}

// Once per encoded frame: cheap, never waits for a send, copies a frame only
// to restamp its generation and publishes only when a counter moved.
void HostSessionServer::distributeVideoFrame(const EncodedVideoFrame& frame) {
    bool changed = false;
    for (auto& [deviceID, entry] : activeSessions_) {
        ActiveSessionDescriptor& descriptor = entry.descriptor;
        if (!descriptor.isVideoStreaming || !descriptor.grantedPermissions.allowsScreenView() ||
            !descriptor.acceptedCapabilities.contains(Capability::h264)) {
            continue;
        }
        const std::int64_t chunk =
            entry.videoConfiguration ? entry.videoConfiguration->maxFragmentPayloadBytes : kDefaultChunkBytes;
        PeerOutboundScheduler::VideoEnqueueResult result;
        if (descriptor.videoGeneration != 0 && descriptor.videoGeneration != frame.generation) {
            EncodedVideoFrame restamped = frame;
            restamped.generation = descriptor.videoGeneration;
            result = entry.scheduler->enqueueVideo(restamped, chunk);
        } else {
            result = entry.scheduler->enqueueVideo(frame, chunk);
        }
        if (result.sentVideoFramesCount != descriptor.sentVideoFrames ||
            result.droppedVideoFramesCount != descriptor.droppedVideoFrames) {
            descriptor.sentVideoFrames = result.sentVideoFramesCount;
            descriptor.droppedVideoFrames = result.droppedVideoFramesCount;
            changed = true;
        }
    }
    if (changed) publishSessions();
}

// Permissions and capabilities are not looked at, and the host is not told
// of stopped streams: it stopped them.
void HostSessionServer::stopAllVideoStreams(VideoStreamStopReason reason, std::string detail) {
    bool stopped = false;
    for (auto& [deviceID, entry] : activeSessions_) {
        if (!entry.descriptor.isVideoStreaming) continue;
        entry.descriptor.isVideoStreaming = false;
        entry.scheduler->resetVideo();
        SessionControlMessage status = makeMessage(Command::videoStreamStatus);
        status.reason = detail;
        status.streamGeneration = entry.descriptor.videoGeneration;
        status.streamStopReason = reason;
        status.streamActive = false;
        entry.scheduler->enqueueControl(std::move(status));
        stopped = true;
    }
    if (stopped) publishSessions();
}

HostSessionServer::OutboundVideoStatistics HostSessionServer::outboundVideoStatistics() const {
    OutboundVideoStatistics statistics;
    for (const auto& [deviceID, entry] : activeSessions_) {
        const PeerOutboundScheduler::VideoStatistics video = entry.scheduler->videoStatistics();
        statistics.largestVideoQueue = std::max(statistics.largestVideoQueue, video.queuedVideoFrames);
        statistics.sentVideoFrames += video.sentVideoFramesCount;
        statistics.droppedVideoFrames += video.droppedVideoFramesCount;
    }
    return statistics;
}

bool HostSessionServer::hasStreamingViewer() const {
    return std::any_of(activeSessions_.begin(), activeSessions_.end(), [](const auto& item) {
        return item.second.descriptor.isVideoStreaming && item.second.descriptor.grantedPermissions.allowsScreenView();
    });
}

void HostSessionServer::resolvePendingPairing(bool approved, const Uuid& pairingID) {
    if (pendingPairingID_ && *pendingPairingID_ != pairingID) return; // another tablet's prompt stays
    if (pendingPairingID_) {
        if (pendingApprovalGate_) {
            pendingApprovalGate_->resolve(approved ? ApprovalGate::Result::approved : ApprovalGate::Result::rejected);
        }
        pendingApprovalGate_.reset();
        pendingPairingID_.reset();
        pendingIntake_.reset();
    }
    if (callbacks_.onPromptChanged) callbacks_.onPromptChanged(std::nullopt);
}

asio::awaitable<void> HostSessionServer::revokeDevice(Uuid deviceID) {
    trustedDeviceStore_->revoke(deviceID);
    if (auto found = activeSessions_.find(deviceID); found != activeSessions_.end()) {
        ActivePeerSession entry = std::move(found->second);
        activeSessions_.erase(found);
        if (entry.descriptor.isVideoStreaming && callbacks_.onVideoStreamStopped) {
            callbacks_.onVideoStreamStopped(deviceID, entry.descriptor.id);
        }
        co_await sendClosingMessage(std::move(entry), Command::revoked, std::string(handshakeRejectionText(HandshakeRejectionCode::revokedDevice)));
        publishSessions();
    }
    publishTrustedDevices();
}

asio::awaitable<void> HostSessionServer::updateDevicePermissions(Uuid deviceID, DevicePermissions permissions) {
    trustedDeviceStore_->updatePermissions(deviceID, permissions);
    auto found = activeSessions_.find(deviceID);
    if (DevicePermissions::isMissingRequired(requiredPermissions, permissions)) {
        if (found != activeSessions_.end()) {
            ActivePeerSession entry = std::move(found->second);
            activeSessions_.erase(found);
            if (entry.descriptor.isVideoStreaming && callbacks_.onVideoStreamStopped) {
                callbacks_.onVideoStreamStopped(deviceID, entry.descriptor.id);
            }
            co_await sendClosingMessage(std::move(entry), Command::revoked, std::string(kPermissionsRemovedReason));
            publishSessions();
        }
    } else if (found != activeSessions_.end()) {
        ActiveSessionDescriptor& descriptor = found->second.descriptor;
        const DevicePermissions old = descriptor.grantedPermissions;
        const bool wasStreaming = descriptor.isVideoStreaming;
        const Uuid sessionID = descriptor.id;
        const std::uint64_t generation = descriptor.videoGeneration;
        const std::shared_ptr<PeerOutboundScheduler> scheduler = found->second.scheduler;
        descriptor.grantedPermissions = permissions;
        if (!permissions.allowsScreenView()) descriptor.isVideoStreaming = false;

        if (old.allowsRemoteControl() && !permissions.allowsRemoteControl() &&
            callbacks_.onSessionClosedForInputCleanup) {
            callbacks_.onSessionClosedForInputCleanup(deviceID, sessionID);
        }
        if (old.allowsScreenView() && !permissions.allowsScreenView()) {
            scheduler->resetVideo();
            if (wasStreaming) {
                SessionControlMessage withdrawn = makeMessage(Command::videoStreamStatus);
                withdrawn.reason = std::string(kViewWithdrawnReason);
                withdrawn.streamGeneration = generation;
                withdrawn.streamStopReason = VideoStreamStopReason::screenViewPermissionRevoked;
                withdrawn.streamActive = false;
                scheduler->enqueueControl(std::move(withdrawn));
                if (callbacks_.onVideoStreamStopped) callbacks_.onVideoStreamStopped(deviceID, sessionID);
            }
        }
        SessionControlMessage rights = makeMessage(Command::permissionsUpdated);
        rights.permissions = permissions;
        co_await scheduler->enqueueControlAndFlush(std::move(rights));
        publishSessions();
    }
    publishTrustedDevices();
}

asio::awaitable<void> HostSessionServer::disconnectSession(Uuid deviceID, std::string reason) {
    auto found = activeSessions_.find(deviceID);
    if (found == activeSessions_.end()) co_return;
    ActivePeerSession entry = std::move(found->second);
    activeSessions_.erase(found);
    if (entry.descriptor.isVideoStreaming && callbacks_.onVideoStreamStopped) {
        callbacks_.onVideoStreamStopped(deviceID, entry.descriptor.id);
    }
    co_await sendClosingMessage(std::move(entry), Command::disconnect, std::move(reason));
    publishSessions();
}

// The table is emptied at once; each tablet then gets its message in turn,
// each bounded by the final-close bound.
asio::awaitable<void> HostSessionServer::disconnectAll(std::string reason) {
    std::vector<std::pair<Uuid, ActivePeerSession>> taken;
    for (auto& [deviceID, entry] : activeSessions_) taken.emplace_back(deviceID, std::move(entry));
    activeSessions_.clear();
    for (auto& [deviceID, entry] : taken) {
        if (entry.descriptor.isVideoStreaming && callbacks_.onVideoStreamStopped) {
            callbacks_.onVideoStreamStopped(deviceID, entry.descriptor.id);
        }
        co_await sendClosingMessage(std::move(entry), Command::disconnect, reason);
    }
    publishSessions();
}

} // namespace velorinth
