#include "transport/wake/LocalWakeError.hpp"

#include <utility>

namespace velorinth {

LocalWakeError::LocalWakeError(Case kind) : LocalWakeError(kind, std::string()) {}

LocalWakeError::LocalWakeError(Case kind, std::string text)
    : Error(describe(kind, text)), kind(kind), text(std::move(text)) {}

LocalWakeError LocalWakeError::invalidDestination(std::string text) {
    return LocalWakeError(Case::invalidDestination, std::move(text));
}

LocalWakeError LocalWakeError::transmissionFailed(std::string text) {
    return LocalWakeError(Case::transmissionFailed, std::move(text));
}

std::string LocalWakeError::describe(Case kind, std::string_view text) {
    switch (kind) {
    case Case::invalidDestination: return "Invalid local wake destination: " + std::string(text);
    case Case::transmissionFailed: return "Couldn't send local wake packet: " + std::string(text);
    case Case::noSavedWakeConfiguration: return "No saved wake configuration is available for this Mac.";
    case Case::noValidLocalTargets: return "No valid local network wake address is saved for this Mac.";
    case Case::rateLimited: return "Wake requests are temporarily rate-limited to avoid flooding your local network.";
    }
    return "Couldn't send local wake packet: " + std::string(text);
}

} // namespace velorinth
