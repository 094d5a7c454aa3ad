#include "transport/discovery/DiscoveryNormalizer.hpp"

#include "core/Text.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace velorinth {

namespace {

constexpr std::array<std::string_view, 3> kReadKeys{"v", "id", "role"};

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

std::map<std::string, std::string> DiscoveryNormalizer::txtMap(const std::vector<std::string>& entries) {
    std::map<std::string, std::string> map;
    for (const std::string& entry : entries) {
        const std::size_t equals = entry.find('=');
        const std::string_view key = std::string_view(entry).substr(0, equals);
        for (std::string_view known : kReadKeys) {
            if (!equalsIgnoringAsciiCase(key, known)) continue;
            const std::string value = equals == std::string::npos ? std::string() : entry.substr(equals + 1);
            map.emplace(std::string(known), value); // the first occurrence stays
        }
    }
    return map;
}

std::optional<DiscoveredService> DiscoveryNormalizer::service(const BonjourBrowsing::Result& result) {
    const auto* bonjour = std::get_if<ServiceEndpoint::BonjourService>(&result.endpoint.value);
    if (bonjour == nullptr) return std::nullopt;
    const std::map<std::string, std::string> txt =
        result.txtRecord ? txtMap(*result.txtRecord) : std::map<std::string, std::string>{};
    const std::optional<TXTFields> fields = parseTXT(txt);
    if (!fields) return std::nullopt;
    return DiscoveredService::make(bonjour->name, result.endpoint, fields->discoveryInstanceID,
                                   fields->protocolVersion);
}

std::optional<DiscoveryNormalizer::TXTFields> DiscoveryNormalizer::parseTXT(
    const std::map<std::string, std::string>& txt) {
    TXTFields fields;
    if (txt.empty()) return fields;
    if (const auto role = txt.find("role"); role != txt.end() && role->second != "host") return std::nullopt;
    if (const auto id = txt.find("id"); id != txt.end()) fields.discoveryInstanceID = Uuid::fromString(id->second);
    if (const auto v = txt.find("v"); v != txt.end()) fields.protocolVersion = parseProtocolVersion(v->second);
    return fields;
}

std::optional<std::uint16_t> DiscoveryNormalizer::parseProtocolVersion(std::string_view text) {
    return parseDecimalUInt16(text);
}

std::vector<DiscoveredService> DiscoveryNormalizer::normalize(const std::vector<DiscoveredService>& services) {
    std::map<std::string, DiscoveredService> byId;
    for (const DiscoveredService& service : services) byId.insert_or_assign(service.id, service);
    struct Keyed {
        std::string foldedName;
        DiscoveredService service;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(byId.size());
    for (auto& [id, service] : byId) keyed.push_back(Keyed{lowercased(service.name), std::move(service)});
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.foldedName != b.foldedName) return a.foldedName < b.foldedName;
        return a.service.id < b.service.id;
    });
    std::vector<DiscoveredService> sorted;
    sorted.reserve(keyed.size());
    for (Keyed& entry : keyed) sorted.push_back(std::move(entry.service));
    return sorted;
}

DiscoveryStatus DiscoveryNormalizer::discoveryStatus(const BonjourBrowsing::BrowseError& error) {
    if (error.code == kPolicyDeniedCode) return DiscoveryStatus::permissionDenied();
    return DiscoveryStatus::failed(error.text);
}

void DiscoveryCatalog::setStatus(const DiscoveryStatus& newStatus) {
    status = newStatus;
    if (status.kind() != DiscoveryStatus::Case::searching && status.kind() != DiscoveryStatus::Case::ready) {
        services.clear();
    }
}

} // namespace velorinth
