#pragma once

#include "core/RemoteEndpoint.hpp"
#include "core/ServiceEndpoint.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace velorinth {

// One route to a paired Mac: its Bonjour service, a saved endpoint, or a
// local IPv4 address of its last wake configuration on its Bonjour port.
// Equal when of the same case with equal payloads.
struct RemoteConnectionCandidate {
    struct BonjourLocal {
        ServiceEndpoint endpoint;
        bool operator==(const BonjourLocal&) const = default;
    };
    struct ConfiguredRemote {
        RemoteEndpoint endpoint;
        bool operator==(const ConfiguredRemote&) const = default;
    };
    struct SavedLocalDirect {
        std::string ip;
        std::uint16_t port = 0;
        bool operator==(const SavedLocalDirect&) const = default;
    };

    std::variant<BonjourLocal, ConfiguredRemote, SavedLocalDirect> value;

    static RemoteConnectionCandidate bonjourLocal(ServiceEndpoint endpoint) { return {BonjourLocal{std::move(endpoint)}}; }
    static RemoteConnectionCandidate configuredRemote(RemoteEndpoint endpoint) {
        return {ConfiguredRemote{std::move(endpoint)}};
    }
    static RemoteConnectionCandidate savedLocalDirect(std::string ip, std::uint16_t port) {
        return {SavedLocalDirect{std::move(ip), port}};
    }

    // bonjourLocal; localDirect for a saved endpoint of that transport and
    // for a saved local address; privateNetwork otherwise.
    ConnectionRouteKind routeKind() const;
    // The saved endpoint's identifier, for configuredRemote only.
    std::optional<Uuid> endpointID() const;
    // Where to connect; none for a port of 0, which no connection accepts.
    std::optional<ServiceEndpoint> networkEndpoint() const;

    bool operator==(const RemoteConnectionCandidate&) const = default;
};

} // namespace velorinth
