#pragma once

#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/Json.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/Uuid.hpp"
#include "core/WakeModels.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace velorinth {

inline constexpr std::string_view kTrustedDeviceIdMismatchText = "TrustedDevice id must match identity.id.";

// The trust record of a paired device.
struct TrustedDevice {
    Uuid id; // always identity.id
    DevicePublicIdentity identity;
    Date pairedAt;
    std::optional<Date> lastSuccessfulConnection;
    DeviceAuthorization authorization = DeviceAuthorization::authorized;
    DevicePermissions permissions;
    std::optional<SavedWakeConfiguration> wakeConfiguration;
    std::vector<RemoteEndpoint> remoteEndpoints; // stored order
    std::optional<Uuid> preferredRemoteEndpointID;
    std::optional<Uuid> lastSuccessfulEndpointID;
    std::optional<RemoteReachabilityObservation> lastReachability;
    std::optional<PairedWakeRelayConfiguration> wakeRelayConfiguration;

    // The record of a device that has just paired: authorized, connected now.
    static TrustedDevice newlyPaired(const DevicePublicIdentity& identity, Date now, DevicePermissions permissions);

    // The order to try the endpoints in: the preferred one, then the last
    // successful one, then verified ones (latest verification first), then
    // the rest; ties by addedAt, oldest first, then stored order.
    std::vector<RemoteEndpoint> orderedRemoteEndpoints() const;

    bool operator==(const TrustedDevice&) const = default;
};

namespace json {

// An absent "remoteEndpoints" reads as empty; an id other than identity.id
// fails as dataCorrupted.
template <>
struct Codec<TrustedDevice> {
    static Json encode(const TrustedDevice& value);
    static TrustedDevice decode(const Json& j);
};

} // namespace json
} // namespace velorinth
