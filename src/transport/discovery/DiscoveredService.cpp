#include "transport/discovery/DiscoveredService.hpp"

#include "core/Text.hpp"

namespace velorinth {

DiscoveredService DiscoveredService::make(const std::string& rawName, ServiceEndpoint endpoint,
                                          std::optional<Uuid> discoveryInstanceID,
                                          std::optional<std::uint16_t> protocolVersion) {
    std::string name(trimmedWhitespace(rawName));
    if (name.empty()) name = kUnknownName;
    std::string id = discoveryInstanceID ? discoveryInstanceID->lowercaseString() : endpoint.key();
    return DiscoveredService{std::move(id), std::move(name), std::move(endpoint), discoveryInstanceID,
                             protocolVersion};
}

DiscoveredHost DiscoveredService::discoveredHost() const {
    return DiscoveredHost{id, name, endpoint.key(), discoveryInstanceID, protocolVersion};
}

} // namespace velorinth

std::size_t std::hash<velorinth::DiscoveredService>::operator()(
    const velorinth::DiscoveredService& service) const noexcept {
    std::size_t seed = std::hash<std::string>{}(service.id);
    velorinth::detail::combineHash(seed, std::hash<std::string>{}(service.name));
    velorinth::detail::combineHash(seed, std::hash<velorinth::ServiceEndpoint>{}(service.endpoint));
    // A presence byte before each optional, so absent and present-zero differ.
    velorinth::detail::combineHash(seed, service.discoveryInstanceID ? 1 : 0);
    if (service.discoveryInstanceID) {
        velorinth::detail::combineHash(seed, std::hash<velorinth::Uuid>{}(*service.discoveryInstanceID));
    }
    velorinth::detail::combineHash(seed, service.protocolVersion ? 1 : 0);
    if (service.protocolVersion) velorinth::detail::combineHash(seed, *service.protocolVersion);
    return seed;
}
