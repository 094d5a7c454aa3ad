#include "host/capture/ScreenCaptureService.hpp"

#include "core/KeepAlive.hpp"
#include "core/LoopAssert.hpp"
#include "core/WorkerCall.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

namespace velorinth {

namespace {

using CaptureError = ScreenCaptureService::CaptureError;

double secondsBetween(std::uint64_t startNs, std::uint64_t nowNs) {
    return nowNs <= startNs ? 0.0 : static_cast<double>(nowNs - startNs) / 1e9;
}

} // namespace

ScreenCaptureService::CaptureError::CaptureError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view ScreenCaptureService::CaptureError::text(Case kind) {
    switch (kind) {
    case Case::screenRecordingPermissionDenied: return kScreenRecordingPermissionRequiredText;
    case Case::noDisplay: return "No display is available for capture.";
    }
    return {};
}

ScreenCaptureService::ScreenCaptureService(asio::any_io_executor executor, std::shared_ptr<CaptureBackend> backend,
                                           UptimeClock uptime)
    : executor_(executor), backend_(std::move(backend)), uptime_(std::move(uptime)), operations_(executor),
      windowStartNs_(uptime_()) {}

// The host destroys the service after its loop ended: everything here is direct.
ScreenCaptureService::~ScreenCaptureService() {
    std::vector<std::shared_ptr<CaptureStream>> streams;
    {
        std::lock_guard guard(stateLock_);
        if (stream_) streams.push_back(std::move(stream_));
        std::move(retired_.begin(), retired_.end(), std::back_inserter(streams));
        retired_.clear();
    }
    for (const auto& stream : streams) {
        try {
            stream->stop();
        } catch (...) {
        }
    }
    worker_.join();
    std::lock_guard guard(stateLock_);
    retired_.clear();
}

CaptureStreamSettings ScreenCaptureService::makeStreamConfiguration(std::int64_t width, std::int64_t height,
                                                                    std::int64_t framesPerSecond) {
    CaptureStreamSettings settings;
    settings.width = static_cast<int>(width);
    settings.height = static_cast<int>(height);
    settings.minimumFrameInterval =
        MediaTime::make(1, static_cast<std::int32_t>(std::clamp(framesPerSecond, minimumFrameRate, maximumFrameRate)));
    settings.queueDepth = queueDepth;
    settings.showsCursor = true;
    settings.capturesAudio = false;
    return settings;
}

asio::awaitable<ScreenCaptureService::CaptureSize>
ScreenCaptureService::startCapture(VideoStreamConfiguration configuration) {
    return keepAlive(shared_from_this(), startCaptureBody(configuration));
}

asio::awaitable<void> ScreenCaptureService::stopCapture() { return keepAlive(shared_from_this(), stopCaptureBody()); }

asio::awaitable<ScreenCaptureService::CaptureSize>
ScreenCaptureService::startCaptureBody(VideoStreamConfiguration configuration) {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    // One operation at a time: a second start must find the stream the first
    // made, and a stop must stop what a start in progress makes.
    co_await operations_.acquire();
    FifoLock::Holder holder(operations_);
    const auto worker = worker_.get_executor();
    const std::shared_ptr<CaptureBackend> backend = backend_;

    auto preflight = [this, backend] {
        releaseRetiredStreams();
        return backend->preflight();
    };
    if (!co_await callOnWorker(worker, preflight)) {
        throw CaptureError(CaptureError::Case::screenRecordingPermissionDenied);
    }
    ShareableContent content;
    std::exception_ptr failure;
    try {
        auto fetch = [backend] { return backend->shareableContent(); };
        content = co_await callOnWorker(worker, fetch);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(co_await explainFailure(failure));

    if (content.displays.empty()) throw CaptureError(CaptureError::Case::noDisplay);
    CaptureDisplay display = content.displays.front();
    for (const CaptureDisplay& candidate : content.displays) {
        if (content.mainDisplayID && candidate.displayID == *content.mainDisplayID) {
            display = candidate;
            break;
        }
    }
    const PointsSize points{std::max(display.width, minimumPoints), std::max(display.height, minimumPoints)};
    const std::int64_t pixelWidth = std::max(points.width, display.pixelWidth);
    const std::int64_t pixelHeight = std::max(points.height, display.pixelHeight);
    const VideoStreamConfiguration::Size capture = configuration.fittedSize(pixelWidth, pixelHeight);
    const CaptureStreamSettings settings =
        makeStreamConfiguration(capture.width, capture.height, configuration.framesPerSecond);
    const CaptureSize result{capture.width, capture.height, points.width, points.height};

    std::shared_ptr<CaptureStream> running;
    bool sameDisplay = false;
    {
        std::lock_guard guard(stateLock_);
        running = stream_;
        sameDisplay = running && activeDisplay_ && activeDisplay_->displayID == display.displayID;
        if (sameDisplay) sourceDisplayPointsSize_ = points;
    }
    if (sameDisplay) {
        auto update = [running, settings] { running->update(settings); };
        co_await callOnWorker(worker, update);
        co_return result;
    }
    if (running) co_await stopCurrent();

    auto make = [this, backend, display, settings] {
        return std::shared_ptr<CaptureStream>(backend->makeStream(display, settings, *this));
    };
    const std::shared_ptr<CaptureStream> stream = co_await callOnWorker(worker, make);
    {
        std::lock_guard guard(stateLock_);
        activeDisplay_ = display;
        sourceDisplayPointsSize_ = points;
        windowFrames_ = 0;
        windowStartNs_ = uptime_();
        startingIdentity_ = stream->identity();
        startingStreamStopped_ = nullptr;
    }
    try {
        auto start = [stream] {
            try {
                stream->start();
            } catch (...) {
                stream->stop();
                throw;
            }
        };
        co_await callOnWorker(worker, start);
    } catch (...) {
        failure = std::current_exception();
    }
    {
        std::lock_guard guard(stateLock_);
        // A stream that ended before it was stored never became the current one.
        if (!failure && startingStreamStopped_) failure = startingStreamStopped_;
        if (!failure) {
            stream_ = stream;
            streamIdentity_ = stream->identity();
        }
        startingIdentity_ = 0;
        startingStreamStopped_ = nullptr;
    }
    if (failure) {
        auto stop = [stream] { stream->stop(); };
        co_await callOnWorker(worker, stop);
        std::rethrow_exception(co_await explainFailure(failure));
    }
    co_return result;
}

asio::awaitable<void> ScreenCaptureService::stopCaptureBody() {
    VELORINTH_ASSERT_ON_LOOP(executor_);
    co_await operations_.acquire();
    FifoLock::Holder holder(operations_);
    co_await stopCurrent();
}

asio::awaitable<void> ScreenCaptureService::stopCurrent() {
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard guard(stateLock_);
        stream = std::move(stream_);
        streamIdentity_ = 0;
        activeDisplay_.reset();
        measuredCapturedFPS_ = 0;
        windowFrames_ = 0;
    }
    if (!stream) co_return;
    auto stop = [this, stream = std::move(stream)]() mutable {
        try {
            stream->stop();
        } catch (...) {
            // Stopping cannot fail the caller: the service is idle all the same.
        }
        stream.reset();
        releaseRetiredStreams();
    };
    co_await callOnWorker(worker_.get_executor(), stop);
}

asio::awaitable<std::exception_ptr> ScreenCaptureService::explainFailure(std::exception_ptr error) {
    const std::shared_ptr<CaptureBackend> backend = backend_;
    auto preflight = [backend] { return backend->preflight(); };
    if (co_await callOnWorker(worker_.get_executor(), preflight)) co_return error;
    co_return std::make_exception_ptr(CaptureError(CaptureError::Case::screenRecordingPermissionDenied));
}

void ScreenCaptureService::releaseRetiredStreams() {
    std::vector<std::shared_ptr<CaptureStream>> retired;
    {
        std::lock_guard guard(stateLock_);
        retired.swap(retired_);
    }
    for (const auto& stream : retired) {
        try {
            stream->stop();
        } catch (...) {
        }
    }
}

ScreenCaptureService::Statistics ScreenCaptureService::captureStatistics() {
    std::lock_guard guard(stateLock_);
    const std::uint64_t now = uptime_();
    if (secondsBetween(windowStartNs_, now) * 1e9 >= static_cast<double>(idleDecayNs) && windowFrames_ == 0) {
        measuredCapturedFPS_ = 0;
        windowStartNs_ = now;
    }
    return {capturedCount_, measuredCapturedFPS_};
}

bool ScreenCaptureService::isCapturing() {
    std::lock_guard guard(stateLock_);
    return stream_ != nullptr;
}

void ScreenCaptureService::setOnSampleBuffer(SampleHandler handler) {
    std::lock_guard guard(stateLock_);
    onSampleBuffer_ = std::move(handler);
}

void ScreenCaptureService::setOnStreamStoppedWithError(StoppedHandler handler) {
    std::lock_guard guard(stateLock_);
    onStreamStoppedWithError_ = std::move(handler);
}

void ScreenCaptureService::captureStreamDidOutputSample(const VideoSampleBuffer& sample) {
    if (sample.outputType != CaptureOutputType::screen || !sample.isValid || !sample.isDataReady || !sample.image ||
        sample.frameStatus != VideoSampleBuffer::kFrameStatusComplete) {
        return;
    }
    SampleHandler handler;
    PointsSize points;
    {
        std::lock_guard guard(stateLock_);
        if (!stream_ || sample.streamIdentity != streamIdentity_) return;
        ++capturedCount_;
        ++windowFrames_;
        const std::uint64_t now = uptime_();
        const double elapsed = secondsBetween(windowStartNs_, now);
        if (elapsed * 1e9 >= static_cast<double>(rateWindowNs)) {
            measuredCapturedFPS_ = static_cast<double>(windowFrames_) / elapsed;
            windowFrames_ = 0;
            windowStartNs_ = now;
        }
        points = sourceDisplayPointsSize_;
        handler = onSampleBuffer_;
    }
    if (!handler) return;
    try {
        handler(sample, points);
    } catch (...) {
        // A sample the owner could not use is lost, as one it drops.
    }
}

void ScreenCaptureService::captureStreamDidStop(std::uint64_t streamIdentity, std::exception_ptr error) {
    StoppedHandler handler;
    bool wasCurrent = false;
    {
        std::lock_guard guard(stateLock_);
        if (stream_ && streamIdentity == streamIdentity_) {
            retired_.push_back(std::move(stream_));
            streamIdentity_ = 0;
            activeDisplay_.reset();
            measuredCapturedFPS_ = 0;
            windowFrames_ = 0;
            handler = onStreamStoppedWithError_;
            wasCurrent = true;
        } else if (startingIdentity_ != 0 && streamIdentity == startingIdentity_) {
            startingStreamStopped_ = error;
        }
    }
    if (!wasCurrent || !handler) return;
    try {
        handler(error);
    } catch (...) {
    }
}

} // namespace velorinth
