#pragma once

#include "core/Bytes.hpp"
#include "core/ControlProtocol.hpp"
#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/InputEvent.hpp"
#include "core/TrustedDevice.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"
#include "platform/SessionListener.hpp"
#include "transport/discovery/BonjourHostListener.hpp"
#include "transport/discovery/ListenerStatus.hpp"
#include "transport/security/HandshakeMessages.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/PairingVerification.hpp"
#include "transport/security/SecurePairingProtocol.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/server/ApprovalGate.hpp"
#include "transport/server/AsyncTimeout.hpp"
#include "transport/server/PeerOutboundScheduler.hpp"
#include "transport/server/SessionValueTypes.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velorinth {

class DeviceIdentityService;
class PairingAttemptLimiter;
class PairingReplayGuard;
class TrustedDeviceStore;

// How a pairing prompt was answered.
enum class ApprovalOutcome { approved, rejected, timedOut, connectionClosed };

// Every bound and clock of the server, so tests can run in milliseconds.
struct HostSessionServerOptions {
    using Duration = std::chrono::steady_clock::duration;
    // Bounds a control message sent with waiting for delivery.
    Duration flushTimeout = std::chrono::seconds(2);
    // Bounds a session's final message before its connection is cut.
    Duration finalCloseTimeout = std::chrono::seconds(2);
    Duration portPollInterval = std::chrono::milliseconds(20);
    // Connections between accept and registration, TLS included; more are
    // closed before TLS.
    std::size_t handshakeCapacity = HandshakeBudget::kDefaultCapacity;
    Duration acceptRetryDelay = std::chrono::milliseconds(100);
    WallClock clock = [] { return Date::now(); };
    BonjourHostListener::ListenerFactory listenerFactory = SessionListener::create;
};

// The host's session server: owns the listener, the pending pairing prompt and
// one authenticated session per tablet with its outbound scheduler, and
// reports to the host application through twelve optional callbacks.
//
// An actor on the event loop: built with the loop's executor, owned through
// std::shared_ptr (its coroutines keep it alive while they run), and touched
// only from the loop thread. Every callback runs on the loop; state read
// before a suspension is re-read after it.
class HostSessionServer : public std::enable_shared_from_this<HostSessionServer> {
public:
    using Duration = std::chrono::steady_clock::duration;

    // Each callback may be empty. Where a callback takes two identifiers, the
    // first is the tablet's device identifier and the second the session's.
    struct Callbacks {
        std::function<void(const ListenerStatus&)> onListenerStatus;
        std::function<void(const std::vector<ActiveSessionDescriptor>&)> onSessionsChanged;
        std::function<void(const std::vector<TrustedDevice>&)> onTrustedDevicesChanged;
        std::function<void(const std::optional<IncomingPairingPrompt>&)> onPromptChanged;
        // A connection that failed before or during its handshake or session,
        // and trouble publishing the listener.
        std::function<void(std::exception_ptr)> onError;
        // Replaces the on-screen prompt when set: true approves. It is raced
        // against the approval timeout and cancelled when it loses.
        std::function<asio::awaitable<bool>(IncomingPairingPrompt)> customApprovalHandler;
        // Runs inline; false means the event could not be injected for lack
        // of the Accessibility permission.
        std::function<bool(const Uuid&, const Uuid&, const InputEvent&)> onRemoteInput;
        std::function<void(const Uuid&, const Uuid&)> onSessionClosedForInputCleanup;
        // Completes when the stream runs; fails with VideoStreamStopError.
        std::function<asio::awaitable<void>(Uuid, Uuid, VideoStreamConfiguration, std::uint64_t)>
            onVideoStreamRequested;
        std::function<void(const Uuid&, const Uuid&, std::uint64_t)> onVideoKeyframeRequested;
        std::function<void(const Uuid&, const Uuid&)> onVideoStreamStopped;
        std::function<void(const Uuid&, Date)> onVerifiedWakeConfirmed;
    };

    using Options = HostSessionServerOptions;

    // The server's record of one running session.
    struct ActivePeerSession {
        ActiveSessionDescriptor descriptor;
        std::shared_ptr<NetworkFramedConnection> connection;
        std::shared_ptr<SessionCipher> cipher;
        Bytes transcriptHash;
        std::shared_ptr<PeerOutboundScheduler> scheduler;
        std::optional<VideoStreamConfiguration> videoConfiguration;
    };

    struct OutboundVideoStatistics {
        std::int64_t largestVideoQueue = 0;
        std::uint64_t sentVideoFrames = 0;
        std::uint64_t droppedVideoFrames = 0;
        bool operator==(const OutboundVideoStatistics&) const = default;
    };

    static constexpr std::string_view kStopReason = "Velorinth Host stopped remote access.";
    static constexpr std::string_view kPermissionsRemovedReason = "Required session permissions were removed on the Mac.";
    static constexpr std::string_view kViewWithdrawnReason = "Screen viewing permission was disabled on the Mac.";
    static constexpr std::string_view kTrustRecheckRevokedReason = "Access revoked on Mac.";

    // `kdfWorker` runs the pairing code derivation and must outlive the server.
    HostSessionServer(asio::any_io_executor executor, std::shared_ptr<DeviceIdentityService> identityService,
                      std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                      std::shared_ptr<PairingReplayGuard> replayGuard,
                      std::shared_ptr<PairingAttemptLimiter> attemptLimiter, asio::thread_pool& kdfWorker,
                      Duration handshakeTimeout, Duration approvalTimeout, CapabilitySet hostCapabilities,
                      DevicePermissions requiredPermissions, Options options = {});
    ~HostSessionServer();

    HostSessionServer(const HostSessionServer&) = delete;
    HostSessionServer& operator=(const HostSessionServer&) = delete;

    // Replaces all twelve callbacks at once.
    void setCallbacks(Callbacks callbacks);
    // Oldest session first.
    std::vector<ActiveSessionDescriptor> sessionDescriptors() const;

    // ---- listener and intake ----------------------------------------------
    // Builds and starts the listener unless one is installed; `port` 0 lets the
    // system choose. Throws the identity service's errors or the listener's
    // construction error. Getting the identity never suspends, so no stop can
    // slip in between the check and the install.
    void startListening(std::uint16_t port, bool publishesService);
    // The advertised port; PairingProtocolError(timedOut) at the deadline,
    // CancellationError when the awaiting task is cancelled.
    asio::awaitable<std::uint16_t> waitForListeningPort(Duration timeout);
    // Closes the listener, answers a pending prompt with a rejection, ends
    // every handshake in flight and disconnects every session.
    asio::awaitable<void> stop();
    // Takes one connection whose TLS handshake the listener completed, with
    // its place in the handshake budget, and runs it to a session or an error.
    void acceptConnection(std::shared_ptr<NetworkFramedConnection> connection, HandshakeSlot slot);

    // ---- host-driven operations ---------------------------------------------
    void updateHostState(std::optional<DisplayDescriptor> display, bool accessibilityGranted,
                         std::optional<SavedWakeConfiguration> wakeConfiguration);
    void updateWakeConfiguration(SavedWakeConfiguration wakeConfiguration);
    // Returns once every tablet has received the report, or its flush bound passed.
    asio::awaitable<void> reportSystemSleep(Date time);
    void distributeVideoFrame(const EncodedVideoFrame& frame);
    void stopAllVideoStreams(VideoStreamStopReason reason, std::string detail);
    OutboundVideoStatistics outboundVideoStatistics() const;
    bool hasStreamingViewer() const;
    // Answers the prompt of `pairingID` only: a click meant for one prompt can
    // never approve another tablet. With no prompt pending it only withdraws
    // the shown prompt.
    void resolvePendingPairing(bool approved, const Uuid& pairingID);
    // Both throw the trust store's error before touching any session.
    asio::awaitable<void> revokeDevice(Uuid deviceID);
    asio::awaitable<void> updateDevicePermissions(Uuid deviceID, DevicePermissions permissions);
    asio::awaitable<void> disconnectSession(Uuid deviceID, std::string reason);
    asio::awaitable<void> disconnectAll(std::string reason);

    // The control message in one frame received on a session: a sealed wire
    // frame (a video fragment, opened and dropped, gives none) or an
    // `encryptedSession` envelope. Throws the codec's, the envelope's, the
    // cipher's or the JSON decoder's error; never anything else.
    static std::optional<SessionControlMessage> openSessionFrame(ByteView frame, SessionCipher& cipher,
                                                                 ByteView transcriptHash);

    // ---- state, for the host and for tests -------------------------------------
    std::optional<std::uint16_t> currentPort() const { return currentPort_; }
    std::optional<DisplayDescriptor> currentHostDisplay() const { return currentHostDisplay_; }
    bool currentAccessibilityGranted() const { return currentAccessibilityGranted_; }
    std::optional<SavedWakeConfiguration> currentWakeConfiguration() const { return currentWakeConfiguration_; }
    std::optional<Uuid> pendingPairingID() const { return pendingPairingID_; }
    bool hasListener() const { return listener_ != nullptr; }
    bool isStartingListener() const { return isStartingListener_; }
    // Connections between accept and registration that the server holds.
    std::size_t handshakesInFlight() const { return intakes_.size(); }

    const Duration handshakeTimeout;
    const Duration approvalTimeout;
    const CapabilitySet hostCapabilities;
    const DevicePermissions requiredPermissions;

private:
    // One accepted connection until it becomes a session or ends.
    struct Intake {
        std::uint64_t id = 0;
        std::uint64_t generation = 0; // the intake generation it was accepted in
        std::shared_ptr<NetworkFramedConnection> connection;
        HandshakeSlot slot;
        bool closedByStop = false; // its end is no error worth reporting
    };

    // What one handshake knows once its cipher exists.
    struct HandshakeState {
        std::shared_ptr<Intake> intake;
        PairingRequest request;
        PairingVerification verification;
        std::shared_ptr<SessionCipher> cipher;
        ServerHello serverHello;
    };

    struct SessionLink {
        Uuid deviceID;
        Uuid sessionID;
        std::shared_ptr<NetworkFramedConnection> connection;
        std::shared_ptr<SessionCipher> cipher;
        Bytes transcriptHash;
        std::shared_ptr<PeerOutboundScheduler> scheduler;
    };

    // ---- state and publication (HostSessionServer.cpp) ----
    Date now() const { return options_.clock(); }
    ActivePeerSession* sessionEntry(const Uuid& deviceID, const Uuid& sessionID);
    void publishSessions();
    void publishTrustedDevices();
    std::optional<SavedWakeConfiguration> effectiveWakeConfiguration() const;
    SessionControlMessage makeMessage(SessionControlCommand command) const;
    SessionControlMessage hostStateMessage() const;
    void reportError(std::exception_ptr error);
    std::shared_ptr<PeerOutboundScheduler> makeScheduler(const Uuid& deviceID, const Uuid& sessionID,
                                                         const std::shared_ptr<NetworkFramedConnection>& connection,
                                                         const std::shared_ptr<SessionCipher>& cipher,
                                                         const Bytes& transcriptHash);
    template <class T>
    asio::awaitable<T> timed(asio::awaitable<T> operation);

    // ---- intake (HostSessionServerIntake.cpp) ----
    void handleListenerStatus(std::uint64_t generation, const ListenerStatus& status);
    asio::awaitable<void> runIntake(std::shared_ptr<HostSessionServer> self, std::shared_ptr<Intake> intake);
    void retireIntake(Intake& intake);

    // ---- pairing (HostPairingHandshake.cpp) ----
    asio::awaitable<void> performHandshake(std::shared_ptr<Intake> intake);
    // False when the pairing ended with a rejection, the tablet told.
    asio::awaitable<bool> decidePairing(HandshakeState& state);
    asio::awaitable<void> sendDecision(HandshakeState& state, PairingDecision decision);
    asio::awaitable<void> sendDecisionQuietly(HandshakeState& state, PairingDecision decision);

    // ---- activation (HostSessionActivation.cpp) ----
    asio::awaitable<void> authorizeReconnection(HandshakeState& state);
    asio::awaitable<void> activateSession(HandshakeState state);
    asio::awaitable<CapabilitySet> receiveClientReady(HandshakeState& state);
    void writeTrustRecord(const HandshakeState& state);
    void finishPeerSession(const Uuid& deviceID, const Uuid& sessionID,
                           const std::shared_ptr<PeerOutboundScheduler>& scheduler);

    // ---- approval wait (PairingApprovalWait.cpp) ----
    asio::awaitable<ApprovalOutcome> awaitPairingApproval(const PairingVerification& verification,
                                                          std::shared_ptr<Intake> intake);
    asio::awaitable<ApprovalOutcome> awaitCustomApproval(IncomingPairingPrompt prompt);
    asio::awaitable<ApprovalOutcome> awaitPromptApproval(IncomingPairingPrompt prompt, std::shared_ptr<Intake> intake);

    // ---- receive loop (HostSessionReceiveLoop.cpp) ----
    asio::awaitable<void> runReceiveLoop(SessionLink link);
    // The next control message, or none when the connection was cancelled here.
    asio::awaitable<std::optional<SessionControlMessage>> receiveControlMessage(SessionLink& link);
    // False once the session must end.
    asio::awaitable<bool> dispatch(SessionLink& link, const SessionControlMessage& message,
                                   DevicePermissions permissions, std::uint64_t& lastInputSequence);
    void handlePing(SessionLink& link, const SessionControlMessage& message);
    void handleRemoteInput(SessionLink& link, const SessionControlMessage& message, DevicePermissions permissions,
                           std::uint64_t& lastInputSequence);
    asio::awaitable<void> handleConfigureVideo(SessionLink& link, const SessionControlMessage& message,
                                               DevicePermissions permissions);
    void handleKeyframeRequest(SessionLink& link, const SessionControlMessage& message, DevicePermissions permissions);
    void handleStopVideo(SessionLink& link, const SessionControlMessage& message);
    void handleVerifiedWake(SessionLink& link, const SessionControlMessage& message);

    // ---- termination (SessionTermination.cpp) ----
    asio::awaitable<void> sendHandshakeError(NetworkFramedConnection& connection, HandshakeRejectionCode code,
                                             std::string message);
    // The error envelope of `code` with its own text; a failed send is ignored.
    asio::awaitable<void> sendHandshakeErrorQuietly(NetworkFramedConnection& connection,
                                                    HandshakeRejectionCode code);
    asio::awaitable<void> sendClosingMessage(ActivePeerSession entry, SessionControlCommand command,
                                             std::string reason);
    void requestKeyframeIfStreaming(const Uuid& deviceID, const Uuid& sessionID,
                                    const std::function<void(const Uuid&, const Uuid&, std::uint64_t)>& request);

    asio::any_io_executor executor_;
    std::shared_ptr<DeviceIdentityService> identityService_;
    std::shared_ptr<TrustedDeviceStore> trustedDeviceStore_;
    std::shared_ptr<PairingReplayGuard> replayGuard_;
    std::shared_ptr<PairingAttemptLimiter> attemptLimiter_;
    SecurePairingProtocol pairingProtocol_;
    Options options_;
    std::shared_ptr<HandshakeBudget> handshakeBudget_;

    std::unique_ptr<BonjourHostListener> listener_;
    bool isStartingListener_ = false;
    // Statuses of a listener older than the newest one built are dropped, and
    // after stop only its one `stopped` passes.
    std::uint64_t listenerGeneration_ = 0;
    bool listenerStopRequested_ = false;

    std::unordered_map<Uuid, ActivePeerSession> activeSessions_;
    std::optional<Uuid> pendingPairingID_;
    std::shared_ptr<ApprovalGate> pendingApprovalGate_;
    std::weak_ptr<Intake> pendingIntake_; // the connection behind the pending prompt
    std::optional<std::uint16_t> currentPort_;
    std::optional<DisplayDescriptor> currentHostDisplay_;
    bool currentAccessibilityGranted_ = true;
    std::optional<SavedWakeConfiguration> currentWakeConfiguration_;
    Callbacks callbacks_;

    // Advanced by stop: intakes of an older generation never become sessions.
    std::uint64_t intakeGeneration_ = 0;
    std::uint64_t nextIntakeID_ = 0;
    std::map<std::uint64_t, std::shared_ptr<Intake>> intakes_;
};

// Every handshake receive and send runs under the handshake timeout.
template <class T>
asio::awaitable<T> HostSessionServer::timed(asio::awaitable<T> operation) {
    return AsyncTimeout::withTimeout(handshakeTimeout, std::move(operation));
}

} // namespace velorinth
