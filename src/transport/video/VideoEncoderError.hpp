#pragma once

#include "core/Error.hpp"

#include <cstdint>
#include <string>

namespace velorinth {

class VideoEncoderError : public Error {
public:
    enum class Case {
        sessionCreationFailed,
        encodingFailed,
        invalidDimensions,
        invalidSampleBuffer,
        invalidTimestamp,
        invalidated,
    };

    // `status` is kept for the two cases that carry one, 0 otherwise.
    explicit VideoEncoderError(Case kind, std::int32_t status = 0);
    static std::string text(Case kind, std::int32_t status);

    Case kind;
    std::int32_t status;

    bool operator==(const VideoEncoderError& other) const { return kind == other.kind && status == other.status; }
};

} // namespace velorinth
