#include "transport/video/VideoProtocolError.hpp"

#include <string>

namespace velorinth {

VideoProtocolError::VideoProtocolError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view VideoProtocolError::text(Case kind) {
    switch (kind) {
    case Case::truncatedPacket: return "Video fragment packet is truncated.";
    case Case::invalidMagicOrVersion: return "Video fragment packet has an unrecognized header or version.";
    case Case::invalidBounds: return "Video fragment metadata failed boundary validation.";
    case Case::frameTooLarge: return "Encoded video frame exceeds the negotiated maximum frame size.";
    case Case::tooManyFragments: return "Video frame exceeds the maximum allowed fragment count.";
    case Case::duplicateFragment: return "Duplicate video fragment was rejected.";
    case Case::conflictingFragment: return "Conflicting video fragment metadata was rejected.";
    case Case::reassemblyMemoryLimitExceeded: return "Video reassembly buffer limit exceeded.";
    case Case::payloadLengthMismatch: return "Reassembled video frame byte count did not match its header.";
    case Case::staleGeneration: return "Video fragment belongs to an older stream generation.";
    case Case::malformedCodecConfiguration: return "H.264 parameter set metadata is malformed.";
    }
    return {};
}

} // namespace velorinth
