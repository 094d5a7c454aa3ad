#pragma once

#include "core/Bytes.hpp"
#include "core/Uptime.hpp"
#include "core/VideoModels.hpp"
#include "platform/VideoDecompressionSession.hpp"
#include "transport/video/DecodedVideoFrame.hpp"
#include "transport/video/VideoDecoderError.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace velorinth {

// Turns the frames of one followed stream into pictures, synchronously. It
// waits for a keyframe after any gap or failure, rebuilds its codec only when
// the parameter sets change, and checks every payload's NAL structure before
// the codec sees it. It only reports: asking the host for a keyframe is its
// owner's business. Any thread; one lock is held for a whole decode.
class DesktopVideoDecoder {
public:
    struct Statistics {
        double measuredDecodedFPS = 0;
        std::uint64_t decoderErrorCount = 0;
        std::optional<double> lastDecodeMs;
        bool operator==(const Statistics&) const = default;
    };

    static constexpr std::int64_t minimumDimension = 64;
    static constexpr std::uint64_t rateWindowNs = 500'000'000;

    explicit DesktopVideoDecoder(UptimeClock uptime = steadyUptimeNs);
    // Invalidates first.
    ~DesktopVideoDecoder();
    DesktopVideoDecoder(const DesktopVideoDecoder&) = delete;
    DesktopVideoDecoder& operator=(const DesktopVideoDecoder&) = delete;

    // Throws VideoDecoderError.
    DecodedVideoFrame decode(const EncodedVideoFrame& frame);
    // Forgets the stream and its parameter sets; the counters stay. Nothing once invalidated.
    void reset();
    void invalidate();
    bool isWaitingForKeyframe();
    Statistics statistics();

    // Length-prefixed NAL units filling `payload` exactly: at least one, each
    // non-empty, with its forbidden bit clear; prefixes of 1, 2 or 4 bytes.
    static bool isStructurallyValid(ByteView payload, int prefixSize);

private:
    using Case = VideoDecoderError::Case;

    // Lock held. Throws the configuration's error.
    void configure(const H264CodecConfiguration& configuration, std::int64_t width, std::int64_t height);
    void dropSession();
    void updateRateWindow(std::uint64_t uptimeNs);
    [[noreturn]] void fail(Case kind, bool counts, bool needsKeyframe, std::int32_t status = 0);

    const UptimeClock uptime_;
    std::mutex lock_;
    std::unique_ptr<VideoDecompressionSession> decompressionSession_;
    std::optional<VideoFormatDescription> formatDescription_;
    std::optional<H264CodecConfiguration> activeCodecConfig_;
    std::optional<Uuid> activeStreamID_;
    std::uint64_t activeGeneration_ = 0;
    std::optional<std::uint64_t> lastDecodedSequence_;
    bool needsKeyframe_ = true;
    bool isInvalidated_ = false;
    std::uint64_t decoderErrorCount_ = 0;
    std::int64_t decodedFramesWindow_ = 0;
    std::uint64_t windowStartNs_;
    double measuredDecodedFPS_ = 0;
    std::optional<double> lastDecodeMs_;
};

} // namespace velorinth
