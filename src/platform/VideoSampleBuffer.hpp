#pragma once

#include "platform/MediaTime.hpp"
#include "platform/PixelBuffer.hpp"

#include <cstdint>
#include <memory>
#include <optional>

namespace velorinth {

// What a capture stream delivers.
enum class CaptureOutputType { screen, audio, microphone };

// One captured sample, as a capture stream hands it over: which stream made
// it, what it carries and whether it is usable. The consumer checks each flag;
// a back-end that never fails still fills them.
struct VideoSampleBuffer {
    static constexpr std::int64_t kFrameStatusComplete = 0;

    std::uint64_t streamIdentity = 0; // the CaptureStream's identity
    CaptureOutputType outputType = CaptureOutputType::screen;
    bool isValid = false;
    bool isDataReady = false;
    std::shared_ptr<const PixelBuffer> image; // null: no image
    // The frame's status; absent or not complete means it carries no new picture.
    std::optional<std::int64_t> frameStatus;
    MediaTime presentationTime;
    MediaTime duration;
};

} // namespace velorinth
