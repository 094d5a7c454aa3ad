#include "host/model/VideoPipeline.hpp"

#include "core/WorkerCall.hpp"

#include <utility>

namespace velorinth {

VideoPipeline::Request::Request(VideoPipeline& pipeline) : pipeline_(pipeline), number_(++pipeline.lastRequest_) {
    ++pipeline_.requestsUnderWay_;
}

VideoPipeline::Request::~Request() { --pipeline_.requestsUnderWay_; }

VideoPipeline::VideoPipeline(VideoEncoderPort::Factory encoderFactory) : encoderFactory_(std::move(encoderFactory)) {}

VideoPipeline::~VideoPipeline() {
    if (encoderThread_) encoderThread_->stop();
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

asio::awaitable<void> VideoPipeline::stop() {
    ++epoch_;
    if (const std::shared_ptr<VideoEncoderPort> encoder = encoderBox_->take()) encoder->invalidate();
    const std::shared_ptr<EncoderThread> encoding = std::exchange(encoderThread_, nullptr);
    if (!encoding) co_return;
    auto join = [encoding] { encoding->stop(); };
    co_await callOnWorker(worker_, join);
    droppedSamplesBefore_ += encoding->droppedSamples();
}

std::uint64_t VideoPipeline::droppedFrames() const {
    return droppedBeforeCurrentStream_ + (currentFrames_ ? currentFrames_->droppedCount() : 0);
}

std::uint64_t VideoPipeline::droppedSamples() const {
    return droppedSamplesBefore_ + (encoderThread_ ? encoderThread_->droppedSamples() : 0);
}

} // namespace velorinth
