#include "transport/server/PeerOutboundScheduler.hpp"

#include "core/Json.hpp"
#include "core/KeepAlive.hpp"
#include "core/LoopAssert.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"
#include "transport/video/VideoFrameFragmenter.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace velorinth {

PeerOutboundScheduler::PeerOutboundScheduler(asio::any_io_executor executor,
                                             std::shared_ptr<NetworkFramedConnection> connection,
                                             std::shared_ptr<SessionCipher> cipher, Bytes transcriptHash,
                                             KeyframeRecoveryHandler onKeyframeRecoveryNeeded, Duration flushTimeout,
                                             Duration finalCloseTimeout, std::size_t controlWatermarkBytes)
    : executor_(executor), connection_(connection), onKeyframeRecoveryNeeded_(std::move(onKeyframeRecoveryNeeded)),
      flushTimeout_(flushTimeout), finalCloseTimeout_(finalCloseTimeout), controlWatermarkBytes_(controlWatermarkBytes),
      // The writer never outlives this scheduler's use of it: the destructor
      // closes it, and a closed writer asks for no more video.
      writer_(std::make_shared<SessionWriter>(executor, std::move(connection), std::move(cipher),
                                              std::move(transcriptHash), [this] { return nextVideoFragment(); })) {}

PeerOutboundScheduler::~PeerOutboundScheduler() { writer_->close(); }

void PeerOutboundScheduler::startDraining() {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    writer_->start();
}

// ---- control ----

void PeerOutboundScheduler::enqueueControl(SessionControlMessage message) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (isClosed() || closing_) return;
    pushControl(message);
}

// Encoded when queued, so the outbox knows its size: a peer that reads too
// slowly for what the host has to tell it is cut off, not buffered for.
std::uint64_t PeerOutboundScheduler::pushControl(const SessionControlMessage& message) {
    const std::uint64_t ticket = writer_->enqueueControl(json::encodeToBytes(message));
    if (writer_->queuedControlBytes() > controlWatermarkBytes_) close();
    return ticket;
}

asio::awaitable<bool> PeerOutboundScheduler::enqueueControlAndFlush(SessionControlMessage message) {
    return keepAlive(shared_from_this(), enqueueControlAndFlushBody(std::move(message)));
}

asio::awaitable<bool> PeerOutboundScheduler::enqueueControlAndFlushBody(SessionControlMessage message) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (isClosed() || closing_) co_return false;
    const std::uint64_t ticket = pushControl(message);
    co_return co_await writer_->waitForWritten(ticket, flushTimeout_);
}

asio::awaitable<void> PeerOutboundScheduler::sendFinalControlAndClose(SessionControlMessage message) {
    return keepAlive(shared_from_this(), sendFinalControlAndCloseBody(std::move(message)));
}

asio::awaitable<void> PeerOutboundScheduler::sendFinalControlAndCloseBody(SessionControlMessage message) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (!isClosed()) {
        // A second final message while the first is on its way only waits
        // for that close.
        std::uint64_t ticket = std::numeric_limits<std::uint64_t>::max();
        if (!closing_) {
            videoQueue_.clear(); // not counted as dropped
            closing_ = true;
            ticket = pushControl(message);
        }
        co_await writer_->waitForWritten(ticket, finalCloseTimeout_);
    }
    close();
}

// ---- video ----

PeerOutboundScheduler::VideoEnqueueResult
PeerOutboundScheduler::enqueueVideo(std::shared_ptr<const EncodedVideoFrame> frame, std::uint64_t generation,
                                    std::int64_t maxFragmentPayloadBytes) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    if (isClosed() || closing_) return videoResult(false);
    if (requiresKeyframeRecovery_ && !frame->isKeyframe) return refuseVideo(false);

    VideoFrameFragmenter::Plan plan;
    try {
        plan = VideoFrameFragmenter::plan(*frame, maxFragmentPayloadBytes, VideoFrameFragmenter::hostMaxFrameBytes,
                                          VideoFrameFragmenter::hostMaxFragmentsPerFrame);
    } catch (const VideoProtocolError&) {
        return refuseVideo(true);
    }
    // A fragment whose sealed wire frame the connection would refuse must not
    // reach the drain, whose failure ends the session: the frame is dropped.
    const std::size_t overhead = SessionWireFrameCodec::headerLength + SessionCipher::kTagSize;
    if (plan.largestPacketBytes > connection_->maximumFrameSize - std::min(overhead, connection_->maximumFrameSize)) {
        return refuseVideo(true);
    }

    if (frame->isKeyframe) {
        // A keyframe makes every frame not yet begun useless; a begun one
        // must finish, or the peer's reassembly would stall on it.
        const auto before = videoQueue_.size();
        std::erase_if(videoQueue_, [](const QueuedVideoFrame& queued) { return !queued.startedSending(); });
        droppedVideoFramesCount_ += before - videoQueue_.size();
        requiresKeyframeRecovery_ = false;
    } else if (static_cast<std::int64_t>(videoQueue_.size()) >= maxQueuedVideoFrames) {
        // Overflow: the oldest frame not yet begun goes too, and the two
        // count as one drop.
        auto oldest = std::find_if(videoQueue_.begin(), videoQueue_.end(),
                                   [](const QueuedVideoFrame& queued) { return !queued.startedSending(); });
        if (oldest != videoQueue_.end()) videoQueue_.erase(oldest);
        return refuseVideo(true);
    }

    videoQueue_.push_back(QueuedVideoFrame{std::move(frame), generation, plan, 0});
    writer_->wake();
    return videoResult(true);
}

PeerOutboundScheduler::VideoEnqueueResult PeerOutboundScheduler::refuseVideo(bool recoveryNeeded) {
    ++droppedVideoFramesCount_;
    if (recoveryNeeded) requiresKeyframeRecovery_ = true;
    if (!keyframeAskedSinceLastSend_ && onKeyframeRecoveryNeeded_) {
        keyframeAskedSinceLastSend_ = true;
        onKeyframeRecoveryNeeded_();
    }
    return videoResult(false);
}

PeerOutboundScheduler::VideoEnqueueResult PeerOutboundScheduler::videoResult(bool accepted) const {
    return {accepted, sentVideoFramesCount_, droppedVideoFramesCount_,
            static_cast<std::int64_t>(videoQueue_.size())};
}

void PeerOutboundScheduler::resetVideo() {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    videoQueue_.clear();
    requiresKeyframeRecovery_ = false;
    keyframeAskedSinceLastSend_ = false;
}

PeerOutboundScheduler::VideoStatistics PeerOutboundScheduler::videoStatistics() const {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    return {static_cast<std::int64_t>(videoQueue_.size()), sentVideoFramesCount_, droppedVideoFramesCount_};
}

// ---- closing ----

void PeerOutboundScheduler::close() {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    closed_ = true;
    videoQueue_.clear();
    // Cancels the connection, so a write in progress fails and the session's
    // receive loop ends; wakes every waiter.
    writer_->close();
}

// ---- the writer's video ----

// One fragment per call, cut from the oldest frame as it is taken: its header
// is written here and its chunk stays in the shared frame until sealed. A
// frame counts as sent once its last fragment is taken, whatever the write
// then does.
std::optional<SessionWriter::VideoFragment> PeerOutboundScheduler::nextVideoFragment() {
    if (videoQueue_.empty()) return std::nullopt;
    QueuedVideoFrame& head = videoQueue_.front();
    const std::uint16_t index = head.nextFragment++;
    SessionWriter::VideoFragment fragment{
        VideoFrameFragmenter::packetHeader(*head.frame, head.generation, head.plan, index),
        VideoFrameFragmenter::chunk(*head.frame, head.plan, index), head.frame};
    if (head.nextFragment == head.plan.fragmentCount) {
        videoQueue_.pop_front();
        ++sentVideoFramesCount_;
        keyframeAskedSinceLastSend_ = false;
    }
    return fragment;
}

} // namespace velorinth
