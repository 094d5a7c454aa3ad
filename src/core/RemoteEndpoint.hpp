#pragma once

#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/Json.hpp"
#include "core/RemoteEndpointValidator.hpp"
#include "core/Uuid.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velorinth {

enum class RemoteTransportKind { privateNetwork, localDirect };

enum class ConnectionRouteKind { bonjourLocal, localDirect, privateNetwork };

enum class HostAvailability { reachable, unreachable, unknown };

struct RemoteReachabilityObservation {
    std::optional<Uuid> lastKnownReachableEndpointID;
    ConnectionRouteKind lastRouteUsed = ConnectionRouteKind::bonjourLocal;
    Date lastObservedAt;

    bool operator==(const RemoteReachabilityObservation&) const = default;
};

// A saved address of a paired Mac beyond the local network.
struct RemoteEndpoint {
    Uuid id;
    std::string host; // canonical form, see RemoteEndpointValidator
    std::uint16_t port = 0;
    RemoteHostKind hostKind = RemoteHostKind::dnsHostname;
    RemoteTransportKind transport = RemoteTransportKind::privateNetwork;
    std::optional<std::string> label;
    Date addedAt;
    std::optional<Date> lastVerifiedAt;
    std::optional<Date> lastConnectedAt;

    // Parses "[v6]:port", "[v6]", a bare IPv6 literal, "host:port" or "host"
    // (then with `defaultPort`), validates host and port, trims the label
    // (empty becomes none). Throws RemoteEndpointValidationError.
    static RemoteEndpoint validating(std::string_view text, std::uint16_t defaultPort, RemoteTransportKind transport,
                                     std::optional<std::string> label, Uuid id, Date addedAt, bool allowLoopback);

    // "host:port", an IPv6 host in square brackets.
    std::string displayAddress() const;

    bool operator==(const RemoteEndpoint&) const = default;
};

// A wake relay paired for one trusted Mac.
struct PairedWakeRelayConfiguration {
    DevicePublicIdentity relayIdentity; // its fingerprint pins the relay's TLS key
    RemoteEndpoint endpoint;
    Uuid targetMacDeviceID;
    Date pairedAt;
    std::optional<Date> lastVerifiedAt;
    std::optional<Date> lastWakeDispatchedAt;

    bool operator==(const PairedWakeRelayConfiguration&) const = default;
};

namespace json {

template <>
struct EnumNames<RemoteTransportKind> {
    static constexpr std::array<std::string_view, 2> names{"privateNetwork", "localDirect"};
};

template <>
struct EnumNames<ConnectionRouteKind> {
    static constexpr std::array<std::string_view, 3> names{"bonjourLocal", "localDirect", "privateNetwork"};
};

template <>
struct EnumNames<HostAvailability> {
    static constexpr std::array<std::string_view, 3> names{"reachable", "unreachable", "unknown"};
};

template <>
struct JsonFields<RemoteReachabilityObservation> {
    static constexpr auto fields = std::make_tuple(
        member("lastKnownReachableEndpointID", &RemoteReachabilityObservation::lastKnownReachableEndpointID),
        member("lastRouteUsed", &RemoteReachabilityObservation::lastRouteUsed),
        member("lastObservedAt", &RemoteReachabilityObservation::lastObservedAt));
};

template <>
struct JsonFields<RemoteEndpoint> {
    static constexpr auto fields = std::make_tuple(
        member("id", &RemoteEndpoint::id),
        member("host", &RemoteEndpoint::host),
        member("port", &RemoteEndpoint::port),
        member("hostKind", &RemoteEndpoint::hostKind),
        member("transport", &RemoteEndpoint::transport),
        member("label", &RemoteEndpoint::label),
        member("addedAt", &RemoteEndpoint::addedAt),
        member("lastVerifiedAt", &RemoteEndpoint::lastVerifiedAt),
        member("lastConnectedAt", &RemoteEndpoint::lastConnectedAt));
};

template <>
struct JsonFields<PairedWakeRelayConfiguration> {
    static constexpr auto fields = std::make_tuple(
        member("relayIdentity", &PairedWakeRelayConfiguration::relayIdentity),
        member("endpoint", &PairedWakeRelayConfiguration::endpoint),
        member("targetMacDeviceID", &PairedWakeRelayConfiguration::targetMacDeviceID),
        member("pairedAt", &PairedWakeRelayConfiguration::pairedAt),
        member("lastVerifiedAt", &PairedWakeRelayConfiguration::lastVerifiedAt),
        member("lastWakeDispatchedAt", &PairedWakeRelayConfiguration::lastWakeDispatchedAt));
};

} // namespace json
} // namespace velorinth
