#include "platform/linux/X11CaptureStream.hpp"

#include "core/Uptime.hpp"
#include "platform/CaptureBackendError.hpp"
#include "platform/FramePacer.hpp"

#include <pthread.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace velorinth {

namespace {

using Case = CaptureBackendError::Case;

void checkSettings(const CaptureStreamSettings& settings) {
    if (settings.width < 1 || settings.height < 1 || settings.width > PixelBuffer::kMaximumSide ||
        settings.height > PixelBuffer::kMaximumSide) {
        throw std::invalid_argument("capture size out of range");
    }
}

} // namespace

std::atomic<std::uint64_t> X11CaptureStream::lastIdentity_{0};

X11CaptureStream::X11CaptureStream(std::string displayName, std::uint32_t displayID,
                                   const CaptureStreamSettings& settings, CaptureStreamOutput& output)
    : displayName_(std::move(displayName)), displayID_(displayID), output_(output), identity_(++lastIdentity_),
      settings_(settings) {
    checkSettings(settings);
}

X11CaptureStream::~X11CaptureStream() { stop(); }

void X11CaptureStream::start() {
    if (thread_.joinable()) return;
    display_ = std::make_unique<X11DisplayConnection>(displayName_);
    display_->requireTrueColor();
    const std::optional<X11Rectangle> rectangle = display_->displayRectangle(displayID_);
    if (!rectangle) throw CaptureBackendError(Case::displayNotFound);
    rectangle_ = *rectangle;
    grabber_ = std::make_unique<X11ScreenGrabber>(*display_, settings_.showsCursor);
    apply(settings_);
    // One read now, so a display that cannot be read fails the start itself.
    // It is the first sample's picture, and the converter is made while the
    // server copies it.
    startGrabUs_ = steadyUptimeNs() / 1000;
    startImage_ = grabber_->grab(rectangle_, [this] { makeConverter(rectangle_.width, rectangle_.height); });
    thread_ = std::thread([this] { run(); });
}

void X11CaptureStream::update(const CaptureStreamSettings& settings) {
    checkSettings(settings);
    std::lock_guard guard(mutex_);
    pending_ = settings;
}

void X11CaptureStream::stop() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (!thread_.joinable()) return;
    // Only a stop report's receiver could call this from the thread itself; it then ends on its own.
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    thread_.join();
}

void X11CaptureStream::apply(const CaptureStreamSettings& settings) {
    settings_ = settings;
    startImage_.reset(); // changed before the first tick: it reads again
    if (!pool_ || pool_->width() != settings.width || pool_->height() != settings.height) {
        pool_ = std::make_unique<PixelBufferPool>(settings.width, settings.height,
                                                  static_cast<std::size_t>(std::max(settings.queueDepth, 1)));
    }
}

std::chrono::steady_clock::duration X11CaptureStream::interval() const {
    const MediaTime& every = settings_.minimumFrameInterval;
    if (!every.isNumeric() || every.value <= 0) return std::chrono::seconds(1) / 60;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(every.seconds()));
}

void X11CaptureStream::run() {
    pthread_setname_np(pthread_self(), kThreadName);
    FramePacer pacer(std::chrono::steady_clock::now());
    try {
        while (true) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait_until(lock, pacer.deadline(), [this] { return stopping_; });
                if (stopping_) return;
                if (pending_) {
                    // The output may have moved or changed size meanwhile.
                    const std::optional<X11Rectangle> rectangle = display_->displayRectangle(displayID_);
                    if (!rectangle)
                        throw CaptureBackendError(display_->hasError() ? Case::connectionLost : Case::displayNotFound);
                    rectangle_ = *rectangle;
                    apply(*std::exchange(pending_, std::nullopt));
                }
            }
            captureOne();
            pacer.advance(std::chrono::steady_clock::now(), interval());
        }
    } catch (...) {
        output_.captureStreamDidStop(identity_, std::current_exception());
    }
}

void X11CaptureStream::makeConverter(int sourceWidth, int sourceHeight) {
    if (converter_ && converter_->converts(sourceWidth, sourceHeight, settings_.width, settings_.height)) return;
    converter_.reset();
    converter_ = std::make_unique<BgrxFrameConverter>(sourceWidth, sourceHeight, settings_.width, settings_.height);
}

void X11CaptureStream::captureOne() {
    std::uint64_t grabbedUs = startGrabUs_;
    X11ScreenGrabber::Image image;
    if (startImage_) {
        image = *std::exchange(startImage_, std::nullopt);
    } else {
        grabbedUs = steadyUptimeNs() / 1000;
        image = grabber_->grab(rectangle_);
    }
    makeConverter(image.width, image.height);
    std::shared_ptr<PixelBuffer> buffer = pool_->acquire();
    converter_->convert(image.data, image.stride, *buffer);

    VideoSampleBuffer sample;
    sample.streamIdentity = identity_;
    sample.outputType = CaptureOutputType::screen;
    sample.isValid = true;
    sample.isDataReady = true;
    sample.image = std::move(buffer);
    sample.frameStatus = VideoSampleBuffer::kFrameStatusComplete;
    sample.presentationTime = MediaTime::make(static_cast<std::int64_t>(grabbedUs), 1'000'000);
    sample.duration = MediaTime::invalid(); // the encoder then takes 1/fps
    output_.captureStreamDidOutputSample(sample);
}

} // namespace velorinth
