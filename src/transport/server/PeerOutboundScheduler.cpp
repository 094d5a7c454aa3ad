#include "transport/server/PeerOutboundScheduler.hpp"

#include "core/Json.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"
#include "transport/video/VideoFrameFragmenter.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/system_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <limits>
#include <utility>

namespace velorinth {

// Keeps a parked waiter's timer listed for exactly as long as its frame lives,
// so a waiter destroyed mid-wait (a stopped loop) never leaves a dangling entry.
class PeerOutboundScheduler::WaiterRegistration {
public:
    WaiterRegistration(std::vector<asio::steady_timer*>& list, asio::steady_timer& timer)
        : list_(list), timer_(&timer) {
        list_.push_back(timer_);
    }
    ~WaiterRegistration() { std::erase(list_, timer_); }
    WaiterRegistration(const WaiterRegistration&) = delete;
    WaiterRegistration& operator=(const WaiterRegistration&) = delete;

private:
    std::vector<asio::steady_timer*>& list_;
    asio::steady_timer* timer_;
};

PeerOutboundScheduler::PeerOutboundScheduler(asio::any_io_executor executor,
                                             std::shared_ptr<NetworkFramedConnection> connection,
                                             std::shared_ptr<SessionCipher> cipher, Bytes transcriptHash,
                                             KeyframeRecoveryHandler onKeyframeRecoveryNeeded, Duration flushTimeout,
                                             Duration finalCloseTimeout, std::size_t controlWatermarkBytes)
    : executor_(std::move(executor)), connection_(std::move(connection)), cipher_(std::move(cipher)),
      transcriptHash_(std::move(transcriptHash)), onKeyframeRecoveryNeeded_(std::move(onKeyframeRecoveryNeeded)),
      flushTimeout_(flushTimeout), finalCloseTimeout_(finalCloseTimeout), controlWatermarkBytes_(controlWatermarkBytes) {}

void PeerOutboundScheduler::startDraining() {
    drainPermitted_ = true;
    startDrainIfNeeded();
}

// ---- control ----

void PeerOutboundScheduler::enqueueControl(SessionControlMessage message) {
    if (closed_ || closing_) return;
    pushControl(message);
}

// Encoded when queued, so the queue knows its size: a peer that reads too
// slowly for what the host has to tell it is cut off, not buffered for.
std::uint64_t PeerOutboundScheduler::pushControl(const SessionControlMessage& message) {
    Bytes encoded = json::encodeToBytes(message);
    queuedControlBytes_ += encoded.size();
    controlQueue_.push_back(std::move(encoded));
    const std::uint64_t ticket = ++enqueuedControlCount_;
    if (queuedControlBytes_ > controlWatermarkBytes_) {
        close();
    } else {
        startDrainIfNeeded();
    }
    return ticket;
}

asio::awaitable<bool> PeerOutboundScheduler::enqueueControlAndFlush(SessionControlMessage message) {
    auto self = shared_from_this();
    if (closed_ || closing_) co_return false;
    const std::uint64_t ticket = pushControl(message);
    co_return co_await waitForWritten(ticket, flushTimeout_);
}

asio::awaitable<void> PeerOutboundScheduler::sendFinalControlAndClose(SessionControlMessage message) {
    auto self = shared_from_this();
    if (!closed_) {
        // A second final message while the first is on its way only waits
        // for that close.
        std::uint64_t ticket = std::numeric_limits<std::uint64_t>::max();
        if (!closing_) {
            videoQueue_.clear(); // not counted as dropped
            closing_ = true;
            ticket = pushControl(message);
        }
        co_await waitForWritten(ticket, finalCloseTimeout_);
    }
    close();
}

// ---- video ----

PeerOutboundScheduler::VideoEnqueueResult PeerOutboundScheduler::enqueueVideo(const EncodedVideoFrame& frame,
                                                                               std::int64_t maxFragmentPayloadBytes) {
    if (closed_ || closing_) return videoResult(false);
    if (requiresKeyframeRecovery_ && !frame.isKeyframe) return refuseVideo(false);

    std::vector<Bytes> fragments;
    try {
        fragments = VideoFrameFragmenter::fragment(frame, maxFragmentPayloadBytes,
                                                   VideoFrameFragmenter::hostMaxFrameBytes,
                                                   VideoFrameFragmenter::hostMaxFragmentsPerFrame);
    } catch (const VideoProtocolError&) {
        return refuseVideo(true);
    }
    // A fragment whose sealed wire frame the connection would refuse must not
    // reach the drain, whose failure ends the session: the frame is dropped.
    const std::size_t overhead = SessionWireFrameCodec::headerLength + SessionCipher::kTagSize;
    for (const Bytes& packet : fragments) {
        if (packet.size() > connection_->maximumFrameSize - std::min(overhead, connection_->maximumFrameSize)) {
            return refuseVideo(true);
        }
    }

    if (frame.isKeyframe) {
        // A keyframe makes every frame not yet begun useless; a begun one
        // must finish, or the peer's reassembly would stall on it.
        const auto before = videoQueue_.size();
        std::erase_if(videoQueue_, [](const QueuedVideoFrame& queued) { return !queued.startedSending; });
        droppedVideoFramesCount_ += before - videoQueue_.size();
        requiresKeyframeRecovery_ = false;
    } else if (static_cast<std::int64_t>(videoQueue_.size()) >= maxQueuedVideoFrames) {
        // Overflow: the oldest frame not yet begun goes too, and the two
        // count as one drop.
        auto oldest = std::find_if(videoQueue_.begin(), videoQueue_.end(),
                                   [](const QueuedVideoFrame& queued) { return !queued.startedSending; });
        if (oldest != videoQueue_.end()) videoQueue_.erase(oldest);
        return refuseVideo(true);
    }

    videoQueue_.push_back(QueuedVideoFrame{frame.generation, frame.sequence, frame.isKeyframe,
                                           std::deque<Bytes>(std::make_move_iterator(fragments.begin()),
                                                             std::make_move_iterator(fragments.end())),
                                           false});
    startDrainIfNeeded();
    return videoResult(true);
}

PeerOutboundScheduler::VideoEnqueueResult PeerOutboundScheduler::refuseVideo(bool recoveryNeeded) {
    ++droppedVideoFramesCount_;
    if (recoveryNeeded) requiresKeyframeRecovery_ = true;
    if (onKeyframeRecoveryNeeded_) onKeyframeRecoveryNeeded_();
    return videoResult(false);
}

PeerOutboundScheduler::VideoEnqueueResult PeerOutboundScheduler::videoResult(bool accepted) const {
    return {accepted, sentVideoFramesCount_, droppedVideoFramesCount_,
            static_cast<std::int64_t>(videoQueue_.size())};
}

void PeerOutboundScheduler::resetVideo() {
    videoQueue_.clear();
    requiresKeyframeRecovery_ = false;
}

PeerOutboundScheduler::VideoStatistics PeerOutboundScheduler::videoStatistics() const {
    return {static_cast<std::int64_t>(videoQueue_.size()), sentVideoFramesCount_, droppedVideoFramesCount_};
}

// ---- closing ----

void PeerOutboundScheduler::close() {
    closed_ = true;
    controlQueue_.clear();
    queuedControlBytes_ = 0;
    videoQueue_.clear();
    // Runs the connection's close handler once, then cancels it, so a drain
    // suspended in a send fails and the session's receive loop ends.
    connection_->cancel();
    resumeDrainWaiters();
}

// ---- draining ----

void PeerOutboundScheduler::startDrainIfNeeded() {
    if (isDraining_ || closed_ || !drainPermitted_) return;
    if (controlQueue_.empty() && videoQueue_.empty()) return;
    isDraining_ = true;
    asio::co_spawn(executor_, drain(shared_from_this()), asio::detached);
}

asio::awaitable<void> PeerOutboundScheduler::drain(std::shared_ptr<PeerOutboundScheduler> self) {
    (void)self; // held so the scheduler outlives its drain
    bool failed = false;
    try {
        // Every suspension may change the queues or close the scheduler: each
        // turn re-reads them and holds no reference into them across a send.
        while (!closed_) {
            if (!controlQueue_.empty()) {
                const Bytes message = std::move(controlQueue_.front());
                controlQueue_.pop_front();
                queuedControlBytes_ -= message.size();
                co_await connection_->sendRawFrame(sealedFrame(SessionBinaryChannel::control, message));
                ++writtenControlCount_;
                resumeDrainWaiters();
                continue;
            }
            if (videoQueue_.empty()) break;
            QueuedVideoFrame& head = videoQueue_.front();
            if (head.remainingFragments.empty()) {
                videoQueue_.pop_front();
                continue;
            }
            const Bytes fragment = std::move(head.remainingFragments.front());
            head.remainingFragments.pop_front();
            if (head.remainingFragments.empty()) {
                videoQueue_.pop_front();
                ++sentVideoFramesCount_; // counted when taken, whatever the send then does
            } else {
                head.startedSending = true;
            }
            co_await connection_->sendRawFrame(sealedFrame(SessionBinaryChannel::videoFragment, fragment));
        }
    } catch (...) {
        failed = true;
    }
    isDraining_ = false;
    // A session that can no longer send must not live on reading input: the
    // cancelled connection ends its receive loop.
    if (failed) {
        close();
        co_return;
    }
    resumeDrainWaiters();
}

Bytes PeerOutboundScheduler::sealedFrame(SessionBinaryChannel channel, ByteView plaintext) {
    const EncryptedSessionMessage sealed = cipher_->seal(plaintext, transcriptHash_);
    return SessionWireFrameCodec::encode(channel, sealed.sequence, sealed.ciphertext);
}

// ---- waiting ----

void PeerOutboundScheduler::resumeDrainWaiters() {
    // A cancelled timer wakes its waiter, which re-checks its own condition.
    for (asio::steady_timer* waiter : drainWaiters_) waiter->cancel();
}

asio::awaitable<bool> PeerOutboundScheduler::waitForWritten(std::uint64_t ticket, Duration bound) {
    auto self = shared_from_this();
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    asio::steady_timer waiter(executor_, bound);
    WaiterRegistration registration(drainWaiters_, waiter);
    try {
        while (!closed_ && writtenControlCount_ < ticket) {
            asio::error_code woken;
            co_await waiter.async_wait(asio::redirect_error(asio::use_awaitable, woken));
            if (!woken) break; // the bound has passed
            if (caller.cancelled() != asio::cancellation_type::none) break;
        }
    } catch (const asio::system_error&) {
        // The awaiting task was cancelled before it could park.
    }
    co_return writtenControlCount_ >= ticket;
}

} // namespace velorinth
