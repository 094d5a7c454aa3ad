#include "transport/server/HostSessionServer.hpp"

#include "core/LoopAssert.hpp"
#include "core/WorkerCall.hpp"
#include "core/LoopSignal.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/co_spawn.hpp>

#include <algorithm>
#include <utility>
#include <vector>

namespace velorinth {

namespace {

using Command = SessionControlCommand;

// Runs every task at once and returns when all have ended; their failures are
// theirs to report.
asio::awaitable<void> awaitAll(asio::any_io_executor executor, std::vector<asio::awaitable<void>> tasks) {
    auto remaining = std::make_shared<std::size_t>(tasks.size());
    auto ended = std::make_shared<LoopSignal>(executor);
    for (auto& task : tasks) {
        asio::co_spawn(executor, std::move(task), [remaining, ended](std::exception_ptr) {
            if (--*remaining == 0) ended->notifyAll();
        });
    }
    while (*remaining != 0) co_await ended->wait();
}

} // namespace

void HostSessionServer::updateHostState(std::optional<DisplayDescriptor> display, bool accessibilityGranted,
                                        std::optional<SavedWakeConfiguration> wakeConfiguration) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    currentHostDisplay_ = display;
    currentAccessibilityGranted_ = accessibilityGranted;
    // Without a new configuration the previous one stays.
    if (wakeConfiguration) {
        if (!wakeConfiguration->bonjourServicePort && currentPort_) wakeConfiguration->bonjourServicePort = currentPort_;
        currentWakeConfiguration_ = std::move(wakeConfiguration);
    }
    const HostPeerSession::HostState state = hostState();
    for (const auto& [deviceID, session] : sessions_) session->applyHostState(state);
    if (!sessions_.empty()) sessionChanged();
}

void HostSessionServer::updateWakeConfiguration(SavedWakeConfiguration wakeConfiguration) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    updateHostState(currentHostDisplay_, currentAccessibilityGranted_, std::move(wakeConfiguration));
}

asio::awaitable<void> HostSessionServer::reportSystemSleep(Date time) {
    return runReportSystemSleep(shared_from_this(), time);
}

asio::awaitable<void> HostSessionServer::runReportSystemSleep(std::shared_ptr<HostSessionServer> self, Date time) {
    VELORINTH_ASSERT_ON_LOOP(self->executor_);
    if (self->currentWakeConfiguration_) {
        self->currentWakeConfiguration_->lastKnownPowerState = PowerStateEvidence::systemSleepReportedBeforeDisconnect;
        self->currentWakeConfiguration_->updatedAt = time;
    }
    const HostPeerSession::HostState state = self->hostState();
    std::vector<asio::awaitable<void>> reports;
    for (const auto& [deviceID, session] : self->sessions_) reports.push_back(session->reportSystemSleep(time, state));
    co_await awaitAll(self->executor_, std::move(reports));
    if (!self->sessions_.empty()) self->sessionChanged();
}

void HostSessionServer::distributeVideoFrame(std::shared_ptr<const EncodedVideoFrame> frame) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    bool changed = false;
    for (const auto& [deviceID, session] : sessions_) changed = session->distributeVideoFrame(frame) || changed;
    if (changed) sessionChanged();
}

// Permissions and capabilities are not looked at, and the host is not told
// of stopped streams: it stopped them.
void HostSessionServer::stopAllVideoStreams(VideoStreamStopReason reason, std::string detail) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    bool stopped = false;
    for (const auto& [deviceID, session] : sessions_) stopped = session->stopVideoStream(reason, detail) || stopped;
    if (stopped) sessionChanged();
}

HostSessionServer::OutboundVideoStatistics HostSessionServer::outboundVideoStatistics() const {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    OutboundVideoStatistics statistics;
    for (const auto& [deviceID, session] : sessions_) {
        const PeerOutboundScheduler::VideoStatistics video = session->scheduler()->videoStatistics();
        statistics.largestVideoQueue = std::max(statistics.largestVideoQueue, video.queuedVideoFrames);
        statistics.sentVideoFrames += video.sentVideoFramesCount;
        statistics.droppedVideoFrames += video.droppedVideoFramesCount;
    }
    return statistics;
}

bool HostSessionServer::hasStreamingViewer() const {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    return std::any_of(sessions_.begin(), sessions_.end(), [](const auto& item) {
        const ActiveSessionDescriptor& descriptor = item.second->descriptor();
        return descriptor.isVideoStreaming && descriptor.grantedPermissions.allowsScreenView();
    });
}

void HostSessionServer::resolvePendingPairing(bool approved, const Uuid& pairingID) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    approval_.resolve(approved, pairingID);
}

HostSessionServer::SessionPointer HostSessionServer::takeSession(const Uuid& deviceID) {
    auto found = sessions_.find(deviceID);
    if (found == sessions_.end()) return nullptr;
    SessionPointer session = found->second;
    retire(session, Retirement::takenByHost);
    return session;
}

asio::awaitable<void> HostSessionServer::revokeDevice(Uuid deviceID) { return runRevoke(shared_from_this(), deviceID); }

// The store's write runs on its worker while the tablet's messages go on, so
// the session learns the words it would be closed with before the change can
// reach its trust re-check; a failed write withdraws them.
asio::awaitable<void> HostSessionServer::writeRemovingAccess(const Uuid& deviceID, std::function<void()> write,
                                                             std::optional<std::string> reason) {
    SessionPointer session;
    if (auto found = sessions_.find(deviceID); found != sessions_.end() && reason) session = found->second;
    if (session) session->setRemovalReason(reason);
    try {
        co_await callOnWorker(storeWorker_, std::move(write));
    } catch (...) {
        if (session) session->setRemovalReason(std::nullopt);
        throw;
    }
}

// The store revokes in memory before it writes, so the tablet is refused from
// the moment the write starts, even if it then fails.
asio::awaitable<void> HostSessionServer::runRevoke(std::shared_ptr<HostSessionServer> self, Uuid deviceID) {
    VELORINTH_ASSERT_ON_LOOP(self->executor_);
    const std::string reason(handshakeRejectionText(HandshakeRejectionCode::revokedDevice));
    std::function<void()> revoke = [store = self->trustedDeviceStore_, deviceID] { store->revoke(deviceID); };
    co_await self->writeRemovingAccess(deviceID, std::move(revoke), reason);
    co_await runDisconnect(self, deviceID, Command::revoked, reason);
    self->publishTrustedDevices();
}

asio::awaitable<void> HostSessionServer::updateDevicePermissions(Uuid deviceID, DevicePermissions permissions) {
    return runUpdatePermissions(shared_from_this(), deviceID, permissions);
}

asio::awaitable<void> HostSessionServer::runUpdatePermissions(std::shared_ptr<HostSessionServer> self, Uuid deviceID,
                                                              DevicePermissions permissions) {
    VELORINTH_ASSERT_ON_LOOP(self->executor_);
    std::function<void()> update = [store = self->trustedDeviceStore_, deviceID, permissions] {
        store->updatePermissions(deviceID, permissions);
    };
    const bool removesAccess = DevicePermissions::isMissingRequired(self->requiredPermissions, permissions);
    std::optional<std::string> reason;
    if (removesAccess) reason = std::string(kPermissionsRemovedReason);
    co_await self->writeRemovingAccess(deviceID, std::move(update), std::move(reason));
    if (removesAccess) {
        co_await runDisconnect(self, deviceID, Command::revoked, std::string(kPermissionsRemovedReason));
    } else if (auto found = self->sessions_.find(deviceID); found != self->sessions_.end()) {
        const SessionPointer session = found->second;
        co_await session->applyPermissions(permissions);
        self->sessionChanged();
    }
    self->publishTrustedDevices();
}

asio::awaitable<void> HostSessionServer::disconnectSession(Uuid deviceID, std::string reason) {
    return runDisconnect(shared_from_this(), deviceID, Command::disconnect, std::move(reason));
}

// Take the session, tell the host, send the closing message.
asio::awaitable<void> HostSessionServer::runDisconnect(std::shared_ptr<HostSessionServer> self, Uuid deviceID,
                                                       SessionControlCommand command, std::string reason) {
    VELORINTH_ASSERT_ON_LOOP(self->executor_);
    const SessionPointer session = self->takeSession(deviceID);
    if (!session) co_return;
    co_await session->sendClosingMessage(command, std::move(reason));
    self->sessionChanged();
}

asio::awaitable<void> HostSessionServer::disconnectAll(std::string reason) {
    return runDisconnectAll(shared_from_this(), std::move(reason));
}

// The table is emptied at once; every tablet then gets its message at the
// same time, each bounded by the final-close bound.
asio::awaitable<void> HostSessionServer::runDisconnectAll(std::shared_ptr<HostSessionServer> self, std::string reason) {
    VELORINTH_ASSERT_ON_LOOP(self->executor_);
    std::vector<SessionPointer> taken;
    while (!self->sessions_.empty()) taken.push_back(self->takeSession(self->sessions_.begin()->first));
    std::vector<asio::awaitable<void>> closings;
    for (const SessionPointer& session : taken) closings.push_back(session->sendClosingMessage(Command::disconnect, reason));
    co_await awaitAll(self->executor_, std::move(closings));
    self->sessionChanged();
}

} // namespace velorinth
