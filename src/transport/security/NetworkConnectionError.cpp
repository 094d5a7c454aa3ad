#include "transport/security/NetworkConnectionError.hpp"

namespace velorinth {

NetworkConnectionError::NetworkConnectionError(Case kind) : NetworkConnectionError(kind, std::string()) {}

NetworkConnectionError::NetworkConnectionError(Case kind, std::string text)
    : Error(describe(kind, text)), kind(kind), text(std::move(text)) {}

NetworkConnectionError NetworkConnectionError::network(std::string text) {
    return NetworkConnectionError(Case::network, std::move(text));
}

std::string NetworkConnectionError::describe(Case kind, std::string_view text) {
    switch (kind) {
    case Case::network: return "Network connection failed: " + std::string(text);
    case Case::localNetworkPermissionDenied:
        return "Local Network access is disabled for Velorinth. Enable Local Network permission in Settings.";
    case Case::cancelled: return "The connection was cancelled.";
    case Case::closed: return "The remote device closed the connection.";
    case Case::oversizedFrame: return "A message exceeded the maximum allowed frame size and was blocked.";
    case Case::malformedFrame: return "A malformed network message was received and rejected.";
    }
    return "Network connection failed: " + std::string(text);
}

} // namespace velorinth
