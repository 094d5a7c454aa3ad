#include "host/model/EncoderThread.hpp"

#include <pthread.h>

#include <utility>

namespace velorinth {

EncoderThread::EncoderThread(std::shared_ptr<const ActiveEncoderBox> box)
    : box_(std::move(box)), thread_([this] { run(); }) {}

EncoderThread::~EncoderThread() { stop(); }

void EncoderThread::offer(const VideoSampleBuffer& sample, VideoEncoderPort::SourceSize sourceDisplaySize,
                          std::shared_ptr<FrameChannel::Producer> frames) {
    auto next = std::make_unique<Pending>(Pending{sample, sourceDisplaySize, std::move(frames)});
    std::unique_ptr<Pending> replaced;
    {
        std::lock_guard guard(mutex_);
        if (stopping_) return;
        if (pending_) ++droppedSamples_;
        replaced = std::exchange(pending_, std::move(next));
    }
    wake_.notify_one();
    // The replaced sample lets its picture and its frame stream go here, outside the lock.
}

void EncoderThread::requestStop() {
    std::unique_ptr<Pending> dropped;
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
        dropped = std::move(pending_);
    }
    wake_.notify_all();
    // Its picture and frame stream go now, not after the encode under way.
}

void EncoderThread::stop() {
    requestStop();
    if (thread_.joinable()) thread_.join();
}

std::uint64_t EncoderThread::droppedSamples() const {
    std::lock_guard guard(mutex_);
    return droppedSamples_;
}

void EncoderThread::run() {
    pthread_setname_np(pthread_self(), kThreadName);
    while (true) {
        std::unique_ptr<Pending> next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || pending_ != nullptr; });
            if (stopping_) return;
            next = std::move(pending_);
        }
        encode(*next);
    }
}

void EncoderThread::encode(const Pending& pending) const {
    const std::shared_ptr<VideoEncoderPort> encoder = box_->current();
    if (!encoder) return;
    try {
        std::optional<EncodedVideoFrame> frame = encoder->encode(pending.sample, pending.sourceDisplaySize);
        if (frame) pending.frames->yield(std::move(*frame));
    } catch (...) {
        // A sample that cannot be encoded is dropped; the stream goes on.
    }
}

} // namespace velorinth
