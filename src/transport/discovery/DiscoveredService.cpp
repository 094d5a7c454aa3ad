#include "transport/discovery/DiscoveredService.hpp"

#include <array>
#include <cctype>
#include <string_view>

namespace velorinth {

namespace {

std::string lowercased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// White space and line breaks beyond ASCII, as UTF-8: NEL, NBSP, OGHAM SPACE
// MARK, EN QUAD … HAIR SPACE, LINE and PARAGRAPH SEPARATOR, NARROW NBSP,
// MEDIUM MATHEMATICAL SPACE, IDEOGRAPHIC SPACE.
constexpr std::array<std::string_view, 19> kWideSpaces{
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
    "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
};

bool isAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view text) {
    bool changed = true;
    while (changed && !text.empty()) {
        changed = false;
        if (isAsciiSpace(text.front())) {
            text.remove_prefix(1);
            changed = true;
            continue;
        }
        if (isAsciiSpace(text.back())) {
            text.remove_suffix(1);
            changed = true;
            continue;
        }
        for (std::string_view space : kWideSpaces) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                changed = true;
            } else if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                changed = true;
            }
        }
    }
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
    std::string name(trimmed(rawName));
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
