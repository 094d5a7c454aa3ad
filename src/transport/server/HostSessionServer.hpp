#pragma once

#include "core/ControlProtocol.hpp"
#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/TrustedDevice.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"
#include "platform/ListenerAdmission.hpp"
#include "platform/MemoryReleaseScheduler.hpp"
#include "platform/SessionListener.hpp"
#include "transport/discovery/BonjourHostListener.hpp"
#include "transport/discovery/ListenerStatus.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SecurePairingProtocol.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/server/HostHandshake.hpp"
#include "transport/server/HostPeerSession.hpp"
#include "transport/server/HostSessionCallbacks.hpp"
#include "transport/server/PairingApproval.hpp"
#include "transport/server/PeerOutboundScheduler.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
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

// Every bound and clock of the server, so tests can run in milliseconds.
struct HostSessionServerOptions {
    using Duration = std::chrono::steady_clock::duration;
    // Connections between accept and registration at once that make a busy
    // spell, whose end returns the allocator's freed memory: fewer leave at
    // most some 5 MB of TLS engines' memory behind.
    static constexpr std::size_t kBusySpell = 32;
    // Bounds a control message sent with waiting for delivery.
    Duration flushTimeout = std::chrono::seconds(2);
    // Bounds a session's final message before its connection is cut.
    Duration finalCloseTimeout = std::chrono::seconds(2);
    Duration portPollInterval = std::chrono::milliseconds(20);
    // Admission at the host's door on the local network. 32 places for
    // connections between TLS and registration; 768 apart for connections
    // still before TLS, where an idle one costs a socket and no TLS engine,
    // but one that has sent a byte has its TLS engine, about 145 KB (768 of
    // them held 114 MB of heap).
    // One source (an IPv4 address or an IPv6 /64) holds at most 4 of all those
    // places and opens at most 10 connections a second after a burst of 20;
    // over either, a connection is closed before TLS. A full budget evicts
    // instead of refusing: only a handshake that waits for its tablet (never a
    // paired device's, the host's own work or a person's wait), least proven
    // first, and an equal only once its wait is long or its source holds more
    // places than the newcomer's will.
    // - An equal that has shown something waits 250 ms: TLS and the first
    //   message of a tablet 60 ms away take less, so a reopening flood cannot
    //   cycle it out.
    // - One that has sent nothing, 100 ms. A tablet's ClientHello follows its
    //   ACK at once: it comes with the accept, or a round trip later where a
    //   middlebox answered for the tablet; 60 ms is the furthest tablet a host
    //   serves, and 40 ms more covers a loop busy with the very flood. So the
    //   places before TLS take in 7,680 silent connections a second before a
    //   newcomer finds none that has had its grace.
    ListenerAdmission admission{
        .places = {.capacity = HandshakeBudget::kDefaultCapacity,
                   .openingCapacity = 768,
                   .perSourceCapacity = 4,
                   .minimumAge = std::chrono::milliseconds(250),
                   .silentGrace = std::chrono::milliseconds(100),
                   .busySpell = kBusySpell},
        .connectionRate = 10,
        .connectionBurst = 20,
        .evictsWaitingHandshakes = true,
    };
    // The tablet's first message must arrive this long after accept, TLS
    // included; the whole handshake, less the time the host works or the
    // person at the Mac decides, must end within the second (zero: twice the
    // step timeout).
    Duration firstMessageTimeout = std::chrono::seconds(5);
    Duration wholeHandshakeTimeout = Duration::zero();
    Duration acceptRetryDelay = std::chrono::milliseconds(100);
    // How long a tablet that stopped acknowledging keeps its session.
    SessionSocketOptions sessionSocket;
    // Control messages waiting for one tablet, in bytes; a tablet that lets
    // more pile up is disconnected.
    std::size_t controlWatermarkBytes = PeerOutboundScheduler::kDefaultControlWatermarkBytes;
    WallClock clock = [] { return Date::now(); };
    BonjourHostListener::ListenerFactory listenerFactory = SessionListener::create;
    // Freed memory goes back to the system this long after a session ends or
    // a busy spell of connections is over, on the store worker.
    Duration memoryReleaseDelay = MemoryReleaseScheduler::kDefaultDelay;
    MemoryReleaseScheduler::Release releaseFreedMemory = returnFreedMemoryToSystem;
};

// The host's session server: owns the listener, the handshakes in flight,
// the pending pairing prompt and one session per tablet, and reports to the
// host application through its callbacks. The handshakes (HostHandshake),
// the approval (PairingApproval) and the sessions (HostPeerSession) do the
// work; this coordinator keeps the tables, the host state and the fan-out.
//
// An actor on the event loop: built with the loop's executor, owned through
// std::shared_ptr (its coroutines, public ones included, keep it alive while
// they run), and touched only from the loop thread. Every callback runs on the
// loop; state read before a suspension is re-read after it.
class HostSessionServer : public std::enable_shared_from_this<HostSessionServer>, private HostPeerSession::Delegate {
public:
    using Duration = std::chrono::steady_clock::duration;
    using Callbacks = HostSessionCallbacks;
    using Options = HostSessionServerOptions;

    struct OutboundVideoStatistics {
        std::int64_t largestVideoQueue = 0;
        std::uint64_t sentVideoFrames = 0;
        std::uint64_t droppedVideoFrames = 0;
        bool operator==(const OutboundVideoStatistics&) const = default;
    };

    static constexpr std::string_view kStopReason = "Velorinth Host stopped remote access.";
    static constexpr std::string_view kPermissionsRemovedReason = "Required session permissions were removed on the Mac.";
    static constexpr std::string_view kViewWithdrawnReason = HostPeerSession::kViewWithdrawnReason;
    static constexpr std::string_view kTrustRecheckRevokedReason = HostPeerSession::kTrustRecheckRevokedReason;

    // `kdfWorker` runs the pairing code derivation and `storeWorker` the trust
    // store's writes; both must outlive the server.
    HostSessionServer(asio::any_io_executor executor, std::shared_ptr<DeviceIdentityService> identityService,
                      std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                      std::shared_ptr<PairingReplayGuard> replayGuard,
                      std::shared_ptr<PairingAttemptLimiter> attemptLimiter, asio::thread_pool& kdfWorker,
                      asio::thread_pool& storeWorker, Duration handshakeTimeout, Duration approvalTimeout,
                      CapabilitySet hostCapabilities, DevicePermissions requiredPermissions, Options options = {});
    ~HostSessionServer() override;

    HostSessionServer(const HostSessionServer&) = delete;
    HostSessionServer& operator=(const HostSessionServer&) = delete;

    // Replaces every callback at once.
    void setCallbacks(Callbacks callbacks);
    // Oldest session first.
    std::vector<ActiveSessionDescriptor> sessionDescriptors() const;

    // ---- listener and intake ----------------------------------------------
    // Builds and starts the listener unless one is installed; `port` 0 lets the
    // system choose. Throws the identity service's errors or the listener's
    // construction error. It never suspends, so no stop can slip in between
    // the check and the install; the identity must already exist (creating it
    // writes to disk: do that before, off the loop).
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
    // Returns once every tablet has received the report, or its flush bound
    // passed; the tablets are told at the same time.
    asio::awaitable<void> reportSystemSleep(Date time);
    // Hands one encoded frame to every streaming session, shared and never
    // copied: each restamps its generation as its fragments are written.
    void distributeVideoFrame(std::shared_ptr<const EncodedVideoFrame> frame);
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
    // Every tablet is told at the same time, so the whole takes at most one
    // final-close bound.
    asio::awaitable<void> disconnectAll(std::string reason);

    // ---- state, for the host and for tests -------------------------------------
    std::optional<std::uint16_t> currentPort() const { return currentPort_; }
    std::optional<DisplayDescriptor> currentHostDisplay() const { return currentHostDisplay_; }
    bool currentAccessibilityGranted() const { return currentAccessibilityGranted_; }
    std::optional<SavedWakeConfiguration> currentWakeConfiguration() const { return currentWakeConfiguration_; }
    std::optional<Uuid> pendingPairingID() const { return approval_.pendingPairingID(); }
    bool hasListener() const { return listener_ != nullptr; }
    bool isStartingListener() const { return isStartingListener_; }
    // Connections between accept and registration that the server holds.
    std::size_t handshakesInFlight() const { return intakes_.size(); }
    // Places of the handshake budget taken, connections still in TLS included.
    std::size_t handshakePlacesTaken() const { return handshakeBudget_->inUse(); }

    const Duration handshakeTimeout;
    const Duration approvalTimeout;
    const CapabilitySet hostCapabilities;
    const DevicePermissions requiredPermissions;

private:
    using SessionPointer = std::shared_ptr<HostPeerSession>;

    // ---- HostPeerSession::Delegate ----
    Date now() const override { return options_.clock(); }
    const HostSessionCallbacks& callbacks() const override { return *callbacks_; }
    HostPeerSession::HostState hostState() const override;
    void sessionChanged() override;
    void accessibilityLost() override { currentAccessibilityGranted_ = false; }
    asio::awaitable<void> verifiedWakeConfirmed(const Uuid& deviceID, Date wokeAt) override;

    // ---- state and publication (HostSessionServer.cpp) ----
    void publishSessions();
    void publishTrustedDevices();
    std::optional<SavedWakeConfiguration> effectiveWakeConfiguration() const;
    void reportError(std::exception_ptr error);
    void handleListenerStatus(std::uint64_t generation, const ListenerStatus& status);
    // None: the service is published.
    void handlePublication(std::uint64_t generation, const std::optional<ListenerPublicationError>& error);
    asio::awaitable<void> runIntake(std::shared_ptr<HostSessionServer> self, std::shared_ptr<HostHandshake> handshake);
    void retireIntake(HostHandshake& handshake);
    // The new session in the table, replacing the tablet's older one.
    SessionPointer registerSession(const HostHandshake& handshake, HostHandshake::Accepted accepted);
    enum class Retirement { replaced, takenByHost, ended };
    // Once per session when its run ends: retirement if it is still the
    // tablet's session, and the scheduler's close. Nothing is sent.
    void finishSession(const SessionPointer& session);
    // Takes the session out of the table with what `why` owes the host.
    void retire(const SessionPointer& session, Retirement why);
    static asio::awaitable<std::uint16_t> waitForPort(std::shared_ptr<HostSessionServer> self, Duration timeout);
    static asio::awaitable<void> runStop(std::shared_ptr<HostSessionServer> self);

    // ---- host-driven operations (HostSessionServerOperations.cpp) ----
    // Retires the tablet's session as taken by the host; null when it has none.
    SessionPointer takeSession(const Uuid& deviceID);
    // Runs a store write that may withdraw a tablet's access (see the .cpp).
    asio::awaitable<void> writeRemovingAccess(const Uuid& deviceID, std::function<void()> write,
                                              std::optional<std::string> reason);
    static asio::awaitable<void> runReportSystemSleep(std::shared_ptr<HostSessionServer> self, Date time);
    static asio::awaitable<void> runRevoke(std::shared_ptr<HostSessionServer> self, Uuid deviceID);
    static asio::awaitable<void> runUpdatePermissions(std::shared_ptr<HostSessionServer> self, Uuid deviceID,
                                                      DevicePermissions permissions);
    static asio::awaitable<void> runDisconnect(std::shared_ptr<HostSessionServer> self, Uuid deviceID,
                                               SessionControlCommand command, std::string reason);
    static asio::awaitable<void> runDisconnectAll(std::shared_ptr<HostSessionServer> self, std::string reason);

    asio::any_io_executor executor_;
    std::shared_ptr<DeviceIdentityService> identityService_;
    std::shared_ptr<TrustedDeviceStore> trustedDeviceStore_;
    SecurePairingProtocol pairingProtocol_;
    asio::thread_pool& storeWorker_;
    Options options_;
    // Once an ended session's connection is surely gone (its close_notify
    // bound included), and when a busy spell of connections is over.
    std::shared_ptr<MemoryReleaseScheduler> memoryRelease_;
    std::shared_ptr<HandshakeBudget> handshakeBudget_;
    std::shared_ptr<const Callbacks> callbacks_ = std::make_shared<const Callbacks>();
    PairingApproval approval_; // reads callbacks_
    HostHandshake::Dependencies handshakeDependencies_;

    std::unique_ptr<BonjourHostListener> listener_;
    bool isStartingListener_ = false;
    // Statuses of a listener older than the newest one built are dropped, and
    // after stop only its one `stopped` passes.
    std::uint64_t listenerGeneration_ = 0;
    bool listenerStopRequested_ = false;

    std::unordered_map<Uuid, SessionPointer> sessions_;
    bool publicationPending_ = false;
    std::optional<std::uint16_t> currentPort_;
    std::optional<DisplayDescriptor> currentHostDisplay_;
    bool currentAccessibilityGranted_ = true;
    std::optional<SavedWakeConfiguration> currentWakeConfiguration_;

    // Advanced by stop: intakes of an older generation never become sessions.
    std::uint64_t intakeGeneration_ = 0;
    std::uint64_t nextIntakeID_ = 0;
    std::map<std::uint64_t, std::shared_ptr<HostHandshake>> intakes_;
};

} // namespace velorinth
