#include "platform/CaptureBackendError.hpp"

#include <string>

namespace velorinth {

CaptureBackendError::CaptureBackendError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view CaptureBackendError::text(Case kind) {
    switch (kind) {
    case Case::displayUnavailable: return "The X display could not be opened.";
    case Case::unsupportedVisual: return "The X display's root visual is not 24- or 32-bit TrueColor.";
    case Case::displayNotFound: return "The display to capture is no longer connected.";
    case Case::connectionLost: return "The X display connection was lost.";
    case Case::grabFailed: return "The X display could not be read.";
    }
    return {};
}

} // namespace velorinth
