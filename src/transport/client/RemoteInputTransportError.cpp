#include "transport/client/RemoteInputTransportError.hpp"

#include <string>

namespace velorinth {

RemoteInputTransportError::RemoteInputTransportError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view RemoteInputTransportError::text(Case kind) {
    switch (kind) {
    case Case::sessionNotConnected: return "Remote input requires an active authenticated session.";
    case Case::remoteControlPermissionDenied: return "Remote control permission is disabled for this iPad on the Mac.";
    case Case::hostAccessibilityUnavailable:
        return "Remote control is paused because macOS Accessibility permission is not enabled on the Mac.";
    }
    return {};
}

} // namespace velorinth
