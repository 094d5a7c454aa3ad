#include "support/FakeCaptureBackend.hpp"

#include <atomic>
#include <stdexcept>

namespace velorinth::testing {

class FakeCaptureBackend::Stream : public CaptureStream {
public:
    Stream(FakeCaptureBackend& backend, std::shared_ptr<StreamRecord> record)
        : backend_(backend), record_(std::move(record)) {}
    ~Stream() override { stop(); }

    std::uint64_t identity() const override { return record_->identity; }

    void start() override {
        std::unique_lock lock(backend_.mutex_);
        ++backend_.startsWaiting_;
        backend_.gateOpened_.wait(lock, [this] { return !backend_.gateClosed_; });
        --backend_.startsWaiting_;
        if (auto failure = std::exchange(backend_.startFailure_, nullptr)) std::rethrow_exception(failure);
        record_->started = true;
    }

    void update(const CaptureStreamSettings& settings) override {
        std::lock_guard guard(backend_.mutex_);
        if (auto failure = std::exchange(backend_.updateFailure_, nullptr)) std::rethrow_exception(failure);
        record_->settings.push_back(settings);
    }

    void stop() override {
        std::lock_guard guard(backend_.mutex_);
        record_->stopped = true;
    }

private:
    FakeCaptureBackend& backend_;
    std::shared_ptr<StreamRecord> record_;
};

ShareableContent FakeCaptureBackend::oneDisplay(std::uint32_t id, std::int64_t width, std::int64_t height) {
    return {{{id, width, height, width, height}}, id};
}

void FakeCaptureBackend::setGranted(bool granted) {
    std::lock_guard guard(mutex_);
    granted_ = granted;
}

void FakeCaptureBackend::setContent(ShareableContent content) {
    std::lock_guard guard(mutex_);
    content_ = std::move(content);
}

void FakeCaptureBackend::failContent(std::exception_ptr error) {
    std::lock_guard guard(mutex_);
    contentFailure_ = std::move(error);
}

void FakeCaptureBackend::failNextStart(std::exception_ptr error) {
    std::lock_guard guard(mutex_);
    startFailure_ = std::move(error);
}

void FakeCaptureBackend::failNextUpdate(std::exception_ptr error) {
    std::lock_guard guard(mutex_);
    updateFailure_ = std::move(error);
}

void FakeCaptureBackend::closeStartGate() {
    std::lock_guard guard(mutex_);
    gateClosed_ = true;
}

void FakeCaptureBackend::openStartGate() {
    {
        std::lock_guard guard(mutex_);
        gateClosed_ = false;
    }
    gateOpened_.notify_all();
}

std::size_t FakeCaptureBackend::startsWaiting() {
    std::lock_guard guard(mutex_);
    return startsWaiting_;
}

std::size_t FakeCaptureBackend::streamCount() {
    std::lock_guard guard(mutex_);
    return streams_.size();
}

FakeCaptureBackend::StreamRecord FakeCaptureBackend::stream(std::size_t index) {
    std::lock_guard guard(mutex_);
    return *streams_.at(index);
}

std::size_t FakeCaptureBackend::runningStreams() {
    std::lock_guard guard(mutex_);
    std::size_t running = 0;
    for (const auto& record : streams_) running += record->started && !record->stopped ? 1 : 0;
    return running;
}

std::size_t FakeCaptureBackend::preflightCount() {
    std::lock_guard guard(mutex_);
    return preflights_;
}

VideoSampleBuffer FakeCaptureBackend::sampleOf(std::size_t index) {
    static const auto image = std::make_shared<const PixelBuffer>(64, 64);
    static std::atomic<std::int64_t> lastTime{0};
    VideoSampleBuffer sample;
    sample.streamIdentity = stream(index).identity;
    sample.outputType = CaptureOutputType::screen;
    sample.isValid = true;
    sample.isDataReady = true;
    sample.image = image;
    sample.frameStatus = VideoSampleBuffer::kFrameStatusComplete;
    sample.presentationTime = MediaTime::make(++lastTime, 1'000'000);
    return sample;
}

void FakeCaptureBackend::emit(std::size_t index, const VideoSampleBuffer& sample) {
    CaptureStreamOutput* output = stream(index).output;
    output->captureStreamDidOutputSample(sample);
}

void FakeCaptureBackend::stopWithError(std::size_t index, std::exception_ptr error) {
    const StreamRecord record = stream(index);
    record.output->captureStreamDidStop(record.identity, std::move(error));
}

bool FakeCaptureBackend::preflight() {
    std::lock_guard guard(mutex_);
    ++preflights_;
    return granted_;
}

ShareableContent FakeCaptureBackend::shareableContent() {
    std::lock_guard guard(mutex_);
    if (contentFailure_) std::rethrow_exception(contentFailure_);
    return content_;
}

std::unique_ptr<CaptureStream> FakeCaptureBackend::makeStream(const CaptureDisplay& display,
                                                              const CaptureStreamSettings& settings,
                                                              CaptureStreamOutput& output) {
    static std::atomic<std::uint64_t> lastIdentity{1000};
    auto record = std::make_shared<StreamRecord>();
    record->identity = ++lastIdentity;
    record->display = display;
    record->settings.push_back(settings);
    record->output = &output;
    {
        std::lock_guard guard(mutex_);
        streams_.push_back(record);
    }
    return std::make_unique<Stream>(*this, std::move(record));
}

} // namespace velorinth::testing
