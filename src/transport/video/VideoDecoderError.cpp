#include "transport/video/VideoDecoderError.hpp"

namespace velorinth {

namespace {

bool carriesStatus(VideoDecoderError::Case kind) {
    return kind == VideoDecoderError::Case::formatDescriptionFailed ||
           kind == VideoDecoderError::Case::sessionCreationFailed || kind == VideoDecoderError::Case::decodingFailed;
}

} // namespace

VideoDecoderError::VideoDecoderError(Case kind, std::int32_t status)
    : Error(text(kind, status)), kind(kind), status(carriesStatus(kind) ? status : 0) {}

std::string VideoDecoderError::text(Case kind, std::int32_t status) {
    switch (kind) {
    case Case::formatDescriptionFailed:
        return "Failed to construct H.264 video format description (" + std::to_string(status) + ").";
    case Case::sessionCreationFailed:
        return "Failed to create VideoToolbox decompression session (" + std::to_string(status) + ").";
    case Case::decodingFailed: return "VideoToolbox H.264 frame decoding failed (" + std::to_string(status) + ").";
    case Case::invalidated: return "The video decoder has been invalidated.";
    case Case::invalidMetadata: return "Received video frame metadata is invalid.";
    case Case::missingConfiguration: return "H.264 decoder configuration (SPS/PPS) has not been received yet.";
    case Case::awaitingKeyframe: return "Waiting for an H.264 keyframe to synchronize video decoding.";
    case Case::missingReferenceFrame: return "Reference video frame was missed; requesting a fresh keyframe.";
    case Case::corruptedPayload: return "Encoded H.264 payload failed structural NAL validation.";
    }
    return {};
}

} // namespace velorinth
