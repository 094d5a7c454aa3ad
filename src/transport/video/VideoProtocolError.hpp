#pragma once

#include "core/Error.hpp"

#include <string_view>

namespace velorinth {

// Every way the video transport refuses bytes: wire frames, fragment packets,
// fragmentation and reassembly share this one error.
class VideoProtocolError : public Error {
public:
    enum class Case {
        truncatedPacket,
        invalidMagicOrVersion,
        invalidBounds,
        frameTooLarge,
        tooManyFragments,
        duplicateFragment,
        conflictingFragment,
        reassemblyMemoryLimitExceeded,
        payloadLengthMismatch,
        staleGeneration,
        malformedCodecConfiguration,
    };

    explicit VideoProtocolError(Case kind);
    static std::string_view text(Case kind);

    Case kind;
};

} // namespace velorinth
