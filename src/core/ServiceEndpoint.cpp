#include "core/ServiceEndpoint.hpp"

#include "core/Text.hpp"

namespace velorinth {

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
    const auto& hostPort = std::get<velorinth::HostPort>(value);
    const bool ipv6 = hostPort.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + hostPort.host + "]" : hostPort.host) + ":" + std::to_string(hostPort.port);
}

} // namespace velorinth

std::size_t std::hash<velorinth::ServiceEndpoint>::operator()(const velorinth::ServiceEndpoint& endpoint) const noexcept {
    using velorinth::detail::combineHash;
    std::size_t seed = endpoint.value.index();
    if (const auto* service = std::get_if<velorinth::ServiceEndpoint::BonjourService>(&endpoint.value)) {
        for (const std::string* part : {&service->name, &service->type, &service->domain, &service->interfaceName}) {
            combineHash(seed, std::hash<std::string>{}(*part));
        }
    } else {
        const auto& hostPort = std::get<velorinth::HostPort>(endpoint.value);
        combineHash(seed, std::hash<std::string>{}(hostPort.host));
        combineHash(seed, hostPort.port);
    }
    return seed;
}
