#include "transport/discovery/DiscoveredService.hpp"

#include "core/Text.hpp"

#include <array>
#include <cctype>
#include <string_view>

namespace velorinth {

namespace {

std::string lowercased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void combine(std::size_t& seed, std::size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); }

} // namespace

std::string ServiceEndpoint::key() const {
    if (const auto* service = std::get_if<BonjourService>(&value)) {
        return lowercased(service->name) + "." + lowercased(service->type) + "." + lowercased(service->domain);
    }
    return debugDescription();
}

std::string ServiceEndpoint::debugDescription() const {
    if (const auto* service = std::get_if<BonjourService>(&value)) {
        std::string text = service->name + "." + service->type + "." + service->domain;
        if (!service->interfaceName.empty()) text += "%" + service->interfaceName;
        return text;
    }
    const auto& hostPort = std::get<HostPort>(value);
    const bool ipv6 = hostPort.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + hostPort.host + "]" : hostPort.host) + ":" + std::to_string(hostPort.port);
}

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

std::size_t std::hash<velorinth::ServiceEndpoint>::operator()(const velorinth::ServiceEndpoint& endpoint) const noexcept {
    std::size_t seed = endpoint.value.index();
    if (const auto* service = std::get_if<velorinth::ServiceEndpoint::BonjourService>(&endpoint.value)) {
        for (const std::string* part : {&service->name, &service->type, &service->domain, &service->interfaceName}) {
            velorinth::combine(seed, std::hash<std::string>{}(*part));
        }
    } else {
        const auto& hostPort = std::get<velorinth::ServiceEndpoint::HostPort>(endpoint.value);
        velorinth::combine(seed, std::hash<std::string>{}(hostPort.host));
        velorinth::combine(seed, hostPort.port);
    }
    return seed;
}

std::size_t std::hash<velorinth::DiscoveredService>::operator()(
    const velorinth::DiscoveredService& service) const noexcept {
    std::size_t seed = std::hash<std::string>{}(service.id);
    velorinth::combine(seed, std::hash<std::string>{}(service.name));
    velorinth::combine(seed, std::hash<velorinth::ServiceEndpoint>{}(service.endpoint));
    // A presence byte before each optional, so absent and present-zero differ.
    velorinth::combine(seed, service.discoveryInstanceID ? 1 : 0);
    if (service.discoveryInstanceID) velorinth::combine(seed, std::hash<velorinth::Uuid>{}(*service.discoveryInstanceID));
    velorinth::combine(seed, service.protocolVersion ? 1 : 0);
    if (service.protocolVersion) velorinth::combine(seed, *service.protocolVersion);
    return seed;
}
