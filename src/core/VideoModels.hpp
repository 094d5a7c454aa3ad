#pragma once

// The video stream's negotiated settings, its lifecycle and statistics, and
// the encoded frames that travel from the encoder to the session server.

#include "core/Bytes.hpp"
#include "core/ControlProtocol.hpp"
#include "core/Error.hpp"
#include "core/Json.hpp"
#include "core/Uuid.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velorinth {

// The stream settings a tablet asks for. Anything built with clamped() or
// decoded from JSON lies within the ranges below, so the capture and encoder
// never see a zero frame rate or an unbounded size.
struct VideoStreamConfiguration {
    struct Range {
        std::int64_t lowerBound;
        std::int64_t upperBound;
        constexpr std::int64_t clamp(std::int64_t v) const {
            return v < lowerBound ? lowerBound : (v > upperBound ? upperBound : v);
        }
    };
    static constexpr Range widthRange{320, 3840};
    static constexpr Range heightRange{240, 2400};
    static constexpr Range framesPerSecondRange{5, 60};
    static constexpr Range bitrateRange{500'000, 25'000'000};
    static constexpr Range keyframeIntervalRange{15, 300};
    static constexpr Range frameBytesRange{65'536, 4'194'304};
    static constexpr Range fragmentPayloadBytesRange{4'096, 49'152};

    struct Size {
        std::int64_t width = 0;
        std::int64_t height = 0;
        bool operator==(const Size&) const = default;
    };

    Capability codec = Capability::h264;
    std::int64_t maxWidth = widthRange.lowerBound;
    std::int64_t maxHeight = heightRange.lowerBound;
    std::int64_t framesPerSecond = framesPerSecondRange.lowerBound;
    std::int64_t targetBitrateBps = bitrateRange.lowerBound;
    std::int64_t keyframeIntervalFrames = keyframeIntervalRange.lowerBound;
    std::int64_t maxFrameBytes = frameBytesRange.lowerBound;
    std::int64_t maxFragmentPayloadBytes = fragmentPayloadBytesRange.lowerBound;

    // Each value clamped into its range.
    static VideoStreamConfiguration clamped(Capability codec, std::int64_t maxWidth, std::int64_t maxHeight,
                                            std::int64_t framesPerSecond, std::int64_t targetBitrateBps,
                                            std::int64_t keyframeIntervalFrames, std::int64_t maxFrameBytes,
                                            std::int64_t maxFragmentPayloadBytes);

    // The size to encode a width x height source at: scaled down (never up)
    // to fit maxWidth x maxHeight keeping the aspect ratio, rounded to
    // nearest, at least 320 x 240, then down to even. A source side below 1
    // gives the maximum size made even. Never fails.
    Size fittedSize(std::int64_t width, std::int64_t height) const;

    bool operator==(const VideoStreamConfiguration&) const = default;
};

// The host's stream settings when a request names none, which a tablet also
// asks for when it has no preference: 1280 x 720 at 30 fps, 3.5 Mbit/s, a
// keyframe every 60 frames, 2 MiB frames in 32 KiB fragments.
VideoStreamConfiguration defaultStreamConfiguration();

enum class VideoStreamStopReason {
    clientRequested,
    hostStopped,
    screenRecordingPermissionRequired,
    screenViewPermissionRevoked,
    encoderFailed,
    unsupportedConfiguration,
    sessionDisconnected,
};

// What the user reads when capture lacks the Screen Recording grant: the
// capture service's refusal and the stream failure a tablet is sent alike.
inline constexpr std::string_view kScreenRecordingPermissionRequiredText = "Screen Recording permission required";

// A stop reason thrown as the failure of a stream request; what() is the case name.
class VideoStreamStopError : public Error {
public:
    explicit VideoStreamStopError(VideoStreamStopReason reason);
    VideoStreamStopReason reason;
};

// Where a stream is in its lifecycle. Equality compares the case and, for
// failed, the text.
struct VideoStreamState {
    struct Failed {
        std::string message;
        bool operator==(const Failed&) const = default;
    };
    template <int N>
    struct Plain {
        bool operator==(const Plain&) const = default;
    };
    using Idle = Plain<0>;
    using Preparing = Plain<1>;
    using StartingCapture = Plain<2>;
    using Negotiating = Plain<3>;
    using Streaming = Plain<4>;
    using Reconfiguring = Plain<5>;
    using Reconnecting = Plain<6>;
    using Stopping = Plain<7>;
    using Stopped = Plain<8>;

    using Value = std::variant<Failed, Idle, Preparing, StartingCapture, Negotiating, Streaming, Reconfiguring,
                               Reconnecting, Stopping, Stopped>;
    Value value = Idle{};

    static constexpr std::array<std::string_view, 10> caseNames{
        "failed",    "idle",          "preparing",    "startingCapture", "negotiating",
        "streaming", "reconfiguring", "reconnecting", "stopping",        "stopped",
    };

    static VideoStreamState failed(std::string message) { return {Failed{std::move(message)}}; }
    static VideoStreamState idle() { return {Idle{}}; }
    static VideoStreamState preparing() { return {Preparing{}}; }
    static VideoStreamState startingCapture() { return {StartingCapture{}}; }
    static VideoStreamState negotiating() { return {Negotiating{}}; }
    static VideoStreamState streaming() { return {Streaming{}}; }
    static VideoStreamState reconfiguring() { return {Reconfiguring{}}; }
    static VideoStreamState reconnecting() { return {Reconnecting{}}; }
    static VideoStreamState stopping() { return {Stopping{}}; }
    static VideoStreamState stopped() { return {Stopped{}}; }

    std::string_view caseName() const { return caseNames[value.index()]; }
    // The text of a failed state; nullptr otherwise.
    const std::string* failureMessage() const {
        const auto* failed = std::get_if<Failed>(&value);
        return failed ? &failed->message : nullptr;
    }

    bool operator==(const VideoStreamState&) const = default;
};

struct VideoStreamDiagnostics {
    std::int64_t streamGeneration = 0;
    std::int64_t videoWidth = 0;
    std::int64_t videoHeight = 0;
    double capturedFPS = 0;
    double encodedFPS = 0;
    double decodedFPS = 0;
    double bitrateBps = 0;
    std::int64_t droppedFrames = 0;
    std::int64_t decoderErrors = 0;
    std::int64_t queueDepth = 0;
    std::optional<double> networkRTTMilliseconds;
    std::optional<double> lastEncodeDurationMilliseconds;
    std::optional<double> lastDecodeDurationMilliseconds;

    // Every number 0, every optional absent.
    static VideoStreamDiagnostics empty() { return {}; }

    bool operator==(const VideoStreamDiagnostics&) const = default;
};

// The parameter sets of one encoder session. Each SPS and PPS is one complete
// NAL unit without its length prefix.
struct H264CodecConfiguration {
    std::uint32_t version = 0;
    std::uint8_t nalUnitHeaderLength = 4; // bytes in each NAL unit's length prefix
    std::vector<Bytes> sps;
    std::vector<Bytes> pps;

    bool operator==(const H264CodecConfiguration&) const = default;
};

// One encoded H.264 access unit; `payload` holds length-prefixed NAL units.
struct EncodedVideoFrame {
    Uuid streamID;
    std::uint64_t generation = 0;
    std::uint64_t sequence = 0;
    std::int64_t presentationTimestampUs = 0;
    std::int64_t durationUs = 0;
    Bytes payload;
    bool isKeyframe = false;
    std::uint32_t codecConfigVersion = 0;
    std::optional<H264CodecConfiguration> codecConfiguration;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t sourceDisplayWidth = 0;
    std::int64_t sourceDisplayHeight = 0;
    std::uint64_t captureTimestampNs = 0;

    bool operator==(const EncodedVideoFrame&) const = default;
};

namespace json {

template <>
struct EnumNames<VideoStreamStopReason> {
    static constexpr std::array<std::string_view, 7> names{
        "clientRequested",          "hostStopped",           "screenRecordingPermissionRequired",
        "screenViewPermissionRevoked", "encoderFailed",      "unsupportedConfiguration",
        "sessionDisconnected",
    };
};

// Decoding clamps every value into its range.
template <>
struct Codec<VideoStreamConfiguration> {
    static Json encode(const VideoStreamConfiguration& value);
    static VideoStreamConfiguration decode(const Json& j);
};

} // namespace json
} // namespace velorinth
