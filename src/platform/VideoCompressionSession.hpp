#pragma once

#include "core/Bytes.hpp"
#include "platform/PixelBuffer.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace velorinth {

// One H.264 compression session at a fixed size. encode() is synchronous and
// may run on one thread while invalidate() comes from another: an
// invalidated session refuses its running and later encodes, and is closed
// by its last holder.
class VideoCompressionSession {
public:
    struct Settings {
        int width = 0;
        int height = 0;
        std::int64_t framesPerSecond = 0;
        std::int64_t targetBitrateBps = 0;
        std::int64_t keyframeIntervalFrames = 0;
        // The largest frame the stream can carry: keyframes must fit it.
        std::int64_t frameByteLimit = 0;
        bool operator==(const Settings&) const = default;
    };

    // One compressed access unit.
    struct Frame {
        Bytes payload; // length-prefixed NAL units, parameter sets excluded
        bool isKeyframe = false;
        std::uint8_t nalUnitHeaderLength = 4;
        // The session's parameter set NAL units (no prefix), in order.
        std::vector<Bytes> parameterSets;
    };

    struct Result {
        int status = 0;             // of the encode; non-zero: failed
        int payloadStatus = 0;      // of copying the output out; non-zero: failed after the frame was consumed
        std::optional<Frame> frame; // none: the frame gave no output
    };

    // Makes a session, or sets `status` non-zero and returns null.
    using Factory = std::function<std::shared_ptr<VideoCompressionSession>(const Settings& settings, int& status)>;

    // The x264 back-end with its default preset.
    static Factory defaultFactory();

    virtual ~VideoCompressionSession() = default;

    virtual Result encode(const PixelBuffer& image, std::int64_t presentationTimeUs, std::int64_t durationUs,
                          bool forceKeyframe) = 0;
    virtual void invalidate() = 0;
};

} // namespace velorinth
