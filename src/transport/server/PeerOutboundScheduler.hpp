#pragma once

#include "core/Bytes.hpp"
#include "core/VideoModels.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/session/SessionWriter.hpp"
#include "transport/video/VideoFrameFragmenter.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace velorinth {

// What the host sends one tablet: control messages and the fragments of
// encoded video frames, written by the session's one SessionWriter (control
// first, video one fragment per turn, each sealed right before its write).
//
// At most two frames wait; a keyframe drops the frames not yet begun; an
// overflow or a frame that cannot be fragmented drops video until the next
// keyframe and asks the source for one, once per stall: it asks again only
// after a frame has been sent since. Control waiting beyond the watermark
// closes the scheduler.
//
// Lives on the event loop, owned through std::shared_ptr (its coroutines keep
// it alive), touched only from the loop thread. Nothing is written until
// startDraining(): the handshake seals and writes its own last message
// first, and the scheduler's first seal must follow it.
class PeerOutboundScheduler final : public std::enable_shared_from_this<PeerOutboundScheduler> {
public:
    using Duration = std::chrono::steady_clock::duration;
    // Called on the loop inside enqueueVideo when video can only resume with a
    // keyframe and none was asked for since the last frame sent (or the last
    // resetVideo); it must not call back into the scheduler synchronously.
    using KeyframeRecoveryHandler = std::function<void()>;

    static constexpr std::int64_t maxQueuedVideoFrames = 2;
    static constexpr Duration kDefaultFlushTimeout = std::chrono::seconds(2);
    static constexpr Duration kDefaultFinalCloseTimeout = std::chrono::seconds(2);
    // Far above what a reading peer ever has waiting (a few small messages).
    static constexpr std::size_t kDefaultControlWatermarkBytes = 1 << 20;

    struct VideoEnqueueResult {
        bool accepted = false;
        std::uint64_t sentVideoFramesCount = 0;
        std::uint64_t droppedVideoFramesCount = 0;
        std::int64_t queuedVideoFrames = 0;

        bool operator==(const VideoEnqueueResult&) const = default;
    };

    struct VideoStatistics {
        std::int64_t queuedVideoFrames = 0;
        std::uint64_t sentVideoFramesCount = 0;
        std::uint64_t droppedVideoFramesCount = 0;

        bool operator==(const VideoStatistics&) const = default;
    };

    // `flushTimeout` bounds enqueueControlAndFlush; `finalCloseTimeout` bounds
    // the wait of sendFinalControlAndClose before the connection is cancelled.
    // Control waiting beyond `controlWatermarkBytes` closes the scheduler.
    PeerOutboundScheduler(asio::any_io_executor executor, std::shared_ptr<NetworkFramedConnection> connection,
                          std::shared_ptr<SessionCipher> cipher, Bytes transcriptHash,
                          KeyframeRecoveryHandler onKeyframeRecoveryNeeded,
                          Duration flushTimeout = kDefaultFlushTimeout,
                          Duration finalCloseTimeout = kDefaultFinalCloseTimeout,
                          std::size_t controlWatermarkBytes = kDefaultControlWatermarkBytes);

    ~PeerOutboundScheduler();
    PeerOutboundScheduler(const PeerOutboundScheduler&) = delete;
    PeerOutboundScheduler& operator=(const PeerOutboundScheduler&) = delete;

    // Public coroutines hold the object from the call until they end
    // (keepAlive): an asio::awaitable starts lazily, after the caller may have
    // dropped its pointer.
    // Opens the gate once the session's server-ready message has been written;
    // until then everything enqueued waits. Later calls do nothing.
    void startDraining();

    // Queues the message; discarded once closed or closing.
    void enqueueControl(SessionControlMessage message);

    // Queues the message and waits until it has been written or the scheduler
    // has closed, for at most the flush timeout (the message then stays
    // queued). Never waits for video. Returns whether the message was written;
    // returns false at once when closed or closing, and early when the
    // awaiting task is cancelled. Never throws.
    asio::awaitable<bool> enqueueControlAndFlush(SessionControlMessage message);

    // Applies the queue policy and returns whether the frame was accepted,
    // the two counters and the number of frames queued (0 once closed). The
    // frame is shared with the other viewers and never copied: its fragments
    // are cut when the writer takes them, stamped with this peer's
    // `generation`; `maxFragmentPayloadBytes` is the chunk size of the peer's stream.
    VideoEnqueueResult enqueueVideo(std::shared_ptr<const EncodedVideoFrame> frame, std::uint64_t generation,
                                    std::int64_t maxFragmentPayloadBytes);

    // Drops the queued video, sends the waiting control messages and then
    // `message`, and closes, cancelling the connection. Nothing enqueued after
    // this call is sent. Waits at most the final-close timeout for the message
    // to be written; a peer that stops reading cannot hold the close back.
    // Never throws.
    asio::awaitable<void> sendFinalControlAndClose(SessionControlMessage message);

    // Closes at once: empties both queues (nothing counted as dropped),
    // cancels the connection and wakes every waiter. Final.
    void close();

    // Empties the video queue, a half-sent frame included, without counting
    // drops, and leaves keyframe recovery: the next stall asks at once.
    // Control and counters are kept.
    void resetVideo();

    VideoStatistics videoStatistics() const;
    bool isClosed() const { return closed_ || writer_->isClosed(); }
    // What made a write fail and so closed the scheduler; none after a close
    // asked for here.
    std::exception_ptr sendFailure() const noexcept { return writer_->failure(); }

private:
    asio::awaitable<bool> enqueueControlAndFlushBody(SessionControlMessage message);
    asio::awaitable<void> sendFinalControlAndCloseBody(SessionControlMessage message);
    struct QueuedVideoFrame {
        std::shared_ptr<const EncodedVideoFrame> frame;
        std::uint64_t generation = 0;
        VideoFrameFragmenter::Plan plan;
        std::uint16_t nextFragment = 0;

        bool startedSending() const { return nextFragment > 0; }
    };

    // Queues the encoded message and returns its ticket; closes above the watermark.
    std::uint64_t pushControl(const SessionControlMessage& message);
    std::optional<SessionWriter::VideoFragment> nextVideoFragment();
    VideoEnqueueResult refuseVideo(bool recoveryNeeded);
    VideoEnqueueResult videoResult(bool accepted) const;

    asio::any_io_executor executor_;
    std::shared_ptr<NetworkFramedConnection> connection_;
    KeyframeRecoveryHandler onKeyframeRecoveryNeeded_;
    Duration flushTimeout_;
    Duration finalCloseTimeout_;
    std::size_t controlWatermarkBytes_;
    std::shared_ptr<SessionWriter> writer_;

    std::deque<QueuedVideoFrame> videoQueue_;
    bool closed_ = false;
    bool closing_ = false; // a final message is queued; nothing more is accepted
    bool requiresKeyframeRecovery_ = false;
    // A viewer that never drains would otherwise make its encoder emit a
    // keyframe for every frame dropped.
    bool keyframeAskedSinceLastSend_ = false;
    std::uint64_t sentVideoFramesCount_ = 0;
    std::uint64_t droppedVideoFramesCount_ = 0;
};

} // namespace velorinth
