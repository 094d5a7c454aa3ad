#pragma once

// The host relay bench's rig: the server port as built, measuring where
// frames reach the server; synthetic frames stamped when made; and a
// capture-like thread at 60 frames a second.

#include "BenchSupport.hpp"
#include "ObservedServerPort.hpp"

#include "core/WorkerCall.hpp"
#include "host/model/CaptureServicePort.hpp"
#include "host/model/SessionServerAdapter.hpp"
#include "host/model/VideoEncoderPort.hpp"
#include "platform/crypto/SecureRandom.hpp"

#include <asio/post.hpp>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace velorinth::bench {

inline constexpr std::size_t kFrameBytes = 40 * 1024, kKeyframeBytes = 200 * 1024;
inline constexpr std::uint64_t kKeyframeEvery = 60;
inline constexpr auto kFrameInterval = std::chrono::microseconds(16'667);
inline constexpr auto kWindow = 1500ms;

inline std::uint64_t nowNs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

// Latencies from the synthetic encoder's stamp (the frame's capture timestamp) to the
// start of its distribution, and the sessions reports, while recording.
struct Relay {
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<bool> recording{false};
    std::atomic<std::uint64_t> reports{0};

    void record(const EncodedVideoFrame& frame) {
        if (!recording) return;
        const double ms = double(nowNs() - frame.captureTimestampNs) / 1e6;
        std::lock_guard guard(mutex);
        latencies.push_back(ms);
    }
};

// The server port as built, recording each frame as it reaches the server
// and counting the sessions reports.
inline std::shared_ptr<ObservedServerPort> measuringServer(std::shared_ptr<SessionServerAdapter> inner,
                                                          std::shared_ptr<Relay> relay) {
    return std::make_shared<ObservedServerPort>(
        std::move(inner), [relay](const EncodedVideoFrame& frame) { relay->record(frame); },
        [relay](HostSessionCallbacks callbacks) {
            callbacks.onSessionsChanged = [relay, forward = std::move(callbacks.onSessionsChanged)](
                                              const std::vector<ActiveSessionDescriptor>& sessions) {
                if (relay->recording) ++relay->reports;
                forward(sessions);
            };
            return callbacks;
        });
}

// Synthetic frames, stamped when made.
class SyntheticEncoder final : public VideoEncoderPort {
public:
    SyntheticEncoder(const Uuid& id, std::uint64_t generation) : id_(id), generation_(generation) {}
    Uuid streamID() const override { return id_; }
    void updateConfiguration(const VideoStreamConfiguration&, std::optional<std::uint64_t> generation) override {
        std::lock_guard guard(mutex_);
        if (generation) generation_ = *generation;
    }
    void requestKeyframe() override {}
    void prepare(int, int) override {}
    void invalidate() override {}
    Statistics statistics() override { return {}; }
    std::optional<EncodedVideoFrame> encode(const VideoSampleBuffer&, SourceSize) override {
        std::lock_guard guard(mutex_);
        return make(id_, generation_, sequence_++);
    }
    static EncodedVideoFrame make(const Uuid& id, std::uint64_t generation, std::uint64_t sequence) {
        static const Bytes frameBytes = randomBytes(kFrameBytes), keyframeBytes = randomBytes(kKeyframeBytes);
        EncodedVideoFrame frame;
        frame.streamID = id;
        frame.generation = generation;
        frame.sequence = sequence;
        frame.isKeyframe = sequence % kKeyframeEvery == 0;
        frame.payload = frame.isKeyframe ? keyframeBytes : frameBytes;
        frame.durationUs = 16'667;
        frame.width = frame.sourceDisplayWidth = 1280;
        frame.height = frame.sourceDisplayHeight = 720;
        frame.captureTimestampNs = nowNs();
        return frame;
    }

private:
    std::mutex mutex_;
    const Uuid id_;
    std::uint64_t generation_;
    std::uint64_t sequence_ = 0;
};

// A capture-like thread at 60 frames a second. In reference mode it skips the
// model and posts each frame straight to the server's loop.
class PacedCapture final : public CaptureServicePort {
public:
    PacedCapture(std::shared_ptr<ObservedServerPort>* server) : server_(server) {}
    ~PacedCapture() override { halt(); }

    std::atomic<bool> reference{false};

    asio::awaitable<CaptureSize> startCapture(VideoStreamConfiguration) override {
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        co_return CaptureSize{1280, 720, 1280, 720};
    }
    asio::awaitable<void> stopCapture() override {
        halt();
        co_return;
    }
    Statistics captureStatistics() override { return {}; }
    bool isCapturing() override { return thread_.joinable(); }
    void setOnSampleBuffer(SampleHandler handler) override {
        std::lock_guard guard(mutex_);
        handler_ = std::move(handler);
    }
    void setOnStreamStoppedWithError(StoppedHandler) override {}

private:
    void halt() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        stopping_ = false;
    }
    void run() {
        const Uuid referenceID = Uuid::random();
        std::uint64_t sequence = 0;
        for (auto tick = Clock::now(); !stopping_; tick += kFrameInterval) {
            std::this_thread::sleep_until(tick);
            if (reference) {
                auto frame =
                    std::make_shared<const EncodedVideoFrame>(SyntheticEncoder::make(referenceID, 1, sequence++));
                const std::shared_ptr<ObservedServerPort> server = *server_;
                asio::post(server->loopExecutor(), [server, frame] { server->distributeVideoFrameOnLoop(frame); });
                continue;
            }
            SampleHandler handler;
            {
                std::lock_guard guard(mutex_);
                handler = handler_;
            }
            if (handler) handler(VideoSampleBuffer{}, {1280, 720});
        }
    }

    std::shared_ptr<ObservedServerPort>* server_;
    std::mutex mutex_;
    SampleHandler handler_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
} // namespace velorinth::bench
