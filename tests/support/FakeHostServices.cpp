#include "support/FakeHostServices.hpp"

#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace velorinth::testing {

namespace {

// Every call of a real port crosses to the server's loop and back: the fakes
// suspend once too, so the model's operations interleave as they would.
asio::awaitable<void> hop() {
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
}

} // namespace

asio::awaitable<void> Gate::pass() {
    ++waiting;
    while (held) co_await signal_.wait();
    --waiting;
}

void FakeSessionServer::report(ListenerStatus status) {
    asio::post(executor_, [this, status] {
        if (callbacks.onListenerStatus) callbacks.onListenerStatus(status);
    });
}

void FakeSessionServer::reportPublication(bool published) {
    asio::post(executor_, [this, published] {
        if (callbacks.onPublicationChanged) callbacks.onPublicationChanged(published);
    });
}

void FakeSessionServer::reportSessions(std::vector<ActiveSessionDescriptor> sessions) {
    asio::post(executor_, [this, sessions] {
        if (callbacks.onSessionsChanged) callbacks.onSessionsChanged(sessions);
    });
}

std::size_t FakeSessionServer::count(const std::string& call) const {
    return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const std::string& made) {
        return made.rfind(call, 0) == 0;
    }));
}

std::string FakeSessionServer::last(const std::string& prefix) const {
    for (auto call = calls.rbegin(); call != calls.rend(); ++call) {
        if (call->rfind(prefix, 0) == 0) return *call;
    }
    return {};
}

asio::awaitable<void> FakeSessionServer::setCallbacks(HostSessionCallbacks installed) {
    co_await hop();
    calls.emplace_back("setCallbacks");
    callbacks = std::move(installed);
    co_return;
}

asio::awaitable<void> FakeSessionServer::updateHostState(std::optional<DisplayDescriptor> display,
                                                         bool accessibilityGranted,
                                                         std::optional<SavedWakeConfiguration> wake) {
    co_await hop();
    calls.emplace_back("updateHostState");
    hostDisplay = display;
    hostAccessibility = accessibilityGranted;
    if (wake) wakeConfiguration = std::move(wake);
    co_return;
}

asio::awaitable<void> FakeSessionServer::updateWakeConfiguration(SavedWakeConfiguration wake) {
    co_await hop();
    calls.emplace_back("updateWakeConfiguration");
    wakeConfiguration = std::move(wake);
    co_return;
}

asio::awaitable<void> FakeSessionServer::startListening(std::uint16_t port, bool) {
    co_await hop();
    calls.push_back("startListening " + std::to_string(port));
    co_await startGate.pass();
    if (startFailures > 0) {
        --startFailures;
        throw std::runtime_error("start failure " + std::to_string(++startFailuresThrown));
    }
    if (listening) co_return; // as the server: a start while a listener exists does nothing
    listening = true;
    listenPorts.push_back(port);
    if (advertisedPort) report(ListenerStatus::advertising(*advertisedPort != 0 ? *advertisedPort : port));
}

asio::awaitable<void> FakeSessionServer::stop() {
    co_await hop();
    calls.emplace_back("stop");
    if (listening && reportsStop) report(ListenerStatus::stopped());
    listening = false;
    co_return;
}

asio::awaitable<void> FakeSessionServer::reportSystemSleep(Date) {
    co_await hop();
    calls.emplace_back("reportSystemSleep");
    co_return;
}

asio::awaitable<void> FakeSessionServer::distributeVideoFrame(std::shared_ptr<const EncodedVideoFrame> frame) {
    co_await hop();
    frames.push_back(std::move(frame));
    co_return;
}

asio::awaitable<void> FakeSessionServer::stopAllVideoStreams(VideoStreamStopReason reason, std::string detail) {
    co_await hop();
    calls.emplace_back("stopAllVideoStreams");
    streamsStopped.emplace_back(reason, std::move(detail));
    co_return;
}

asio::awaitable<bool> FakeSessionServer::hasStreamingViewer() {
    co_await hop();
    calls.emplace_back("hasStreamingViewer");
    co_await viewerGate.pass();
    co_return streamingViewer;
}

asio::awaitable<SessionServerPort::OutboundVideoStatistics> FakeSessionServer::outboundVideoStatistics() {
    co_await hop();
    co_return OutboundVideoStatistics{2, 100, 5};
}

asio::awaitable<void> FakeSessionServer::resolvePendingPairing(bool approved, Uuid pairingID) {
    co_await hop();
    resolutions.emplace_back(approved, pairingID);
    co_return;
}

asio::awaitable<void> FakeSessionServer::revokeDevice(Uuid deviceID) {
    co_await hop();
    calls.emplace_back("revokeDevice");
    if (auto failure = std::exchange(nextDeviceFailure, nullptr)) std::rethrow_exception(failure);
    if (mirrorsTrustStore) trust_->revoke(deviceID);
    revocations.push_back(deviceID);
    co_return;
}

asio::awaitable<void> FakeSessionServer::updateDevicePermissions(Uuid deviceID, DevicePermissions permissions) {
    co_await hop();
    calls.emplace_back("updateDevicePermissions");
    if (auto failure = std::exchange(nextDeviceFailure, nullptr)) std::rethrow_exception(failure);
    if (mirrorsTrustStore) trust_->updatePermissions(deviceID, permissions);
    permissionUpdates.emplace_back(deviceID, permissions);
    co_return;
}

asio::awaitable<void> FakeSessionServer::disconnectSession(Uuid deviceID, std::string reason) {
    co_await hop();
    calls.emplace_back("disconnectSession");
    disconnects.emplace_back(deviceID, std::move(reason));
    co_return;
}

asio::awaitable<void> FakeSessionServer::disconnectAll(std::string reason) {
    co_await hop();
    calls.emplace_back("disconnectAll");
    disconnects.emplace_back(Uuid(), std::move(reason));
    co_return;
}

void FakeCaptureService::deliverSample() {
    SampleHandler handler;
    {
        std::lock_guard guard(mutex_);
        handler = sampleHandler_;
    }
    if (!handler) return;
    VideoSampleBuffer sample;
    auto picture = std::make_shared<const PixelBuffer>(64, 64);
    const std::weak_ptr<const PixelBuffer> held = picture;
    sample.image = std::move(picture);
    handler(sample, PointsSize{size.pointsWidth, size.pointsHeight});
    sample.image.reset();
    // The model encodes on a thread of its own: the sample is through once its
    // picture is let go, encoded and its frame handed on, or dropped.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!held.expired()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << "a delivered sample was never encoded or dropped";
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

bool FakeCaptureService::hasSampleHandler() {
    std::lock_guard guard(mutex_);
    return static_cast<bool>(sampleHandler_);
}

CaptureServicePort::StoppedHandler FakeCaptureService::stoppedHandler() {
    std::lock_guard guard(mutex_);
    return stoppedHandler_;
}

asio::awaitable<CaptureServicePort::CaptureSize> FakeCaptureService::startCapture(VideoStreamConfiguration) {
    co_await hop();
    ++starts;
    co_await startGate.pass();
    if (auto failure = std::exchange(nextStartFailure, nullptr)) std::rethrow_exception(failure);
    capturing = true;
    co_return size;
}

asio::awaitable<void> FakeCaptureService::stopCapture() {
    co_await hop();
    ++stops;
    capturing = false;
    co_await stopGate.pass();
}

void FakeCaptureService::setOnSampleBuffer(SampleHandler handler) {
    std::lock_guard guard(mutex_);
    sampleHandler_ = std::move(handler);
}

void FakeCaptureService::setOnStreamStoppedWithError(StoppedHandler handler) {
    std::lock_guard guard(mutex_);
    stoppedHandler_ = std::move(handler);
}

VideoEncoderPort::Factory FakeVideoEncoder::factory(std::shared_ptr<std::vector<std::shared_ptr<FakeVideoEncoder>>> made) {
    return [made](const Uuid& streamID, std::uint64_t generation, const VideoStreamConfiguration& configuration) {
        auto encoder = std::make_shared<FakeVideoEncoder>(streamID, generation, configuration);
        made->push_back(encoder);
        return encoder;
    };
}

void FakeVideoEncoder::updateConfiguration(const VideoStreamConfiguration& updated,
                                           std::optional<std::uint64_t> newGeneration) {
    std::lock_guard guard(mutex);
    configuration = updated;
    if (newGeneration) {
        generation = *newGeneration;
        sequence = 0;
    }
    keyframePending = true;
    ++updates;
}

void FakeVideoEncoder::requestKeyframe() {
    std::lock_guard guard(mutex);
    keyframePending = true;
    ++keyframeRequests;
}

void FakeVideoEncoder::invalidate() {
    std::lock_guard guard(mutex);
    invalidated = true;
}

std::optional<EncodedVideoFrame> FakeVideoEncoder::encode(const VideoSampleBuffer&, SourceSize sourceDisplaySize) {
    std::function<void()> during;
    {
        std::lock_guard guard(mutex);
        during = whileEncoding;
    }
    if (during) during();
    std::lock_guard guard(mutex);
    if (invalidated) return std::nullopt;
    EncodedVideoFrame frame;
    frame.streamID = streamID_;
    frame.generation = generation;
    frame.sequence = sequence++;
    frame.isKeyframe = std::exchange(keyframePending, false);
    frame.payload = Bytes(64, 0x5A); // stands for the access unit
    frame.width = 640;
    frame.height = 360;
    frame.sourceDisplayWidth = sourceDisplaySize.width;
    frame.sourceDisplayHeight = sourceDisplaySize.height;
    return frame;
}

} // namespace velorinth::testing
