#pragma once

#include "core/Uptime.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "platform/MediaTime.hpp"
#include "platform/PixelBuffer.hpp"
#include "platform/VideoCompressionSession.hpp"
#include "platform/VideoSampleBuffer.hpp"
#include "transport/video/VideoEncoderError.hpp"
#include "transport/video/VideoEncoderValueTypes.hpp"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace velorinth {

// Turns captured pictures into H.264 access units, one synchronous call per
// picture, with the stream's identity, generation, sequence and parameter
// sets. Any thread: one lock guards the state and is released while the
// codec works, so invalidate() or a new configuration may meet a running
// encode (which then keeps the session and generation it started with).
class DesktopVideoEncoder {
public:
    using Statistics = VideoEncoderStatistics;
    // The captured display's size in points.
    using SourceSize = VideoSourceDisplaySize;

    using EncodedFrameHandler = std::function<void(const EncodedVideoFrame&)>;

    static constexpr std::int64_t maxInFlightFrames = 2;
    static constexpr int minimumWidth = 64, maximumWidth = 7680;
    static constexpr int minimumHeight = 64, maximumHeight = 4320;
    static constexpr std::uint64_t rateWindowNs = 500'000'000;

    // The largest frame the host's fragmenter accepts at the stream's chunk
    // size; the codec keeps its keyframes under it.
    static std::int64_t frameByteLimit(const VideoStreamConfiguration& configuration);

    DesktopVideoEncoder(Uuid streamID, std::uint64_t generation, VideoStreamConfiguration configuration,
                        VideoCompressionSession::Factory sessionFactory = VideoCompressionSession::defaultFactory(),
                        UptimeClock uptime = steadyUptimeNs);
    // Invalidates first.
    ~DesktopVideoEncoder();
    DesktopVideoEncoder(const DesktopVideoEncoder&) = delete;
    DesktopVideoEncoder& operator=(const DesktopVideoEncoder&) = delete;

    const Uuid streamID;

    // Does nothing once invalidated. With a generation, the sequence restarts
    // at 0 and any presentation time is accepted next. Always forces a
    // keyframe from a new compression session.
    void updateConfiguration(const VideoStreamConfiguration& configuration, std::optional<std::uint64_t> generation);
    void requestKeyframe();
    void invalidate();
    Statistics statistics();
    // Called with each produced frame on the encoding thread, outside the
    // lock, just before encode returns it.
    void setOnEncodedFrame(EncodedFrameHandler handler);

    // Opens the compression session for pictures of this size now, when none
    // is open or opening, so that the first picture need not wait for the
    // codec: the host calls it off the capture thread once it knows the
    // capture size. The codec opens outside the lock; an encode meanwhile
    // waits for it rather than opening a second session, and a session opened
    // for a configuration that changed meanwhile is dropped. Throws
    // VideoEncoderError(sessionCreationFailed) when the codec refuses.
    void prepareSession(int width, int height);

    // None when the sample was dropped (timestamp order, in-flight cap) or
    // gave no output. Throws VideoEncoderError.
    std::optional<EncodedVideoFrame> encode(const VideoSampleBuffer& sample,
                                            std::optional<SourceSize> sourceDisplaySize, bool forceKeyframe = false);
    std::optional<EncodedVideoFrame> encode(const PixelBuffer& image, MediaTime presentationTime, MediaTime duration,
                                            std::optional<SourceSize> sourceDisplaySize, bool forceKeyframe = false);

private:
    struct ParameterSets {
        std::uint8_t nalUnitHeaderLength = 4;
        std::vector<Bytes> sps;
        std::vector<Bytes> pps;
    };

    static std::optional<ParameterSets> extractParameterSets(const VideoCompressionSession::Frame& frame);
    // Lock held.
    VideoCompressionSession::Settings sessionSettings(int width, int height) const;
    void makeSession(int width, int height);
    void installSession(std::shared_ptr<VideoCompressionSession> session, int width, int height);
    void dropSession();
    void updateRateWindow(std::uint64_t uptimeNs);
    void applyParameterSets(const ParameterSets& sets);
    void forceKeyframeAfterLoss();
    void endInFlight();

    const VideoCompressionSession::Factory sessionFactory_;
    const UptimeClock uptime_;

    std::mutex lock_;
    std::condition_variable sessionOpened_; // a prepared session's open ended
    std::shared_ptr<VideoCompressionSession> session_;
    bool opening_ = false;
    std::uint64_t sessionEpoch_ = 0; // raised whenever the session in force is dropped
    std::uint64_t generation_;
    VideoStreamConfiguration configuration_;
    int activeWidth_ = 0;
    int activeHeight_ = 0;
    std::uint64_t nextSequence_ = 0;
    std::uint32_t codecConfigVersion_ = 0;
    std::optional<H264CodecConfiguration> cachedCodecConfig_;
    std::vector<Bytes> lastSPS_;
    std::vector<Bytes> lastPPS_;
    bool forceKeyframeNext_ = true;
    std::optional<std::int64_t> lastPTSUs_;
    std::int64_t inFlightCount_ = 0;
    bool isInvalidated_ = false;
    std::uint64_t droppedFrameCounter_ = 0;
    std::int64_t encodedBytesWindow_ = 0;
    std::int64_t encodedFramesWindow_ = 0;
    std::uint64_t windowStartNs_;
    double measuredEncodedFPS_ = 0;
    double measuredBitrateBps_ = 0;
    std::optional<double> lastEncodeDurationMs_;
    EncodedFrameHandler onEncodedFrame_;
};

} // namespace velorinth
