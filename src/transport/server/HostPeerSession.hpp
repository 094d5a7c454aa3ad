#pragma once

#include "core/Bytes.hpp"
#include "core/ControlProtocol.hpp"
#include "core/Date.hpp"
#include "core/TrustedDevice.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/server/HostSessionCallbacks.hpp"
#include "transport/server/PeerOutboundScheduler.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velorinth {

class TrustedDeviceStore;

// One authenticated tablet on the host: its descriptor, connection, cipher,
// transcript, outbound scheduler and stream settings; the receive loop with
// the trust re-check before every message, and the handlers of what the
// tablet asks. Reports to the server through its Delegate.
//
// Lives on the event loop, owned through std::shared_ptr by the server's
// table and by the task running it; touched only from the loop thread.
class HostPeerSession : public std::enable_shared_from_this<HostPeerSession> {
public:
    using Duration = std::chrono::steady_clock::duration;

    // What the host currently tells its tablets.
    struct HostState {
        std::optional<DisplayDescriptor> display;
        bool accessibilityGranted = true;
        std::optional<SavedWakeConfiguration> wakeConfiguration; // with the advertised port filled in
    };

    // What a session needs of its server, which outlives every run.
    class Delegate {
    public:
        virtual Date now() const = 0;
        virtual const HostSessionCallbacks& callbacks() const = 0;
        virtual HostState hostState() const = 0;
        // A descriptor changed: the list is published once this loop turn.
        virtual void sessionChanged() = 0;
        // An injection failed for lack of the Accessibility permission.
        virtual void accessibilityLost() = 0;
        // Records the wake a tablet verified; returns once it is stored.
        virtual asio::awaitable<void> verifiedWakeConfirmed(const Uuid& deviceID, Date wokeAt) = 0;

        virtual ~Delegate() = default;
    };

    struct Settings {
        Duration handshakeTimeout = std::chrono::seconds(15); // bounds the server-ready message
        Duration flushTimeout = PeerOutboundScheduler::kDefaultFlushTimeout;
        Duration finalCloseTimeout = PeerOutboundScheduler::kDefaultFinalCloseTimeout;
        std::size_t controlWatermarkBytes = PeerOutboundScheduler::kDefaultControlWatermarkBytes;
        DevicePermissions requiredPermissions;
    };

    static constexpr std::string_view kTrustRecheckRevokedReason = "Access revoked on Mac.";
    static constexpr std::string_view kViewWithdrawnReason = "Screen viewing permission was disabled on the Mac.";

    HostPeerSession(asio::any_io_executor executor, Delegate& delegate,
                    std::shared_ptr<TrustedDeviceStore> trustedDeviceStore, Settings settings,
                    ActiveSessionDescriptor descriptor, std::shared_ptr<NetworkFramedConnection> connection,
                    std::shared_ptr<SessionCipher> cipher, Bytes transcriptHash);

    HostPeerSession(const HostPeerSession&) = delete;
    HostPeerSession& operator=(const HostPeerSession&) = delete;

    // Public coroutines hold the object from the call until they end
    // (keepAlive): an asio::awaitable starts lazily, after the caller may have
    // dropped its pointer.
    // Sends the server-ready message (sealed as 1), then lets the scheduler
    // drain, and reads the tablet's messages until it leaves, the trust
    // re-check fails, the host cuts the connection or a read or an open fails.
    asio::awaitable<void> run();

    // ---- what the host does to this session --------------------------------
    void applyHostState(const HostState& state);
    // The sleep report, written or given up at the flush bound.
    asio::awaitable<void> reportSystemSleep(Date time, HostState state);
    // True when the sent or dropped counters moved. The frame is shared with
    // every viewer; a stalled one holds its two queued frames by reference.
    bool distributeVideoFrame(const std::shared_ptr<const EncodedVideoFrame>& frame);
    // True when a stream was running and is now stopped; the host is not told.
    bool stopVideoStream(VideoStreamStopReason reason, const std::string& detail);
    // New permissions that keep the session: what they withdraw stops, the
    // tablet is told and the message flushed.
    asio::awaitable<void> applyPermissions(DevicePermissions permissions);
    // Sends what control waits, then the closing message, then cuts the
    // connection; a tablet that stopped reading holds it back for at most the
    // final-close bound.
    asio::awaitable<void> sendClosingMessage(SessionControlCommand command, std::string reason);
    // Called when the server takes the session out of its table (replaced,
    // closed by the host, ended): what the tablet asks from then on changes
    // nothing on the host.
    void detach() { attached_ = false; }
    // The host is withdrawing this tablet's access and will close the session
    // with `reason` once the store has written it; a trust re-check that sees
    // the change first ends the session with the same words. None withdraws it.
    void setRemovalReason(std::optional<std::string> reason) { removalReason_ = std::move(reason); }
    bool isAttached() const { return attached_; }

    const ActiveSessionDescriptor& descriptor() const { return descriptor_; }
    const Uuid& deviceID() const { return descriptor_.peerIdentity.id; }
    const Uuid& sessionID() const { return descriptor_.id; }
    const std::shared_ptr<PeerOutboundScheduler>& scheduler() const { return scheduler_; }
    const std::shared_ptr<NetworkFramedConnection>& connection() const { return connection_; }

private:
    asio::awaitable<void> runBody();
    asio::awaitable<void> reportSystemSleepBody(Date time, HostState state);
    asio::awaitable<void> applyPermissionsBody(DevicePermissions permissions);
    asio::awaitable<void> sendClosingMessageBody(SessionControlCommand command, std::string reason);
    SessionControlMessage makeMessage(SessionControlCommand command) const;
    SessionControlMessage hostStateMessage(const HostState& state) const;
    asio::awaitable<void> sendServerReady();
    // The next control message, or none when the connection was cancelled here.
    asio::awaitable<std::optional<SessionControlMessage>> receiveControlMessage();
    // False once the session must end.
    asio::awaitable<bool> dispatch(const SessionControlMessage& message, DevicePermissions permissions);
    void handlePing(const SessionControlMessage& message);
    void handleRemoteInput(const SessionControlMessage& message, DevicePermissions permissions);
    asio::awaitable<void> handleConfigureVideo(const SessionControlMessage& message, DevicePermissions permissions);
    void handleKeyframeRequest(const SessionControlMessage& message, DevicePermissions permissions);
    void handleStopVideo(const SessionControlMessage& message);
    asio::awaitable<void> handleVerifiedWake(const SessionControlMessage& message);
    void setStreaming(bool streaming);
    void keyframeRecoveryNeeded();
    void requestKeyframeIfStreaming();

    asio::any_io_executor executor_;
    Delegate& delegate_;
    std::shared_ptr<TrustedDeviceStore> trustedDeviceStore_;
    Settings settings_;
    ActiveSessionDescriptor descriptor_;
    std::shared_ptr<NetworkFramedConnection> connection_;
    std::shared_ptr<SessionCipher> cipher_;
    Bytes transcriptHash_;
    std::shared_ptr<PeerOutboundScheduler> scheduler_;
    std::optional<VideoStreamConfiguration> videoConfiguration_;
    std::uint64_t lastInputSequence_ = 0; // sequences start at 1
    bool attached_ = true;
    std::optional<std::string> removalReason_;
};

} // namespace velorinth
