#pragma once

// The paced road of VideoPipelineBench: the host program's own model and
// services (the production environment: capture, encoder thread, session
// server on its loop, the main executor on a thread of its own) streaming a
// display to a tablet over loopback TLS, the tablet decoding as the tablet
// program does. Times come from outside the product: the scene's frame
// counter, read back from each captured and each decoded picture, pairs a
// picture with the moment the X server showed it and with the grab that took
// it; the product's frame stamps are not used.

#include "LoopbackBenchRig.hpp"
#include "VideoPipelineBenchSupport.hpp"

#include "core/EventLoop.hpp"
#include "core/Uptime.hpp"
#include "host/capture/ScreenCaptureService.hpp"
#include "host/model/CaptureServiceAdapter.hpp"
#include "host/model/HostModel.hpp"
#include "host/model/ProductionHostEnvironment.hpp"
#include "support/FakeHostPlatform.hpp"
#include "support/LoopbackListener.hpp"
#include "support/PrivateUserFolders.hpp"
#include "tablet/VideoDecodeOwner.hpp"

#include <pthread.h>

#include <map>
#include <mutex>
#include <unordered_map>

namespace velorinth::bench {

// Where each counter was first grabbed: the grab's start as the capture
// stream stamped it (before the picture was read, so it can only make the
// figure longer), checked against this bench's own clock on arrival.
class GrabLog {
public:
    GrabLog(int screenWidth, int screenHeight) : screenWidth_(screenWidth), screenHeight_(screenHeight) {}

    // The capture thread.
    void sample(const VideoSampleBuffer& sample) {
        if (!sample.image || !sample.presentationTime.isNumeric()) return;
        const std::uint64_t arrivedUs = steadyUptimeNs() / 1000;
        const auto grabbedUs = static_cast<std::uint64_t>(sample.presentationTime.value);
        const std::optional<std::uint32_t> counter = FrameCounter::read(*sample.image, screenWidth_, screenHeight_);
        std::lock_guard guard(mutex_);
        if (!counter || grabbedUs > arrivedUs) {
            ++unread_;
            return;
        }
        grabbed_.emplace(*counter, grabbedUs * 1000);
        if (recording_) handOverMs_.push_back(double(arrivedUs - grabbedUs) / 1000.0);
    }
    // From the grab's start to the sample reaching the service, while recording.
    void record(bool on) {
        std::lock_guard guard(mutex_);
        recording_ = on;
    }
    std::vector<double> takeHandOverMs() {
        std::lock_guard guard(mutex_);
        return std::exchange(handOverMs_, {});
    }
    std::optional<std::uint64_t> grabbedAt(std::uint32_t counter) {
        std::lock_guard guard(mutex_);
        const auto found = grabbed_.find(counter);
        if (found == grabbed_.end()) return std::nullopt;
        return found->second;
    }
    std::uint64_t unread() {
        std::lock_guard guard(mutex_);
        return unread_;
    }

private:
    const int screenWidth_, screenHeight_;
    std::mutex mutex_;
    std::unordered_map<std::uint32_t, std::uint64_t> grabbed_; // counter -> steady uptime ns
    std::uint64_t unread_ = 0;
    bool recording_ = false;
    std::vector<double> handOverMs_;
};

// The X11 back-end, its streams' samples shown to a GrabLog on their way to the service.
class ObservedCaptureBackend final : public CaptureBackend {
public:
    ObservedCaptureBackend(std::shared_ptr<CaptureBackend> inner, std::shared_ptr<GrabLog> log)
        : inner_(std::move(inner)), log_(std::move(log)) {}

    bool preflight() override { return inner_->preflight(); }
    ShareableContent shareableContent() override { return inner_->shareableContent(); }
    std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display, const CaptureStreamSettings& settings,
                                              CaptureStreamOutput& output) override {
        auto observed = std::make_unique<Output>(log_, output);
        auto stream = inner_->makeStream(display, settings, *observed);
        return std::make_unique<Stream>(std::move(stream), std::move(observed));
    }

private:
    struct Output final : CaptureStreamOutput {
        Output(std::shared_ptr<GrabLog> log, CaptureStreamOutput& next) : log(std::move(log)), next(next) {}
        void captureStreamDidOutputSample(const VideoSampleBuffer& sample) override {
            log->sample(sample);
            next.captureStreamDidOutputSample(sample);
        }
        void captureStreamDidStop(std::uint64_t identity, std::exception_ptr error) override {
            next.captureStreamDidStop(identity, std::move(error));
        }
        std::shared_ptr<GrabLog> log;
        CaptureStreamOutput& next;
    };
    // The stream goes before the output it delivers to.
    struct Stream final : CaptureStream {
        Stream(std::unique_ptr<CaptureStream> inner, std::unique_ptr<Output> output)
            : output(std::move(output)), inner(std::move(inner)) {}
        std::uint64_t identity() const override { return inner->identity(); }
        void start() override { inner->start(); }
        void update(const CaptureStreamSettings& settings) override { inner->update(settings); }
        void stop() override { inner->stop(); }
        std::unique_ptr<Output> output;
        std::unique_ptr<CaptureStream> inner;
    };

    std::shared_ptr<CaptureBackend> inner_;
    std::shared_ptr<GrabLog> log_;
};

struct PacedFigures {
    double deliveredFps = 0;
    std::vector<double> grabToDecodedMs, shownToDecodedMs;
    // Parts of the way: the capture stream's grab and conversion, the tablet decoder's own time.
    std::vector<double> grabAndConvertMs, decodeMs;
    std::uint64_t decoded = 0, unreadDecoded = 0;
};

// The host program once, and tablets that come one session at a time.
class PacedRoad {
public:
    PacedRoad(const std::string& display, Scene& scene, std::optional<cpu_set_t> tabletCores)
        : scene_(scene), tabletCores_(tabletCores), grabs_(std::make_shared<GrabLog>(scene.width(), scene.height())) {
        hostLoop_.start();
        if (tabletCores_) {
            // The tablet is another device: its loop, and the decode thread it starts, keep off the host's cores.
            await(
                tabletLoop_,
                [](cpu_set_t cores) -> asio::awaitable<void> {
                    pthread_setaffinity_np(pthread_self(), sizeof cores, &cores);
                    co_return;
                }(*tabletCores_),
                "the tablet's cores");
        }
        ProductionHostOptions options;
        options.displayName = display;
        options.pasteboard = std::make_shared<testing::FakePasteboard>();
        options.windowActivator = std::make_shared<testing::FakeWindowActivator>();
        options.serverOptions.listenerFactory = testing::loopbackListener;
        HostModelEnvironment environment = makeProductionHostEnvironment(hostLoop_, ui_.io.get_executor(), options);
        // The capture exactly as the production factory builds it, over a back-end that watches its samples.
        environment.serviceFactory = [production = std::move(environment.serviceFactory), display,
                                      loop = hostLoop_.executor(), grabs = grabs_](const HostServiceRequest& request) {
            HostServices services = production(request);
            auto backend = std::make_shared<ObservedCaptureBackend>(CaptureBackend::create(display), grabs);
            services.captureService = std::make_shared<CaptureServiceAdapter>(
                std::make_shared<ScreenCaptureService>(loop, std::move(backend)), loop);
            return services;
        };
        await(
            ui_,
            [](PacedRoad* self, HostModelEnvironment environment) -> asio::awaitable<void> {
                self->model_ = std::make_shared<HostModel>(self->identity_, self->trust_, std::move(environment));
                co_await self->model_->start();
            }(this, std::move(environment)),
            "the host to start");
        for (const auto deadline = Clock::now() + kStepLimit; (port_ = advertisedPort()) == 0;) {
            if (Clock::now() > deadline) fail("the host's listener never advertised");
            std::this_thread::sleep_for(10ms);
        }
    }

    ~PacedRoad() {
        await(ui_, model_->sessionServer->stop(), "the host's server to stop");
        await(
            ui_,
            [](PacedRoad* self) -> asio::awaitable<void> {
                self->model_.reset(); // on the UI thread, as the application does
                co_return;
            }(this),
            "the host model to go");
        ui_.halt();
        tabletLoop_.halt();
        hostLoop_.stop();
    }

    // One tablet streams `configuration` for `warmup` and then `measured`.
    PacedFigures session(const VideoStreamConfiguration& configuration, std::uint64_t generation,
                         Clock::duration warmup, Clock::duration measured) {
        const auto tablet = makeTablet(tabletLoop_, kdf_, store_);
        trust_->trust(testing::trustedRecord(tablet->publicIdentity()));
        const DevicePublicIdentity mac = identity_->publicIdentity(identity_->loadOrCreateRecord());
        tablet->hostRecord = testing::trustedRecord(mac);
        tablet->trust->trust(*tablet->hostRecord);
        await(tabletLoop_, connectOnce(tablet.get(), port_, mac.id, HandshakePurpose::reconnect),
              "a tablet to connect");

        struct Seen {
            std::mutex mutex;
            bool recording = false;
            PacedFigures figures;
            std::map<std::uint32_t, bool> counters; // decoded this session
        } seen;
        std::unique_ptr<VideoDecodeOwner> owner;
        const auto onPicture = [&seen, this](const DecodedVideoFrame& frame) {
            const std::uint64_t now = steadyUptimeNs();
            std::optional<std::uint32_t> counter;
            if (frame.pixelBuffer) counter = FrameCounter::read(*frame.pixelBuffer, scene_.width(), scene_.height());
            std::lock_guard guard(seen.mutex);
            if (!seen.recording) return;
            ++seen.figures.decoded;
            seen.figures.decodeMs.push_back(frame.decodeDurationMilliseconds);
            if (!counter) {
                ++seen.figures.unreadDecoded;
                return;
            }
            if (!seen.counters.emplace(*counter, true).second) return; // a repeat of a picture already shown
            if (const auto grabbed = grabs_->grabbedAt(*counter); grabbed && *grabbed <= now)
                seen.figures.grabToDecodedMs.push_back(double(now - *grabbed) / 1e6);
            if (const auto shown = scene_.shownAt(*counter); shown && *shown <= now)
                seen.figures.shownToDecodedMs.push_back(double(now - *shown) / 1e6);
        };
        // Made on the tablet's loop, so its decode thread takes that thread's cores.
        await(
            tabletLoop_,
            [](Loop* loop, Tablet* t, std::unique_ptr<VideoDecodeOwner>* owner, auto onPicture,
               VideoStreamConfiguration c, std::uint64_t g) -> asio::awaitable<void> {
                *owner = std::make_unique<VideoDecodeOwner>(
                    loop->io.get_executor(), VideoDecodeOwner::requesterFor(loop->io.get_executor(), t->session),
                    onPicture);
                t->session->setVideoHandlers([o = owner->get()](const EncodedVideoFrame& frame) { o->submit(frame); },
                                             {});
                co_await t->session->configureVideoStream(c, g);
            }(&tabletLoop_, tablet.get(), &owner, onPicture, configuration, generation),
            "the stream to start");

        std::this_thread::sleep_for(warmup); // the first keyframe, warm caches
        {
            std::lock_guard guard(seen.mutex);
            seen.recording = true;
        }
        grabs_->record(true);
        const auto start = Clock::now();
        std::this_thread::sleep_for(measured);
        PacedFigures figures;
        {
            std::lock_guard guard(seen.mutex);
            seen.recording = false;
            figures = seen.figures;
        }
        grabs_->record(false);
        figures.grabAndConvertMs = grabs_->takeHandOverMs();
        figures.deliveredFps = double(figures.decoded) / std::chrono::duration<double>(Clock::now() - start).count();

        await(tabletLoop_, disconnectOnce(tablet.get()), "the tablet to leave");
        owner.reset();
        // The last viewer gone, the host stops its pipeline; the next session starts from nothing.
        for (const auto deadline = Clock::now() + kStepLimit; capturing();) {
            if (Clock::now() > deadline) fail("the host never stopped streaming");
            std::this_thread::sleep_for(10ms);
        }
        return figures;
    }

    std::uint64_t unreadGrabs() { return grabs_->unread(); }
    // Captured samples the host's encoder thread dropped for newer ones, so far.
    std::uint64_t droppedSamples() {
        return await(
            ui_,
            [](HostModel* m) -> asio::awaitable<std::uint64_t> {
                co_return m->videoPipeline->droppedSamples();
            }(model_.get()),
            "the dropped samples");
    }

private:
    std::uint16_t advertisedPort() {
        return await(
            ui_,
            [](HostModel* m) -> asio::awaitable<std::uint16_t> {
                const ListenerStatus status = m->listenerStatus.get();
                co_return status.kind() == ListenerStatus::Case::advertising ? status.port() : 0;
            }(model_.get()),
            "the listener status");
    }
    bool capturing() {
        return await(
            ui_,
            [](HostModel* m) -> asio::awaitable<bool> {
                co_return m->hostStreamState.get() != VideoStreamState::idle();
            }(model_.get()),
            "the stream state");
    }

    Scene& scene_;
    const std::optional<cpu_set_t> tabletCores_;
    testing::PrivateUserFolders folders_; // the host's preferences and stores
    EventLoop hostLoop_;
    Loop ui_; // the host's main executor
    Loop tabletLoop_;
    asio::thread_pool kdf_{1}, store_{1};
    std::shared_ptr<GrabLog> grabs_;
    std::shared_ptr<DeviceIdentityService> identity_ = identityNamed("Bench Host");
    std::shared_ptr<TrustedDeviceStore> trust_ =
        std::make_shared<TrustedDeviceStore>(std::make_shared<InMemorySecureStore>());
    std::shared_ptr<HostModel> model_;
    std::uint16_t port_ = 0;
};

} // namespace velorinth::bench
