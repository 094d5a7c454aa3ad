#pragma once

#include "core/LoopSignal.hpp"
#include "tablet/VideoDecodeOwner.hpp"
#include "transport/client/FirstFrameGate.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace velorinth {

class AuthenticatedClientSession;
struct SessionTerminationReason;
struct VideoStreamStatusUpdate;

// Where one session's video goes in the tablet program: frames are decoded
// on a decode thread (keyframes asked for at most every 250 ms when the
// decoder needs one), the first picture resolves the attempt's first-frame
// gate, and the last picture is kept for saving.
//
// A session that ends, or a stream the host stops, ends every wait for more
// pictures at once with its reason.
//
// attach, submit, the endings and waitForFrames are loop-only. The decode thread holds
// only the shared counters, never the sink: destroy the sink off the loop,
// since it joins its decode thread.
class DecodedFrameSink {
public:
    using Duration = std::chrono::steady_clock::duration;

    explicit DecodedFrameSink(asio::any_io_executor loop, std::shared_ptr<FirstFrameGate> gate = nullptr);
    DecodedFrameSink(const DecodedFrameSink&) = delete;
    DecodedFrameSink& operator=(const DecodedFrameSink&) = delete;

    // The session keyframes are asked of, once it exists.
    void attach(std::weak_ptr<AuthenticatedClientSession> session);
    // A complete frame from the session.
    void submit(EncodedVideoFrame frame);

    static constexpr const char* kSessionEndedText = "The session ended: ";
    static constexpr const char* kStreamStoppedText = "The desktop video stream stopped: ";

    // The session's end, but for its own disconnect.
    void sessionEnded(const SessionTerminationReason& reason);
    // A stream the host reports inactive.
    void streamStatusChanged(const VideoStreamStatusUpdate& status);
    // Why no picture can come any more, once the session or stream ended.
    const std::optional<std::string>& ending() const noexcept { return shared_->ending; }

    // True once `count` pictures in all were decoded; false when `perFrame`
    // passed without a new one. Error with ending() when the session or the
    // stream ends first; CancellationError when its task is cancelled.
    asio::awaitable<bool> waitForFrames(std::uint64_t count, Duration perFrame);

    std::uint64_t decodedFrames() const;
    std::optional<DecodedVideoFrame> lastFrame() const;

private:
    struct Shared {
        explicit Shared(const asio::any_io_executor& loop) : arrived(loop) {}
        std::mutex lock;
        std::uint64_t decodedFrames = 0;
        std::optional<DecodedVideoFrame> lastFrame;
        std::shared_ptr<FirstFrameGate> gate;
        LoopSignal arrived;                                 // loop only
        std::weak_ptr<AuthenticatedClientSession> session; // loop only
        std::optional<std::string> ending;                  // loop only; the first one stays
    };

    asio::any_io_executor loop_;
    void end(std::string text);

    const std::shared_ptr<Shared> shared_;
    std::unique_ptr<VideoDecodeOwner> owner_; // made with the first frame
};

} // namespace velorinth
