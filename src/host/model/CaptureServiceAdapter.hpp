#pragma once

#include "core/WorkerCall.hpp"
#include "host/capture/ScreenCaptureService.hpp"
#include "host/model/CaptureServicePort.hpp"

#include <memory>

namespace velorinth {

// The capture port over the real service, an actor of the event loop: start
// and stop run there, like the server's calls.
class CaptureServiceAdapter final : public CaptureServicePort {
public:
    CaptureServiceAdapter(std::shared_ptr<ScreenCaptureService> service, asio::any_io_executor loop)
        : service_(std::move(service)), loop_(std::move(loop)) {}

    asio::awaitable<CaptureSize> startCapture(VideoStreamConfiguration configuration) override {
        auto operation = [service = service_, configuration] { return service->startCapture(configuration); };
        co_return co_await callOnExecutor(loop_, std::move(operation));
    }
    asio::awaitable<void> stopCapture() override {
        auto operation = [service = service_] { return service->stopCapture(); };
        co_await callOnExecutor(loop_, std::move(operation));
    }
    Statistics captureStatistics() override { return service_->captureStatistics(); }
    bool isCapturing() override { return service_->isCapturing(); }
    void setOnSampleBuffer(SampleHandler handler) override { service_->setOnSampleBuffer(std::move(handler)); }
    void setOnStreamStoppedWithError(StoppedHandler handler) override {
        service_->setOnStreamStoppedWithError(std::move(handler));
    }

private:
    const std::shared_ptr<ScreenCaptureService> service_;
    const asio::any_io_executor loop_;
};

} // namespace velorinth
