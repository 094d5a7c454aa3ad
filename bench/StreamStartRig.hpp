#pragma once

// A stream's start on the host program's own road, for RemoteConnectBench:
// the host model with the real session server on 127.0.0.1, the real screen
// capture (X11 and MIT-SHM) of a private 1920x1080 Xvfb whose scene changes
// all the time, and the real encoder; a paired tablet that reconnects, asks
// for a 1080p60 stream and decodes on the tablet program's own decode thread.
// Decorators around the capture back-end, the capture port, the encoder and
// the server port note when each stage of the start ends; the round itself is
// timed on the tablet, from outside the host.

#include "BenchHostModel.hpp"
#include "LoopbackBenchRig.hpp"
#include "ObservedServerPort.hpp"
#include "VideoPipelineBenchSupport.hpp"

#include "host/capture/ScreenCaptureService.hpp"
#include "host/model/CaptureServiceAdapter.hpp"
#include "host/model/DesktopVideoEncoderAdapter.hpp"
#include "platform/ScreenRecordingAccess.hpp"
#include "support/PrivateXvfb.hpp"
#include "tablet/DecodedFrameSink.hpp"

#include <array>
#include <atomic>
#include <optional>

namespace velorinth::bench {

// When each stage of one start ended (the first of its kind in the round),
// and how long the blocking steps took. Any thread.
class StartTimeline {
public:
    enum Mark : std::size_t {
        connectCalled,  // the tablet calls the connector
        requestSent,    // its session is up: it asks for the stream
        requestAtHost,  // the server hands the request to the model
        captureStarted, // the capture service's start returned to the model
        firstSample,    // the capture thread hands its first converted sample to the model
        firstEncoded,   // the encoder returned its first frame
        firstAtServer,  // that frame reached the server
        streamActive,   // the tablet hears from the host that the stream is active
        firstReceived,  // the tablet's session put a frame back together
        firstDecoded,   // the tablet program's loop has the first picture
        kMarks
    };
    enum Span : std::size_t {
        grantChecks,   // the back-end's preflight (X connection, a 1x1 read), every call
        displayList,   // the back-end's list of displays (X connection, RandR)
        streamStart,   // the stream's start (X connection, SHM attach, one grab, the converter), up to its thread
        encoderOpen,   // x264 opened at the stream's size
        firstEncode,   // the first encode call (with the open when it was not prepared)
        pictureDecode, // the tablet's decode of its first picture, as the decoder reports it
        kSpans
    };

    void reset() {
        for (auto& mark : marks_) mark = 0;
        for (auto& span : spans_) span = 0;
        grantCheckCount = 0;
        firstServerSequence = -1;
        firstDecodedSequence = -1;
    }
    // True when this was the first such mark of the round.
    bool mark(Mark which) {
        Clock::rep expected = 0;
        return marks_[which].compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
    }
    void add(Span which, Clock::duration duration) { spans_[which] += duration.count(); }
    // Milliseconds from one mark to another; none when either is missing.
    std::optional<double> between(Mark from, Mark to) const {
        const Clock::rep a = marks_[from], b = marks_[to];
        if (a == 0 || b == 0) return std::nullopt;
        return milliseconds(Clock::duration(b - a));
    }
    double spanMs(Span which) const { return milliseconds(Clock::duration(spans_[which].load())); }

    std::atomic<int> grantCheckCount{0};
    std::atomic<std::int64_t> firstServerSequence{-1};
    std::atomic<std::int64_t> firstDecodedSequence{-1};

private:
    std::array<std::atomic<Clock::rep>, kMarks> marks_{};
    std::array<std::atomic<Clock::rep>, kSpans> spans_{};
};

template <class F>
auto timed(StartTimeline& timeline, StartTimeline::Span span, F&& call) {
    const auto start = Clock::now();
    struct Add {
        StartTimeline& timeline;
        StartTimeline::Span span;
        Clock::time_point start;
        ~Add() { timeline.add(span, Clock::now() - start); }
    } add{timeline, span, start};
    return call();
}

// What each decorator below holds: the object it wraps and the timeline it notes into.
template <class Inner>
class TimedDecorator {
public:
    TimedDecorator(std::shared_ptr<Inner> inner, std::shared_ptr<StartTimeline> timeline)
        : inner_(std::move(inner)), timeline_(std::move(timeline)) {}

protected:
    const std::shared_ptr<Inner> inner_;
    const std::shared_ptr<StartTimeline> timeline_;
};

class TimedCaptureStream final : public CaptureStream, private TimedDecorator<CaptureStream> {
public:
    using TimedDecorator::TimedDecorator;
    std::uint64_t identity() const override { return inner_->identity(); }
    void start() override { timed(*timeline_, StartTimeline::streamStart, [&] { inner_->start(); }); }
    void update(const CaptureStreamSettings& settings) override { inner_->update(settings); }
    void stop() override { inner_->stop(); }
};

class TimedCaptureBackend final : public CaptureBackend, private TimedDecorator<CaptureBackend> {
public:
    using TimedDecorator::TimedDecorator;
    bool preflight() override {
        ++timeline_->grantCheckCount;
        return timed(*timeline_, StartTimeline::grantChecks, [&] { return inner_->preflight(); });
    }
    ShareableContent shareableContent() override {
        return timed(*timeline_, StartTimeline::displayList, [&] { return inner_->shareableContent(); });
    }
    std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display, const CaptureStreamSettings& settings,
                                              CaptureStreamOutput& output) override {
        return std::make_unique<TimedCaptureStream>(inner_->makeStream(display, settings, output), timeline_);
    }
};

class TimedCapturePort final : public CaptureServicePort, private TimedDecorator<CaptureServicePort> {
public:
    using TimedDecorator::TimedDecorator;
    asio::awaitable<CaptureSize> startCapture(VideoStreamConfiguration configuration) override {
        const CaptureSize size = co_await inner_->startCapture(configuration);
        timeline_->mark(StartTimeline::captureStarted);
        co_return size;
    }
    asio::awaitable<void> stopCapture() override { return inner_->stopCapture(); }
    Statistics captureStatistics() override { return inner_->captureStatistics(); }
    bool isCapturing() override { return inner_->isCapturing(); }
    void setOnSampleBuffer(SampleHandler handler) override {
        if (!handler) return inner_->setOnSampleBuffer({});
        inner_->setOnSampleBuffer([timeline = timeline_, handler = std::move(handler)](
                                      const VideoSampleBuffer& sample, ScreenCaptureService::PointsSize points) {
            timeline->mark(StartTimeline::firstSample);
            handler(sample, points);
        });
    }
    void setOnStreamStoppedWithError(StoppedHandler handler) override {
        inner_->setOnStreamStoppedWithError(std::move(handler));
    }
};

// The host's real encoder, its x264 opens and its first encode timed.
class TimedEncoder final : public VideoEncoderPort, private TimedDecorator<VideoEncoderPort> {
public:
    using TimedDecorator::TimedDecorator;

    static Factory factory(std::shared_ptr<StartTimeline> timeline) {
        auto sessions = [timeline, open = VideoCompressionSession::defaultFactory()](
                            const VideoCompressionSession::Settings& settings, int& status) {
            return timed(*timeline, StartTimeline::encoderOpen, [&] { return open(settings, status); });
        };
        return [timeline, real = DesktopVideoEncoderAdapter::factory(sessions)](
                   const Uuid& id, std::uint64_t generation, const VideoStreamConfiguration& configuration) {
            return std::make_shared<TimedEncoder>(real(id, generation, configuration), timeline);
        };
    }

    Uuid streamID() const override { return inner_->streamID(); }
    void updateConfiguration(const VideoStreamConfiguration& configuration,
                             std::optional<std::uint64_t> generation) override {
        inner_->updateConfiguration(configuration, generation);
    }
    void requestKeyframe() override { inner_->requestKeyframe(); }
    void prepare(int width, int height) override { inner_->prepare(width, height); }
    void invalidate() override { inner_->invalidate(); }
    Statistics statistics() override { return inner_->statistics(); }
    std::optional<EncodedVideoFrame> encode(const VideoSampleBuffer& sample, SourceSize sourceDisplaySize) override {
        const auto start = Clock::now();
        std::optional<EncodedVideoFrame> frame = inner_->encode(sample, sourceDisplaySize);
        if (frame && timeline_->mark(StartTimeline::firstEncoded)) {
            timeline_->add(StartTimeline::firstEncode, Clock::now() - start);
        }
        return frame;
    }
};

// The host: a private display with a moving scene, and the model on it.
struct StreamStartHost {
    static VideoStreamConfiguration stream() {
        return VideoStreamConfiguration::clamped(Capability::h264, 1920, 1080, 60, 12'000'000, 120, 2'097'152, 32'768);
    }

    explicit StreamStartHost(std::shared_ptr<StartTimeline> t) : timeline(std::move(t)) {
        serverLoop.start();
        const auto backend = std::make_shared<TimedCaptureBackend>(CaptureBackend::create(xvfb.displayName()), timeline);
        HostModelEnvironment environment;
        environment.mainExecutor = main();
        environment.platform = benchHostPlatform(ScreenRecordingAccess::create(backend));
        environment.serviceFactory = [this, backend](const HostServiceRequest& request) {
            capture = std::make_shared<TimedCapturePort>(
                std::make_shared<CaptureServiceAdapter>(
                    std::make_shared<ScreenCaptureService>(serverLoop.executor(), backend), serverLoop.executor()),
                timeline);
            server = std::make_shared<ObservedServerPort>(
                benchSessionServer(serverLoop, identity, request),
                [timeline = timeline](const EncodedVideoFrame& frame) {
                    if (timeline->mark(StartTimeline::firstAtServer)) {
                        timeline->firstServerSequence = static_cast<std::int64_t>(frame.sequence);
                    }
                },
                [timeline = timeline](HostSessionCallbacks callbacks) {
                    callbacks.onVideoStreamRequested = [timeline, forward = std::move(callbacks.onVideoStreamRequested)](
                                                           Uuid device, Uuid session, VideoStreamConfiguration c,
                                                           std::uint64_t generation) {
                        timeline->mark(StartTimeline::requestAtHost);
                        return forward(device, session, c, generation);
                    };
                    return callbacks;
                });
            return benchHostServices(capture, TimedEncoder::factory(timeline), identity, server);
        };
        model = std::make_shared<HostModel>(identity, trust, std::move(environment));
        runOn(main(), model->start(), "the model to start");
        port = advertisedPort(main(), *model);
    }
    ~StreamStartHost() {
        runOn(main(), model->stopVideoStream(VideoStreamState::idle()), "the stream to stop");
        runOn(main(), model->sessionServer->stop(), "the server to stop");
        mainLoop.halt();
        serverLoop.stop();
        model.reset();
    }

    asio::any_io_executor main() { return mainLoop.io.get_executor(); }

    // Waits until no session is left (unless `sessionsMayStay`) and the
    // pipeline has stopped, so the next round starts cold.
    void waitUntilIdle(bool sessionsMayStay = false) {
        for (const auto deadline = Clock::now() + kStepLimit;;) {
            const bool idle = runOn(main(), [](StreamStartHost* h, bool anySessions) -> asio::awaitable<bool> {
                co_return (anySessions || h->model->activeSessionList.get().empty()) &&
                    h->model->hostStreamState.get() == VideoStreamState::idle() && !h->capture->isCapturing() &&
                    !h->model->videoPipeline->encoderBox()->hasEncoder();
            }(this, sessionsMayStay), "the host's state");
            if (idle) return;
            if (Clock::now() > deadline) fail("the host never stopped streaming");
            std::this_thread::sleep_for(1ms);
        }
    }

    std::shared_ptr<StartTimeline> timeline;
    testing::PrivateXvfb xvfb{[] {
        testing::PrivateXvfb::Options options;
        options.screen = "1920x1080x24";
        return options;
    }()};
    Scene scene{xvfb.displayName()};
    // The UI thread's stand-in. It outlives the server's loop, as the host's
    // UI context does: the coroutines that loop still holds hop back to it as
    // they are destroyed.
    Loop mainLoop;
    EventLoop serverLoop;
    std::shared_ptr<DeviceIdentityService> identity = identityNamed("Bench Mac");
    std::shared_ptr<TrustedDeviceStore> trust =
        std::make_shared<TrustedDeviceStore>(std::make_shared<InMemorySecureStore>());
    std::shared_ptr<TimedCapturePort> capture;
    std::shared_ptr<ObservedServerPort> server;
    std::shared_ptr<HostModel> model;
    std::uint16_t port = 0;
};

// One round on the tablet's loop: reconnect, ask for the stream, wait for the
// first picture on the tablet program's sink, leave. The sink is returned so
// its decode thread is joined off the loop.
inline asio::awaitable<std::shared_ptr<DecodedFrameSink>> firstPictureRound(Tablet* tablet, std::uint16_t port,
                                                                           Uuid hostID, StartTimeline* timeline) {
    auto sink = std::make_shared<DecodedFrameSink>(co_await asio::this_coro::executor);
    timeline->mark(StartTimeline::connectCalled);
    co_await connectOnce(tablet, port, hostID, HandshakePurpose::reconnect);
    timeline->mark(StartTimeline::requestSent);
    sink->attach(tablet->session);
    tablet->session->setVideoHandlers(
        [sink, timeline](EncodedVideoFrame frame) {
            timeline->mark(StartTimeline::firstReceived);
            sink->submit(std::move(frame));
        },
        [timeline](const VideoStreamStatusUpdate& status) {
            if (status.active) timeline->mark(StartTimeline::streamActive);
        });
    co_await tablet->session->configureVideoStream(StreamStartHost::stream(), 1);
    if (!co_await sink->waitForFrames(1, kStepLimit)) fail("no picture was decoded");
    timeline->mark(StartTimeline::firstDecoded);
    if (const std::optional<DecodedVideoFrame> picture = sink->lastFrame()) {
        if (picture->width != 1920 || picture->height != 1080) fail("the first picture is not 1920x1080");
        timeline->firstDecodedSequence = static_cast<std::int64_t>(picture->sequence);
        timeline->add(StartTimeline::pictureDecode,
                      std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double, std::milli>(picture->decodeDurationMilliseconds)));
    }
    co_await disconnectOnce(tablet);
    co_return sink;
}

} // namespace velorinth::bench
