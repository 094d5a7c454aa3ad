#include "host/model/VideoPipeline.hpp"

#include "core/WorkerCall.hpp"

#include <utility>

namespace velorinth {

VideoPipeline::Request::Request(VideoPipeline& pipeline) : pipeline_(pipeline), number_(++pipeline.lastRequest_) {
    ++pipeline_.requestsUnderWay_;
}

VideoPipeline::Request::~Request() { --pipeline_.requestsUnderWay_; }

VideoPipeline::VideoPipeline(VideoEncoderPort::Factory encoderFactory, const asio::any_io_executor& executor,
                             MemoryReleaseScheduler::Duration releaseDelay, MemoryReleaseScheduler::Release release)
    : encoderFactory_(std::move(encoderFactory)),
      memoryRelease_(std::make_shared<MemoryReleaseScheduler>(executor, worker_.get_executor(), releaseDelay,
                                                              std::move(release))) {
    // Not fewer arenas: with one or two, 100 streams still grew idle RSS 60-80 MB; this bound and the trims, 1 MB.
    keepLargeBlocksMapped();
}

VideoPipeline::~VideoPipeline() {
    if (encoderThread_) encoderThread_->stop();
    for (const auto& stopped : stoppedThreads_) stopped->stop();
    worker_.join();
}

VideoPipeline::FrameStream VideoPipeline::openFrameStream(asio::any_io_executor consumerExecutor) {
    const FrameChannel channel(std::move(consumerExecutor));
    if (currentFrames_) droppedBeforeCurrentStream_ += currentFrames_->droppedCount();
    currentFrames_ = channel.consumer();
    return {channel.consumer(), channel.producer()};
}

std::shared_ptr<VideoEncoderPort> VideoPipeline::prepareEncoder(const VideoStreamConfiguration& configuration,
                                                                std::uint64_t generation) {
    return encoderBox_->prepareEncoder(configuration, generation, encoderFactory_);
}

CaptureServicePort::SampleHandler VideoPipeline::sampleHandler(std::shared_ptr<FrameChannel::Producer> frames) {
    if (!encoderThread_) encoderThread_ = std::make_shared<EncoderThread>(encoderBox_);
    return [encoding = encoderThread_, frames = std::move(frames)](const VideoSampleBuffer& sample,
                                                                   CaptureServicePort::PointsSize points) {
        encoding->offer(sample, {points.width, points.height}, frames);
    };
}

void VideoPipeline::stop() {
    ++epoch_;
    if (const std::shared_ptr<VideoEncoderPort> encoder = encoderBox_->take()) encoder->invalidate();
    if (!encoderThread_) return;
    // At once: a sample still waiting must not meet the encoder of a request that comes next.
    encoderThread_->requestStop();
    stoppedThreads_.push_back(std::exchange(encoderThread_, nullptr));
}

asio::awaitable<void> VideoPipeline::joinStoppedThreads() {
    const std::vector<std::shared_ptr<EncoderThread>> threads = std::exchange(stoppedThreads_, {});
    if (threads.empty()) co_return;
    auto join = [threads] {
        for (const auto& thread : threads) thread->stop();
    };
    co_await callOnWorker(worker_, join);
    for (const auto& thread : threads) droppedSamplesBefore_ += thread->droppedSamples();
    // The stream's threads are gone: their arenas hold the freed pictures and x264's buffers.
    memoryRelease_->request();
}

std::uint64_t VideoPipeline::droppedFrames() const {
    return droppedBeforeCurrentStream_ + (currentFrames_ ? currentFrames_->droppedCount() : 0);
}

std::uint64_t VideoPipeline::droppedSamples() const {
    std::uint64_t dropped = droppedSamplesBefore_ + (encoderThread_ ? encoderThread_->droppedSamples() : 0);
    for (const auto& stopped : stoppedThreads_) dropped += stopped->droppedSamples();
    return dropped;
}

} // namespace velorinth
