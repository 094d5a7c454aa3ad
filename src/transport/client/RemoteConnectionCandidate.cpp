#include "transport/client/RemoteConnectionCandidate.hpp"

namespace velorinth {

ConnectionRouteKind RemoteConnectionCandidate::routeKind() const {
    if (std::holds_alternative<BonjourLocal>(value)) return ConnectionRouteKind::bonjourLocal;
    if (const auto* saved = std::get_if<ConfiguredRemote>(&value)) {
        return saved->endpoint.transport == RemoteTransportKind::localDirect ? ConnectionRouteKind::localDirect
                                                                             : ConnectionRouteKind::privateNetwork;
    }
    return ConnectionRouteKind::localDirect;
}

std::optional<Uuid> RemoteConnectionCandidate::endpointID() const {
    if (const auto* saved = std::get_if<ConfiguredRemote>(&value)) return saved->endpoint.id;
    return std::nullopt;
}

std::optional<ServiceEndpoint> RemoteConnectionCandidate::networkEndpoint() const {
    HostPort target;
    if (const auto* bonjour = std::get_if<BonjourLocal>(&value)) {
        const auto* plain = std::get_if<HostPort>(&bonjour->endpoint.value);
        if (plain && plain->port == 0) return std::nullopt;
        return bonjour->endpoint;
    }
    if (const auto* saved = std::get_if<ConfiguredRemote>(&value)) {
        target = {saved->endpoint.host, saved->endpoint.port};
    } else {
        const auto& direct = std::get<SavedLocalDirect>(value);
        target = {direct.ip, direct.port};
    }
    if (target.port == 0) return std::nullopt;
    return ServiceEndpoint{target};
}

} // namespace velorinth
