#pragma once

#include "core/Bytes.hpp"
#include "core/Date.hpp"
#include "core/InputEvent.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/session/SessionValueTypes.hpp"
#include "transport/session/SessionWriter.hpp"
#include "transport/video/VideoFrameReassembler.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velorinth {

class NetworkFramedConnection;
class SessionCipher;
class TrustedDeviceStore;

// The clocks of a tablet-side session: wall time for what is sent and
// recorded; monotonic uptime (ns) for heartbeat round trips and keyframe
// request pacing; the continuous clock for the age of incomplete video frames.
struct ClientSessionClocks {
    // steady_clock is CLOCK_MONOTONIC on Linux: it stops while the system sleeps.
    static std::uint64_t defaultMonotonicUptimeNs();

    WallClock now = &Date::now;
    std::function<std::uint64_t()> monotonicUptimeNs = &defaultMonotonicUptimeNs;
    VideoFrameReassembler::Clock continuousNow = &std::chrono::steady_clock::now;
};

// The tablet's end of an authenticated session with a host: it keeps the
// tablet's view of the session, sends heartbeats, input and stream requests,
// applies what the host sends, joins video fragments into frames, and ends
// exactly once, telling its owner why.
//
// Lives on the event loop and is owned through std::shared_ptr; every member
// is loop-thread only except `id`. start() spawns a receive and a heartbeat
// coroutine; they do not keep the session alive: dropping the last pointer
// without disconnect() cancels the connection, ends both and tells nobody.
// A state read before a suspension is re-checked after it: the session may
// have closed meanwhile.
// The handlers are called inline on the loop and must not throw.
class AuthenticatedClientSession : public std::enable_shared_from_this<AuthenticatedClientSession> {
public:
    using DescriptorHandler = std::function<void(const ActiveSessionDescriptor&)>;
    using TerminationHandler = std::function<void(const SessionTerminationReason&)>;
    // Handed the frame to keep: the session is done with it.
    using VideoFrameHandler = std::function<void(EncodedVideoFrame)>;
    using VideoStreamStatusHandler = std::function<void(const VideoStreamStatusUpdate&)>;

    struct Handlers {
        DescriptorHandler onDescriptorUpdate;
        TerminationHandler onTerminated;
        VideoFrameHandler onVideoFrameReceived;
        VideoStreamStatusHandler onVideoStreamStatus;
    };

    using Clocks = ClientSessionClocks;

    struct Diagnostics {
        std::optional<double> latestRTTMilliseconds;
        std::uint64_t expiredFramesCount = 0;
        std::int64_t totalBufferedBytes = 0;
        bool operator==(const Diagnostics&) const = default;
    };

    static constexpr std::string_view kHeartbeatFailedText = "The authenticated session heartbeat failed.";
    static constexpr std::string_view kConnectionInterruptedText =
        "The authenticated session connection was interrupted.";
    static constexpr std::string_view kRemoteDisconnectDefaultText = "The Mac closed the session.";
    static constexpr std::string_view kRevokedDefaultText = "Access for this iPad was revoked on the Mac.";
    // Automatic keyframe requests are at most this often.
    static constexpr std::uint64_t kAutoKeyframeIntervalNs = 250'000'000;
    // How long disconnect waits to hand its final message to the connection.
    static constexpr std::chrono::seconds kDefaultFinalMessageLimit{2};

    // Takes over `connection` and `cipher` (the initiator's, after the ready
    // messages). Sends nothing until start(). `trustedDeviceStore` may be null:
    // host wake data is then kept in the descriptor only. Its writes run in
    // order on `storeWorker` (one thread), which must outlive the session.
    AuthenticatedClientSession(asio::any_io_executor executor, ActiveSessionDescriptor descriptor,
                               std::shared_ptr<NetworkFramedConnection> connection,
                               std::shared_ptr<SessionCipher> cipher, Bytes transcriptHash,
                               std::shared_ptr<TrustedDeviceStore> trustedDeviceStore, asio::thread_pool& storeWorker,
                               Handlers handlers, Clocks clocks = {},
                               std::chrono::steady_clock::duration finalMessageLimit = kDefaultFinalMessageLimit);
    AuthenticatedClientSession(const AuthenticatedClientSession&) = delete;
    AuthenticatedClientSession& operator=(const AuthenticatedClientSession&) = delete;
    ~AuthenticatedClientSession();

    const Uuid id;

    ActiveSessionDescriptor currentDescriptor() const { return descriptor_; }
    // Replaces both video handlers; an empty one clears its handler.
    void setVideoHandlers(VideoFrameHandler onVideoFrameReceived, VideoStreamStatusHandler onVideoStreamStatus);
    Diagnostics diagnostics() const;
    bool isClosed() const noexcept { return closed_; }

    // Spawns the receive loop, then the heartbeat loop, whose first ping
    // leaves at once and then one `heartbeatInterval` after the last one was
    // written. Does nothing while a receive loop exists.
    void start(std::chrono::steady_clock::duration heartbeatInterval);

    // Each public coroutine holds the session from the call until it ends
    // (keepAlive), not from its body's first line: an asio::awaitable starts
    // lazily, and a caller may spawn disconnect() and drop its pointer.
    //
    // Each sending operation checks its preconditions, then queues its message
    // behind every message already queued and waits until it is written: the
    // session's one writer seals each right before its write, so frames leave
    // in cipher order. A caller cancelled while waiting gets CancellationError;
    // its message stays queued.
    //
    // NetworkConnectionError(closed) on a closed session, or the send's error.
    asio::awaitable<void> sendPing();
    // RemoteInputTransportError, or the send's error. Sequences start at 1 and
    // a number is used up even when its send fails.
    asio::awaitable<void> sendInput(InputEvent event);
    // VideoStreamTransportError, or the send's error. The generation is kept
    // even when the send fails.
    asio::awaitable<void> configureVideoStream(VideoStreamConfiguration configuration, std::uint64_t generation);
    // VideoStreamTransportError, or the send's error.
    asio::awaitable<void> requestVideoKeyframe(std::uint64_t generation);
    // Stops showing the stream at once; never throws. Without a generation,
    // the descriptor's is sent.
    asio::awaitable<void> stopVideoStream(std::optional<std::uint64_t> generation = std::nullopt);
    // NetworkConnectionError(closed) on a closed session, or the send's error.
    asio::awaitable<void> confirmVerifiedWake(Date date);
    // Closes the session, sending a disconnect message first when it can be
    // handed over within the final-message limit (waiting behind other sends
    // included). Whatever happens, the connection is then cancelled and
    // onTerminated receives localDisconnect. Never throws; a second call, or a
    // call after the session ended, does nothing.
    asio::awaitable<void> disconnect(std::string reason);

private:
    enum class SendMode { checked, final };

    asio::awaitable<void> sendPingBody();
    asio::awaitable<void> sendInputBody(InputEvent event);
    asio::awaitable<void> configureVideoStreamBody(VideoStreamConfiguration configuration, std::uint64_t generation);
    asio::awaitable<void> requestVideoKeyframeBody(std::uint64_t generation);
    asio::awaitable<void> stopVideoStreamBody(std::optional<std::uint64_t> generation);
    asio::awaitable<void> confirmVerifiedWakeBody(Date date);
    asio::awaitable<void> disconnectBody(std::string reason);

    // Both tasks hold the session weakly, and strongly only between their
    // suspensions, so that dropping the session ends them.
    static asio::awaitable<void> receiveTask(std::weak_ptr<AuthenticatedClientSession> weak,
                                             std::shared_ptr<NetworkFramedConnection> connection,
                                             std::shared_ptr<SessionWriter> writer);
    static asio::awaitable<void> heartbeatTask(std::weak_ptr<AuthenticatedClientSession> weak,
                                               std::shared_ptr<SessionWriter> writer,
                                               std::shared_ptr<asio::steady_timer> timer,
                                               std::chrono::steady_clock::duration interval);

    SessionControlMessage message(SessionControlCommand command, std::uint64_t sequence = 0) const;
    SessionControlMessage pingMessage() const;
    // VideoStreamTransportError for a request the session may not send.
    SessionControlMessage keyframeRequest(std::uint64_t generation) const;
    // Checks `message` and queues it; returns its ticket.
    std::uint64_t enqueue(const SessionControlMessage& message, SendMode mode);
    // Returns once the ticket's message is written; else the write's error,
    // CancellationError for a cancelled caller, or NetworkConnectionError(closed).
    static asio::awaitable<void> awaitWritten(std::shared_ptr<SessionWriter> writer, std::uint64_t ticket,
                                              SessionWriter::Duration bound);
    asio::awaitable<void> send(SessionControlMessage message, SendMode mode = SendMode::checked);

    struct ControlOutcome {
        bool keepReceiving = true;                  // false once the message has ended the session
        std::optional<SessionControlMessage> reply; // written before the next frame is read
    };
    struct ReceiveOutcome {
        bool keepReceiving = true;
        std::uint64_t replyTicket = 0; // 0: no reply
    };
    // Opens and applies one frame; throws for a frame that ends the session.
    ReceiveOutcome receive(ByteView frame);
    ControlOutcome handleControlMessage(const SessionControlMessage& message);
    void handleVideoFragment(Bytes plaintext);
    void requestAutomaticKeyframe();
    void applyHostState(const SessionControlMessage& message);
    void report();

    // Ends the session unless it has ended already; never suspends.
    void close(const SessionTerminationReason& reason);
    void close(std::string_view message);
    void stopTasks();

    asio::any_io_executor executor_;
    const std::shared_ptr<NetworkFramedConnection> connection_;
    const std::shared_ptr<SessionCipher> cipher_;
    const Bytes transcriptHash_;
    const std::shared_ptr<TrustedDeviceStore> trustedDeviceStore_;
    asio::thread_pool& storeWorker_;
    const Clocks clocks_;
    const std::chrono::steady_clock::duration finalMessageLimit_;

    ActiveSessionDescriptor descriptor_;
    std::uint64_t nextInputSequence_ = 0;
    bool hasReceiveTask_ = false;
    std::shared_ptr<asio::steady_timer> heartbeatTimer_; // the heartbeat task's sleep; null when none
    bool closed_ = false;
    const std::shared_ptr<SessionWriter> writer_;
    VideoFrameReassembler reassembler_;
    // Absent until the first automatic request, which is never held back.
    std::optional<std::uint64_t> lastAutoKeyframeRequestNs_;

    VideoFrameHandler onVideoFrameReceived_;
    VideoStreamStatusHandler onVideoStreamStatus_;
    const DescriptorHandler onDescriptorUpdate_;
    const TerminationHandler onTerminated_;
};

} // namespace velorinth
