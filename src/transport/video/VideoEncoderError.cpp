#include "transport/video/VideoEncoderError.hpp"

namespace velorinth {

namespace {

bool carriesStatus(VideoEncoderError::Case kind) {
    return kind == VideoEncoderError::Case::sessionCreationFailed || kind == VideoEncoderError::Case::encodingFailed;
}

} // namespace

VideoEncoderError::VideoEncoderError(Case kind, std::int32_t status)
    : Error(text(kind, status)), kind(kind), status(carriesStatus(kind) ? status : 0) {}

std::string VideoEncoderError::text(Case kind, std::int32_t status) {
    switch (kind) {
    case Case::sessionCreationFailed:
        return "Failed to initialize VideoToolbox H.264 encoder (" + std::to_string(status) + ").";
    case Case::encodingFailed: return "VideoToolbox H.264 frame encoding failed (" + std::to_string(status) + ").";
    case Case::invalidDimensions: return "Video frame dimensions are invalid for H.264 encoding.";
    case Case::invalidSampleBuffer: return "Screen capture sample buffer does not contain a valid image buffer.";
    case Case::invalidTimestamp: return "Video frame presentation timestamp is invalid.";
    case Case::invalidated: return "The video encoder has been invalidated.";
    }
    return {};
}

} // namespace velorinth
