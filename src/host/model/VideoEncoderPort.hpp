#pragma once

#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "platform/VideoSampleBuffer.hpp"
#include "transport/video/VideoEncoderValueTypes.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace velorinth {

// The one video encoder as the host model uses it. Any thread: it keeps its
// own lock.
class VideoEncoderPort {
public:
    using Statistics = VideoEncoderStatistics;
    using SourceSize = VideoSourceDisplaySize;
    // A new encoder: stream identifier, generation, configuration.
    using Factory = std::function<std::shared_ptr<VideoEncoderPort>(const Uuid&, std::uint64_t,
                                                                    const VideoStreamConfiguration&)>;

    virtual ~VideoEncoderPort() = default;

    virtual Uuid streamID() const = 0;
    virtual void updateConfiguration(const VideoStreamConfiguration& configuration,
                                     std::optional<std::uint64_t> generation) = 0;
    virtual void requestKeyframe() = 0;
    // Opens the codec for pictures of this size (the capture size) ahead of
    // the first one, off the caller's thread; returns at once and never throws.
    virtual void prepare(int width, int height) = 0;
    virtual void invalidate() = 0;
    virtual Statistics statistics() = 0;
    // None when the sample was dropped; throws on a sample it cannot encode.
    virtual std::optional<EncodedVideoFrame> encode(const VideoSampleBuffer& sample, SourceSize sourceDisplaySize) = 0;
};

} // namespace velorinth
