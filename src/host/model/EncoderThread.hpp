#pragma once

#include "core/VideoModels.hpp"
#include "host/model/ActiveEncoderBox.hpp"
#include "host/model/LatestFrameChannel.hpp"
#include "host/model/VideoEncoderPort.hpp"
#include "platform/VideoSampleBuffer.hpp"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace velorinth {

// The encoder's own thread, so that one frame is encoded while the capture
// thread grabs the next. One sample waits at most: a newer one replaces it,
// and the one replaced is dropped and counted. Each sample goes with the
// frame stream it was captured for, and is encoded by whatever encoder the
// box holds when its turn comes; a sample the encoder refuses or cannot
// encode is lost.
class EncoderThread {
public:
    using FrameChannel = LatestFrameChannel<EncodedVideoFrame>;
    static constexpr const char* kThreadName = "velorinth.enc";

    // Starts the thread.
    explicit EncoderThread(std::shared_ptr<const ActiveEncoderBox> box);
    // Stops first.
    ~EncoderThread();
    EncoderThread(const EncoderThread&) = delete;
    EncoderThread& operator=(const EncoderThread&) = delete;

    // The capture thread: hands a sample over and returns at once. The
    // sample keeps its picture until it has been encoded or dropped.
    void offer(const VideoSampleBuffer& sample, VideoEncoderPort::SourceSize sourceDisplaySize,
               std::shared_ptr<FrameChannel::Producer> frames);
    // Any thread; never blocks. Drops the waiting sample uncounted and lets
    // the encode under way be the last; later offers are ignored.
    void requestStop();
    // Any thread but its own; blocks for the encode under way. Stops as
    // above and joins the thread.
    void stop();
    // Samples replaced before their turn came. Any thread.
    std::uint64_t droppedSamples() const;

private:
    struct Pending {
        VideoSampleBuffer sample;
        VideoEncoderPort::SourceSize sourceDisplaySize;
        std::shared_ptr<FrameChannel::Producer> frames;
    };

    void run();
    void encode(const Pending& pending) const;

    const std::shared_ptr<const ActiveEncoderBox> box_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::unique_ptr<Pending> pending_;
    bool stopping_ = false;
    std::uint64_t droppedSamples_ = 0;
    std::thread thread_; // last: started once the rest stands
};

} // namespace velorinth
