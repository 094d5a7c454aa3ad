#include "core/TrustedDevice.hpp"

#include <algorithm>

namespace velorinth {

TrustedDevice TrustedDevice::newlyPaired(const DevicePublicIdentity& identity, Date now,
                                         DevicePermissions permissions) {
    TrustedDevice record;
    record.id = identity.id;
    record.identity = identity;
    record.pairedAt = now;
    record.lastSuccessfulConnection = now;
    record.authorization = DeviceAuthorization::authorized;
    record.permissions = permissions;
    return record;
}

std::vector<RemoteEndpoint> TrustedDevice::orderedRemoteEndpoints() const {
    const auto rank = [this](const RemoteEndpoint& endpoint) {
        if (preferredRemoteEndpointID && endpoint.id == *preferredRemoteEndpointID) return 0;
        if (lastSuccessfulEndpointID && endpoint.id == *lastSuccessfulEndpointID) return 1;
        return endpoint.lastVerifiedAt ? 2 : 3;
    };
    std::vector<RemoteEndpoint> ordered = remoteEndpoints;
    std::stable_sort(ordered.begin(), ordered.end(), [&](const RemoteEndpoint& a, const RemoteEndpoint& b) {
        const int rankA = rank(a);
        const int rankB = rank(b);
        if (rankA != rankB) return rankA < rankB;
        if (rankA == 2 && *a.lastVerifiedAt != *b.lastVerifiedAt) return *a.lastVerifiedAt > *b.lastVerifiedAt;
        return a.addedAt < b.addedAt;
    });
    return ordered;
}

namespace json {

Json Codec<TrustedDevice>::encode(const TrustedDevice& value) {
    Json out = Json::object();
    put(out, "id", value.id);
    put(out, "identity", value.identity);
    put(out, "pairedAt", value.pairedAt);
    put(out, "lastSuccessfulConnection", value.lastSuccessfulConnection);
    put(out, "authorization", value.authorization);
    put(out, "permissions", value.permissions);
    put(out, "wakeConfiguration", value.wakeConfiguration);
    put(out, "remoteEndpoints", value.remoteEndpoints);
    put(out, "preferredRemoteEndpointID", value.preferredRemoteEndpointID);
    put(out, "lastSuccessfulEndpointID", value.lastSuccessfulEndpointID);
    put(out, "lastReachability", value.lastReachability);
    put(out, "wakeRelayConfiguration", value.wakeRelayConfiguration);
    return out;
}

TrustedDevice Codec<TrustedDevice>::decode(const Json& j) {
    expectObject(j, "TrustedDevice");
    TrustedDevice device{
        field<Uuid>(j, "id"),
        field<DevicePublicIdentity>(j, "identity"),
        field<Date>(j, "pairedAt"),
        field<std::optional<Date>>(j, "lastSuccessfulConnection"),
        field<DeviceAuthorization>(j, "authorization"),
        field<DevicePermissions>(j, "permissions"),
        field<std::optional<SavedWakeConfiguration>>(j, "wakeConfiguration"),
        fieldOr<std::vector<RemoteEndpoint>>(j, "remoteEndpoints", {}),
        field<std::optional<Uuid>>(j, "preferredRemoteEndpointID"),
        field<std::optional<Uuid>>(j, "lastSuccessfulEndpointID"),
        field<std::optional<RemoteReachabilityObservation>>(j, "lastReachability"),
        field<std::optional<PairedWakeRelayConfiguration>>(j, "wakeRelayConfiguration"),
    };
    if (device.id != device.identity.id) failCorrupted(std::string(kTrustedDeviceIdMismatchText));
    return device;
}

} // namespace json
} // namespace velorinth
