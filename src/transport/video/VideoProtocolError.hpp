#pragma once

#include "core/BigEndian.hpp"
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

// Reads the video transport's packets: running past the end is a truncated packet.
struct TruncatedVideoPacket {
    [[noreturn]] void operator()() const { throw VideoProtocolError(VideoProtocolError::Case::truncatedPacket); }
};
using VideoPacketReader = bigendian::Reader<TruncatedVideoPacket>;

} // namespace velorinth
