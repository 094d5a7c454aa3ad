#pragma once

#include "core/Error.hpp"

#include <cstdint>
#include <string>

namespace velorinth {

class VideoDecoderError : public Error {
public:
    enum class Case {
        formatDescriptionFailed,
        sessionCreationFailed,
        decodingFailed,
        invalidated,
        invalidMetadata,
        missingConfiguration,
        awaitingKeyframe,
        missingReferenceFrame,
        corruptedPayload,
    };

    // `status` is kept for the three cases that carry one, 0 otherwise.
    explicit VideoDecoderError(Case kind, std::int32_t status = 0);
    static std::string text(Case kind, std::int32_t status);

    Case kind;
    std::int32_t status;

    bool operator==(const VideoDecoderError& other) const { return kind == other.kind && status == other.status; }
};

} // namespace velorinth
