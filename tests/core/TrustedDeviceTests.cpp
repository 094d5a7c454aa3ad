#include "core/TrustedDevice.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

using namespace velorinth;

namespace {

const char* const kGeneratorBase64 =
    "BGsX0fLhLEJH+Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT+NC4v4af5uO5+tKfA+eFivOM1drMV7Oy7ZAaDe/UfU=";
const Uuid kId = *Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

Uuid uuid(const char* text) { return *Uuid::fromString(text); }

DevicePublicIdentity identityWithId(Uuid id) {
    return DevicePublicIdentity::fromPublicKey(id, "Studio Mac", uuid("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"),
                                               *base64Decode(kGeneratorBase64));
}

RemoteEndpoint endpoint(int n, double addedAt, std::optional<double> verifiedAt = std::nullopt) {
    Uuid::Storage bytes{};
    bytes[15] = static_cast<std::uint8_t>(n);
    return RemoteEndpoint{Uuid(bytes), "host" + std::to_string(n) + ".example.net", 51891,
                          RemoteHostKind::dnsHostname, RemoteTransportKind::privateNetwork, std::nullopt,
                          Date(addedAt), verifiedAt ? std::optional<Date>(Date(*verifiedAt)) : std::nullopt,
                          std::nullopt};
}

// Every field set, written by hand from the field names.
const char* const kGoldenFull = R"({
    "id": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
    "identity": {"id": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "displayName": "Studio Mac",
        "discoveryInstanceID": "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0",
        "signingPublicKey": "BGsX0fLhLEJH+Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT+NC4v4af5uO5+tKfA+eFivOM1drMV7Oy7ZAaDe/UfU=",
        "fingerprint": {"bytes": "aYvqY9xEo0RmP/FCmuoQhC3ye2uZHvJYZrLGwCzcxb4="}},
    "pairedAt": 700000000, "lastSuccessfulConnection": 700000500.5,
    "authorization": "revoked", "permissions": 135,
    "wakeConfiguration": {"targets": [], "sleepProxyEligible": false, "wakeForNetworkAccess": {"unknown": {}},
        "wakeOnlyOnACPower": false, "lastKnownPowerSource": "unknown", "lastKnownPowerState": "unknown",
        "updatedAt": 700000400},
    "remoteEndpoints": [{"id": "00000000-0000-0000-0000-000000000001", "host": "host1.example.net", "port": 51891,
        "hostKind": "dnsHostname", "transport": "privateNetwork", "addedAt": 10}],
    "preferredRemoteEndpointID": "00000000-0000-0000-0000-000000000001",
    "lastSuccessfulEndpointID": "00000000-0000-0000-0000-000000000001",
    "lastReachability": {"lastKnownReachableEndpointID": "00000000-0000-0000-0000-000000000001",
        "lastRouteUsed": "privateNetwork", "lastObservedAt": 700000600},
    "wakeRelayConfiguration": {
        "relayIdentity": {"id": "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE", "displayName": "Studio Mac",
            "discoveryInstanceID": "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0",
            "signingPublicKey": "BGsX0fLhLEJH+Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT+NC4v4af5uO5+tKfA+eFivOM1drMV7Oy7ZAaDe/UfU=",
            "fingerprint": {"bytes": "aYvqY9xEo0RmP/FCmuoQhC3ye2uZHvJYZrLGwCzcxb4="}},
        "endpoint": {"id": "00000000-0000-0000-0000-000000000002", "host": "10.0.0.2", "port": 51892,
            "hostKind": "ipv4Literal", "transport": "localDirect", "addedAt": 20},
        "targetMacDeviceID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "pairedAt": 30, "lastWakeDispatchedAt": 40}
})";

TrustedDevice minimalDevice() {
    TrustedDevice device;
    device.id = kId;
    device.identity = identityWithId(kId);
    device.pairedAt = Date(700000000);
    device.authorization = DeviceAuthorization::revoked;
    device.permissions = DevicePermissions(0x87);
    return device;
}

} // namespace

TEST(TrustedDevice, JsonGoldenFullRecordAndAbsentOptionals) {
    TrustedDevice device = minimalDevice();
    device.lastSuccessfulConnection = Date(700000500.5);
    device.wakeConfiguration = SavedWakeConfiguration::empty(Date(700000400));
    device.remoteEndpoints = {endpoint(1, 10)};
    device.preferredRemoteEndpointID = device.remoteEndpoints[0].id;
    device.lastSuccessfulEndpointID = device.remoteEndpoints[0].id;
    device.lastReachability = RemoteReachabilityObservation{device.remoteEndpoints[0].id,
                                                            ConnectionRouteKind::privateNetwork, Date(700000600)};
    RemoteEndpoint relayEndpoint{uuid("00000000-0000-0000-0000-000000000002"), "10.0.0.2", 51892,
                                 RemoteHostKind::ipv4Literal, RemoteTransportKind::localDirect, std::nullopt,
                                 Date(20), std::nullopt, std::nullopt};
    device.wakeRelayConfiguration = PairedWakeRelayConfiguration{
        identityWithId(uuid("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE")), relayEndpoint, kId, Date(30), std::nullopt,
        Date(40)};
    EXPECT_EQ(Json::parse(kGoldenFull), json::encode(device));
    EXPECT_EQ(json::decodeFromString<TrustedDevice>(kGoldenFull), device);

    // Optionals absent or null, and no endpoint list at all, read as a bare record.
    Json minimal = Json::parse(kGoldenFull);
    for (const char* key : {"lastSuccessfulConnection", "wakeConfiguration", "remoteEndpoints",
                            "preferredRemoteEndpointID", "lastSuccessfulEndpointID", "wakeRelayConfiguration"}) {
        minimal.erase(key);
    }
    minimal["lastReachability"] = nullptr;
    EXPECT_EQ(json::decode<TrustedDevice>(minimal), minimalDevice());
}

TEST(TrustedDevice, DecodingRefusesBrokenRecords) {
    Json mismatch = json::encode(minimalDevice());
    mismatch["id"] = "E621E1F8-C36C-495A-93FC-0C247A3E6E60";
    const auto error = velorinth::testing::thrown<JSONDecodingError>([&] { json::decode<TrustedDevice>(mismatch); });
    EXPECT_EQ(error.kind, JSONDecodingError::Case::dataCorrupted);
    EXPECT_STREQ(error.what(), "TrustedDevice id must match identity.id.");
    Json shortFingerprint = json::encode(minimalDevice());
    shortFingerprint["identity"]["fingerprint"]["bytes"] = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==";
    EXPECT_THROW(json::decode<TrustedDevice>(shortFingerprint), IdentityModelError);
    for (const auto& [key, value] : {std::pair<const char*, Json>{"authorization", nullptr}, {"permissions", "all"},
                                     {"remoteEndpoints", Json::object()}}) {
        Json bad = json::encode(minimalDevice());
        bad[key] = value;
        EXPECT_THROW(json::decode<TrustedDevice>(bad), JSONDecodingError) << key;
    }
}

TEST(TrustedDevice, OrderedRemoteEndpoints) {
    TrustedDevice device = minimalDevice();
    // Stored order scrambled: (n, addedAt, lastVerifiedAt).
    device.remoteEndpoints = {endpoint(1, 40),      endpoint(2, 10, 100), endpoint(3, 30), endpoint(4, 50, 300),
                              endpoint(5, 20, 100), endpoint(6, 5),       endpoint(7, 60, 200), endpoint(8, 30)};
    const auto idOf = [&](int n) { return device.remoteEndpoints[static_cast<std::size_t>(n - 1)].id; };
    const auto order = [&] {
        std::string out;
        for (const auto& e : device.orderedRemoteEndpoints()) out += e.host.substr(4, 1);
        return out;
    };
    EXPECT_EQ(order(), "47256381");

    device.preferredRemoteEndpointID = idOf(1);
    device.lastSuccessfulEndpointID = idOf(8);
    EXPECT_EQ(order(), "18472563");

    // Preferred and last successful may be the same endpoint: it appears once.
    device.lastSuccessfulEndpointID = idOf(1);
    EXPECT_EQ(order(), "14725638");

    // Identifiers that name no endpoint, and reachability, change nothing.
    device.preferredRemoteEndpointID = uuid("99999999-9999-9999-9999-999999999999");
    device.lastSuccessfulEndpointID = std::nullopt;
    device.lastReachability = RemoteReachabilityObservation{idOf(6), ConnectionRouteKind::privateNetwork, Date(9)};
    EXPECT_EQ(order(), "47256381");
    EXPECT_EQ(device.remoteEndpoints[0].host, "host1.example.net"); // stored order untouched
}
