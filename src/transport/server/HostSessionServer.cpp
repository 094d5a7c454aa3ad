#include "transport/server/HostSessionServer.hpp"

#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingReplayGuard.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/post.hpp>

#include <algorithm>
#include <utility>

namespace velorinth {

HostSessionServer::HostSessionServer(asio::any_io_executor executor,
                                     std::shared_ptr<DeviceIdentityService> identityService,
                                     std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                                     std::shared_ptr<PairingReplayGuard> replayGuard,
                                     std::shared_ptr<PairingAttemptLimiter> attemptLimiter,
                                     asio::thread_pool& kdfWorker, Duration handshakeTimeout,
                                     Duration approvalTimeout, CapabilitySet hostCapabilities,
                                     DevicePermissions requiredPermissions, Options options)
    : handshakeTimeout(handshakeTimeout), approvalTimeout(approvalTimeout),
      hostCapabilities(std::move(hostCapabilities)), requiredPermissions(requiredPermissions),
      executor_(std::move(executor)), identityService_(std::move(identityService)),
      trustedDeviceStore_(std::move(trustedDeviceStore)), replayGuard_(std::move(replayGuard)),
      attemptLimiter_(std::move(attemptLimiter)), pairingProtocol_(kdfWorker), options_(std::move(options)),
      handshakeBudget_(std::make_shared<HandshakeBudget>(options_.handshakeCapacity)) {
    if (!options_.clock) options_.clock = [] { return Date::now(); };
    if (!options_.listenerFactory) options_.listenerFactory = SessionListener::create;
}

// Releasing the server sends nothing and resolves nothing; orderly ends go
// through stop and the disconnect operations.
HostSessionServer::~HostSessionServer() = default;

void HostSessionServer::setCallbacks(Callbacks callbacks) { callbacks_ = std::move(callbacks); }

std::vector<ActiveSessionDescriptor> HostSessionServer::sessionDescriptors() const {
    std::vector<ActiveSessionDescriptor> descriptors;
    descriptors.reserve(activeSessions_.size());
    for (const auto& [deviceID, entry] : activeSessions_) descriptors.push_back(entry.descriptor);
    std::stable_sort(descriptors.begin(), descriptors.end(),
                     [](const auto& a, const auto& b) { return a.connectedAt < b.connectedAt; });
    return descriptors;
}

HostSessionServer::ActivePeerSession* HostSessionServer::sessionEntry(const Uuid& deviceID, const Uuid& sessionID) {
    const auto found = activeSessions_.find(deviceID);
    if (found == activeSessions_.end() || found->second.descriptor.id != sessionID) return nullptr;
    return &found->second;
}

void HostSessionServer::publishSessions() {
    if (callbacks_.onSessionsChanged) callbacks_.onSessionsChanged(sessionDescriptors());
}

// A store that cannot be read publishes nothing; the caller carries on.
void HostSessionServer::publishTrustedDevices() {
    std::vector<TrustedDevice> records;
    try {
        records = trustedDeviceStore_->allDevices();
    } catch (const std::exception&) {
        return;
    }
    if (callbacks_.onTrustedDevicesChanged) callbacks_.onTrustedDevicesChanged(records);
}

std::optional<SavedWakeConfiguration> HostSessionServer::effectiveWakeConfiguration() const {
    if (!currentWakeConfiguration_) return std::nullopt;
    SavedWakeConfiguration effective = *currentWakeConfiguration_;
    if (!effective.bonjourServicePort && currentPort_) effective.bonjourServicePort = currentPort_;
    return effective;
}

SessionControlMessage HostSessionServer::makeMessage(SessionControlCommand command) const {
    SessionControlMessage message;
    message.command = command;
    message.sequence = 0;
    message.timestamp = now();
    return message;
}

SessionControlMessage HostSessionServer::hostStateMessage() const {
    SessionControlMessage message = makeMessage(SessionControlCommand::hostStateUpdated);
    message.hostDisplay = currentHostDisplay_;
    message.accessibilityGranted = currentAccessibilityGranted_;
    message.wakeConfiguration = effectiveWakeConfiguration();
    if (message.wakeConfiguration) message.powerStateEvidence = message.wakeConfiguration->lastKnownPowerState;
    return message;
}

void HostSessionServer::reportError(std::exception_ptr error) {
    if (callbacks_.onError) callbacks_.onError(std::move(error));
}

// The recovery hook reaches the server weakly and always through a new task,
// so a scheduler never keeps the server alive nor re-enters itself.
std::shared_ptr<PeerOutboundScheduler> HostSessionServer::makeScheduler(
    const Uuid& deviceID, const Uuid& sessionID, const std::shared_ptr<NetworkFramedConnection>& connection,
    const std::shared_ptr<SessionCipher>& cipher, const Bytes& transcriptHash) {
    std::weak_ptr<HostSessionServer> weak = weak_from_this();
    auto request = callbacks_.onVideoKeyframeRequested;
    auto recover = [weak, executor = executor_, deviceID, sessionID, request] {
        asio::post(executor, [weak, deviceID, sessionID, request] {
            if (auto self = weak.lock()) self->requestKeyframeIfStreaming(deviceID, sessionID, request);
        });
    };
    return std::make_shared<PeerOutboundScheduler>(executor_, connection, cipher, transcriptHash, std::move(recover),
                                                   options_.flushTimeout, options_.finalCloseTimeout);
}

} // namespace velorinth
