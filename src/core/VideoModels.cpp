#include "core/VideoModels.hpp"

#include <algorithm>
#include <cmath>

namespace velorinth {

namespace {

// Largest value rounding may produce; keeps llround defined for any source size.
constexpr double kLargestScaledSide = 4'611'686'018'427'387'904.0; // 2^62

std::int64_t roundedDownToEven(std::int64_t v) { return v & ~std::int64_t{1}; }

std::int64_t scaledSide(std::int64_t side, double scale, std::int64_t minimum) {
    double scaled = std::clamp(static_cast<double>(side) * scale, 0.0, kLargestScaledSide);
    // llround rounds halves away from zero.
    return roundedDownToEven(std::max<std::int64_t>(std::llround(scaled), minimum));
}

} // namespace

VideoStreamConfiguration defaultStreamConfiguration() {
    return VideoStreamConfiguration::clamped(Capability::h264, 1280, 720, 30, 3'500'000, 60, 2'097'152, 32'768);
}

VideoStreamConfiguration VideoStreamConfiguration::clamped(Capability codec, std::int64_t maxWidth,
                                                           std::int64_t maxHeight, std::int64_t framesPerSecond,
                                                           std::int64_t targetBitrateBps,
                                                           std::int64_t keyframeIntervalFrames,
                                                           std::int64_t maxFrameBytes,
                                                           std::int64_t maxFragmentPayloadBytes) {
    VideoStreamConfiguration configuration;
    configuration.codec = codec;
    configuration.maxWidth = widthRange.clamp(maxWidth);
    configuration.maxHeight = heightRange.clamp(maxHeight);
    configuration.framesPerSecond = framesPerSecondRange.clamp(framesPerSecond);
    configuration.targetBitrateBps = bitrateRange.clamp(targetBitrateBps);
    configuration.keyframeIntervalFrames = keyframeIntervalRange.clamp(keyframeIntervalFrames);
    configuration.maxFrameBytes = frameBytesRange.clamp(maxFrameBytes);
    configuration.maxFragmentPayloadBytes = fragmentPayloadBytesRange.clamp(maxFragmentPayloadBytes);
    return configuration;
}

VideoStreamConfiguration::Size VideoStreamConfiguration::fittedSize(std::int64_t width, std::int64_t height) const {
    if (width < 1 || height < 1) return {roundedDownToEven(maxWidth), roundedDownToEven(maxHeight)};
    double scale = std::min({static_cast<double>(maxWidth) / static_cast<double>(width),
                             static_cast<double>(maxHeight) / static_cast<double>(height), 1.0});
    return {scaledSide(width, scale, widthRange.lowerBound), scaledSide(height, scale, heightRange.lowerBound)};
}

VideoStreamStopError::VideoStreamStopError(VideoStreamStopReason reason)
    : Error(std::string(json::caseName(reason))), reason(reason) {}

namespace json {

Json Codec<VideoStreamConfiguration>::encode(const VideoStreamConfiguration& value) {
    Json out = Json::object();
    put(out, "codec", value.codec);
    put(out, "maxWidth", value.maxWidth);
    put(out, "maxHeight", value.maxHeight);
    put(out, "framesPerSecond", value.framesPerSecond);
    put(out, "targetBitrateBps", value.targetBitrateBps);
    put(out, "keyframeIntervalFrames", value.keyframeIntervalFrames);
    put(out, "maxFrameBytes", value.maxFrameBytes);
    put(out, "maxFragmentPayloadBytes", value.maxFragmentPayloadBytes);
    return out;
}

VideoStreamConfiguration Codec<VideoStreamConfiguration>::decode(const Json& j) {
    expectObject(j, "VideoStreamConfiguration");
    auto codec = field<Capability>(j, "codec");
    auto maxWidth = field<std::int64_t>(j, "maxWidth");
    auto maxHeight = field<std::int64_t>(j, "maxHeight");
    auto framesPerSecond = field<std::int64_t>(j, "framesPerSecond");
    auto targetBitrateBps = field<std::int64_t>(j, "targetBitrateBps");
    auto keyframeIntervalFrames = field<std::int64_t>(j, "keyframeIntervalFrames");
    auto maxFrameBytes = field<std::int64_t>(j, "maxFrameBytes");
    auto maxFragmentPayloadBytes = field<std::int64_t>(j, "maxFragmentPayloadBytes");
    // A peer's values never reach capture or the encoder unclamped.
    return VideoStreamConfiguration::clamped(codec, maxWidth, maxHeight, framesPerSecond, targetBitrateBps,
                                             keyframeIntervalFrames, maxFrameBytes, maxFragmentPayloadBytes);
}

} // namespace json
} // namespace velorinth
