#pragma once

#include "core/Uptime.hpp"
#include "core/VideoModels.hpp"
#include "transport/video/DesktopVideoDecoder.hpp"

#include <asio/any_io_executor.hpp>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace velorinth {

class AuthenticatedClientSession;

struct VideoDecodeOwnerOptions {
    // Frames waiting for the decoder; past it the oldest is dropped (the
    // decoder then sees the gap and asks for a keyframe).
    std::size_t queueCapacity = 8;
    UptimeClock uptime = steadyUptimeNs;
};

// Owns a tablet's decoder and the thread it decodes on: complete frames come
// in from the session (on the loop, which must not decode), pictures go out
// on the decode thread. When the decoder cannot go on without a keyframe it
// asks the host for one at once, at most every 250 ms, rather than wait for
// the periodic one.
class VideoDecodeOwner {
public:
    // Runs on the loop.
    using KeyframeRequester = std::function<void(std::uint64_t generation)>;
    // Run on the decode thread.
    using FrameHandler = std::function<void(const DecodedVideoFrame&)>;
    using ErrorHandler = std::function<void(const VideoDecoderError&)>;

    static constexpr std::uint64_t kKeyframeRequestIntervalNs = 250'000'000;
    static constexpr const char* kThreadName = "velorinth.dec";

    using Options = VideoDecodeOwnerOptions;

    VideoDecodeOwner(asio::any_io_executor loop, KeyframeRequester requestKeyframe, FrameHandler onFrame,
                     ErrorHandler onError = {}, Options options = {});
    // Joins the decode thread; frames still waiting are dropped.
    ~VideoDecodeOwner();
    VideoDecodeOwner(const VideoDecodeOwner&) = delete;
    VideoDecodeOwner& operator=(const VideoDecodeOwner&) = delete;

    // Any thread; never blocks on a decode.
    void submit(EncodedVideoFrame frame);
    DesktopVideoDecoder& decoder() noexcept { return decoder_; }
    std::uint64_t droppedFrames();

    // Asks through `session` while it lives; a failed request is dropped (the next error asks again).
    static KeyframeRequester requesterFor(asio::any_io_executor loop,
                                          std::weak_ptr<AuthenticatedClientSession> session);

private:
    void run();
    void decodeOne(const EncodedVideoFrame& frame);

    asio::any_io_executor loop_;
    const KeyframeRequester requestKeyframe_;
    const FrameHandler onFrame_;
    const ErrorHandler onError_;
    const Options options_;
    DesktopVideoDecoder decoder_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<EncodedVideoFrame> waiting_;
    bool stopping_ = false;
    std::uint64_t droppedFrames_ = 0;
    // Decode thread only.
    std::optional<std::uint64_t> lastRequestNs_;
    std::thread thread_;
};

} // namespace velorinth
