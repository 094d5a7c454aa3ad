#pragma once

// The host model's services as fakes that run on the test's loop (which plays
// both the UI thread and the server's loop): each records what it was asked,
// and an await can be held open until the test releases it.

#include "core/LoopSignal.hpp"
#include "host/input/InputInjectorError.hpp"
#include "host/model/BeaconPort.hpp"
#include "host/model/CaptureServicePort.hpp"
#include "host/model/InputInjectorPort.hpp"
#include "host/model/SessionServerPort.hpp"
#include "host/model/VideoEncoderPort.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/this_coro.hpp>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {

// An await the test holds open: hold() parks callers until release().
class Gate {
public:
    explicit Gate(asio::any_io_executor executor) : signal_(std::move(executor)) {}
    bool held = false;
    int waiting = 0;
    asio::awaitable<void> pass();
    void release() {
        held = false;
        signal_.notifyAll();
    }

private:
    LoopSignal signal_;
};

class FakeSessionServer final : public SessionServerPort {
public:
    FakeSessionServer(asio::any_io_executor executor, std::shared_ptr<TrustedDeviceStore> trust)
        : startGate(executor), viewerGate(executor), executor_(executor), trust_(std::move(trust)) {}

    // Every call, in order: "setCallbacks", "updateHostState", "startListening 0", "stop", ...
    std::vector<std::string> calls;
    HostSessionCallbacks callbacks;
    bool listening = false;
    // startListening throws this many times before it succeeds.
    int startFailures = 0;
    int startFailuresThrown = 0; // "start failure N" is the Nth
    bool reportsStop = true;
    // Revocations and permission changes reach the trust store, as the server's do.
    bool mirrorsTrustStore = true;
    // What a start reports: advertising on this port (the asked one when 0), or nothing.
    std::optional<std::uint16_t> advertisedPort = std::uint16_t{0};
    std::vector<std::uint16_t> listenPorts;
    Gate startGate;
    Gate viewerGate; // holds hasStreamingViewer's answer
    bool streamingViewer = false;
    std::optional<DisplayDescriptor> hostDisplay;
    std::optional<bool> hostAccessibility;
    std::optional<SavedWakeConfiguration> wakeConfiguration;
    std::vector<std::pair<VideoStreamStopReason, std::string>> streamsStopped;
    std::vector<std::pair<bool, Uuid>> resolutions;
    std::vector<std::pair<Uuid, DevicePermissions>> permissionUpdates;
    std::vector<Uuid> revocations;
    std::vector<std::pair<Uuid, std::string>> disconnects;
    std::vector<std::shared_ptr<const EncodedVideoFrame>> frames;
    std::exception_ptr nextDeviceFailure; // thrown by the next revoke or permission change

    // Calls a callback as the server does: on the loop, later.
    void report(ListenerStatus status);
    void reportPublication(bool published);
    void reportSessions(std::vector<ActiveSessionDescriptor> sessions);
    std::size_t count(const std::string& call) const;
    // The last call that begins with `prefix`; empty when none did.
    std::string last(const std::string& prefix) const;

    asio::awaitable<void> setCallbacks(HostSessionCallbacks callbacks) override;
    asio::awaitable<void> updateHostState(std::optional<DisplayDescriptor> display, bool accessibilityGranted,
                                          std::optional<SavedWakeConfiguration> wakeConfiguration) override;
    asio::awaitable<void> updateWakeConfiguration(SavedWakeConfiguration wakeConfiguration) override;
    asio::awaitable<void> startListening(std::uint16_t port, bool publishesService) override;
    asio::awaitable<void> stop() override;
    asio::awaitable<void> reportSystemSleep(Date time) override;
    asio::awaitable<void> distributeVideoFrame(std::shared_ptr<const EncodedVideoFrame> frame) override;
    asio::awaitable<void> stopAllVideoStreams(VideoStreamStopReason reason, std::string detail) override;
    asio::awaitable<bool> hasStreamingViewer() override;
    asio::awaitable<OutboundVideoStatistics> outboundVideoStatistics() override;
    asio::awaitable<void> resolvePendingPairing(bool approved, Uuid pairingID) override;
    asio::awaitable<void> revokeDevice(Uuid deviceID) override;
    asio::awaitable<void> updateDevicePermissions(Uuid deviceID, DevicePermissions permissions) override;
    asio::awaitable<void> disconnectSession(Uuid deviceID, std::string reason) override;
    asio::awaitable<void> disconnectAll(std::string reason) override;
    asio::any_io_executor loopExecutor() override { return executor_; }
    void distributeVideoFrameOnLoop(std::shared_ptr<const EncodedVideoFrame> frame) override {
        frames.push_back(std::move(frame));
    }

private:
    asio::any_io_executor executor_;
    std::shared_ptr<TrustedDeviceStore> trust_;
};

class FakeCaptureService final : public CaptureServicePort {
public:
    explicit FakeCaptureService(asio::any_io_executor executor) : startGate(executor), stopGate(executor) {}

    Gate startGate;
    Gate stopGate; // holds a stop once the capture has stopped, as a slow join behind it would
    bool capturing = false;
    int starts = 0;
    int stops = 0;
    CaptureSize size{640, 360, 1280, 720};
    std::exception_ptr nextStartFailure;
    Statistics statistics{42, 30.0};

    // Hands one sample to the installed handler, as the capture thread does,
    // and returns once the model is through with it.
    void deliverSample();
    bool hasSampleHandler();
    StoppedHandler stoppedHandler();

    asio::awaitable<CaptureSize> startCapture(VideoStreamConfiguration configuration) override;
    asio::awaitable<void> stopCapture() override;
    Statistics captureStatistics() override { return statistics; }
    bool isCapturing() override { return capturing; }
    void setOnSampleBuffer(SampleHandler handler) override;
    void setOnStreamStoppedWithError(StoppedHandler handler) override;

private:
    std::mutex mutex_;
    SampleHandler sampleHandler_;
    StoppedHandler stoppedHandler_;
};

class FakeVideoEncoder final : public VideoEncoderPort {
public:
    FakeVideoEncoder(const Uuid& streamID, std::uint64_t generation, const VideoStreamConfiguration& configuration)
        : generation(generation), configuration(configuration), streamID_(streamID) {}

    // A factory that keeps every encoder it made in `made`.
    static Factory factory(std::shared_ptr<std::vector<std::shared_ptr<FakeVideoEncoder>>> made);

    std::mutex mutex;
    std::uint64_t generation;
    VideoStreamConfiguration configuration;
    int keyframeRequests = 0;
    int updates = 0;
    std::vector<std::pair<int, int>> prepared; // the sizes the codec was opened for ahead
    bool invalidated = false;
    std::uint64_t sequence = 0;
    bool keyframePending = true;
    // Called inside each encode, outside the lock (to hold an encode open).
    std::function<void()> whileEncoding;

    Uuid streamID() const override { return streamID_; }
    void updateConfiguration(const VideoStreamConfiguration& configuration,
                             std::optional<std::uint64_t> generation) override;
    void requestKeyframe() override;
    void prepare(int width, int height) override {
        std::lock_guard guard(mutex);
        prepared.emplace_back(width, height);
    }
    void invalidate() override;
    Statistics statistics() override { return {24.0, 1'000'000.0, 3, 1, 4.5}; }
    std::optional<EncodedVideoFrame> encode(const VideoSampleBuffer& sample, SourceSize sourceDisplaySize) override;

private:
    const Uuid streamID_;
};

class FakeInputInjector final : public InputInjectorPort {
public:
    std::optional<InputInjectorError::Case> failure;
    std::vector<std::pair<InputEvent, ContentRect2D>> injected;
    std::atomic<int> releases{0}; // the loop's and the UI thread's

    void inject(const InputEvent& event, const ContentRect2D& displayBounds) override {
        if (failure) throw InputInjectorError(*failure);
        injected.emplace_back(event, displayBounds);
    }
    void releaseAllHeld() override { ++releases; }
};

class FakeBeacon final : public BeaconPort {
public:
    // "start <name> <port>", "stop", "update"
    std::vector<std::string> calls;

    void start(const Uuid&, std::string name, std::uint16_t port, std::vector<std::string>) override {
        calls.push_back("start " + name + " " + std::to_string(port));
    }
    void stop() override { calls.emplace_back("stop"); }
    void updateNetworkInfo(std::vector<std::string>, std::optional<std::uint16_t>) override {
        calls.emplace_back("update");
    }
};

} // namespace velorinth::testing
