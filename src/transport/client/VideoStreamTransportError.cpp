#include "transport/client/VideoStreamTransportError.hpp"

#include <string>

namespace velorinth {

VideoStreamTransportError::VideoStreamTransportError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view VideoStreamTransportError::text(Case kind) {
    switch (kind) {
    case Case::sessionNotConnected: return "Live desktop streaming requires an active authenticated session.";
    case Case::screenViewPermissionDenied: return "Screen viewing permission is disabled for this iPad on the Mac.";
    case Case::h264CapabilityUnavailable: return "H.264 desktop streaming was not negotiated for this session.";
    }
    return {};
}

} // namespace velorinth
