#pragma once

#include "platform/CaptureStream.hpp"
#include "platform/PixelBufferPool.hpp"
#include "platform/linux/BgrxFrameConverter.hpp"
#include "platform/linux/X11DisplayConnection.hpp"
#include "platform/linux/X11ScreenGrabber.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace velorinth {

// Captures one RandR output (or the root screen) of an X display on a thread
// of its own, over a connection of its own: each tick on steady_clock
// deadlines it grabs the output's rectangle, draws the pointer in, converts
// to NV12 at the stream's size and hands the sample over synchronously. A
// late tick takes its frame at once; only a slot whose whole interval passed
// is skipped (FramePacer). A lost connection or a failed grab ends the thread
// with one stop report.
class X11CaptureStream final : public CaptureStream {
public:
    static constexpr const char* kThreadName = "velorinth.capt"; // Linux allows 15 characters

    X11CaptureStream(std::string displayName, std::uint32_t displayID, const CaptureStreamSettings& settings,
                     CaptureStreamOutput& output);
    ~X11CaptureStream() override;
    X11CaptureStream(const X11CaptureStream&) = delete;
    X11CaptureStream& operator=(const X11CaptureStream&) = delete;

    std::uint64_t identity() const override { return identity_; }
    void start() override;
    void update(const CaptureStreamSettings& settings) override;
    void stop() override;

private:
    // Capture thread only, after start.
    void run();
    void captureOne();
    // The converter for pictures of this size into the stream's, unless it is the current one.
    void makeConverter(int sourceWidth, int sourceHeight);
    void apply(const CaptureStreamSettings& settings);
    std::chrono::steady_clock::duration interval() const;

    static std::atomic<std::uint64_t> lastIdentity_;

    const std::string displayName_;
    const std::uint32_t displayID_;
    CaptureStreamOutput& output_;
    const std::uint64_t identity_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::optional<CaptureStreamSettings> pending_;

    // The capture thread's own, once started.
    CaptureStreamSettings settings_;
    std::unique_ptr<X11DisplayConnection> display_;
    std::unique_ptr<X11ScreenGrabber> grabber_;
    std::unique_ptr<BgrxFrameConverter> converter_;
    std::unique_ptr<PixelBufferPool> pool_;
    X11Rectangle rectangle_;
    // The start's read, which the first tick hands over instead of reading again.
    std::optional<X11ScreenGrabber::Image> startImage_;
    std::uint64_t startGrabUs_ = 0;
    std::thread thread_;
};

} // namespace velorinth
