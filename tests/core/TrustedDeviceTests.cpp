#include "core/TrustedDevice.hpp"

#include <gtest/gtest.h>

using namespace velorinth;

namespace {

const char* const kGeneratorBase64 =
    "BGsX0fLhLEJH+Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT+NC4v4af5uO5+tKfA+eFivOM1drMV7Oy7ZAaDe/UfU=";
const char* const kGeneratorFingerprintBase64 = "aYvqY9xEo0RmP/FCmuoQhC3ye2uZHvJYZrLGwCzcxb4=";

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

TrustedDevice makeDevice(Uuid id, Date pairedAt, std::optional<Date> lastSuccessfulConnection,
                         DeviceAuthorization authorization, DevicePermissions permissions) {
    TrustedDevice device;
    device.id = id;
    device.identity = identityWithId(id);
    device.pairedAt = pairedAt;
    device.lastSuccessfulConnection = lastSuccessfulConnection;
    device.authorization = authorization;
    device.permissions = permissions;
    return device;
}

std::vector<std::string> hostsOf(const std::vector<RemoteEndpoint>& endpoints) {
    std::vector<std::string> out;
    for (const auto& e : endpoints) out.push_back(e.host.substr(0, e.host.find('.')));
    return out;
}

// A minimal record as written by hand from the field names.
const char* const kGoldenMinimal = R"({
    "id": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
    "identity": {
        "id": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
        "displayName": "Studio Mac",
        "discoveryInstanceID": "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0",
        "signingPublicKey": "BGsX0fLhLEJH+Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT+NC4v4af5uO5+tKfA+eFivOM1drMV7Oy7ZAaDe/UfU=",
        "fingerprint": {"bytes": "aYvqY9xEo0RmP/FCmuoQhC3ye2uZHvJYZrLGwCzcxb4="}
    },
    "pairedAt": 700000000,
    "authorization": "authorized",
    "permissions": 3,
    "remoteEndpoints": []
})";

} // namespace

TEST(TrustedDevice, JsonGoldenMinimalAndAbsentEndpoints) {
    const Uuid id = uuid("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    TrustedDevice device = makeDevice(id, Date(700000000), std::nullopt, DeviceAuthorization::authorized,
                         DevicePermissions::connect | DevicePermissions::screenView);
    EXPECT_EQ(Json::parse(kGoldenMinimal), json::encode(device));
    EXPECT_EQ(json::decodeFromString<TrustedDevice>(kGoldenMinimal), device);

    Json absent = Json::parse(kGoldenMinimal);
    absent.erase("remoteEndpoints");
    EXPECT_EQ(json::decode<TrustedDevice>(absent), device);
    absent["remoteEndpoints"] = nullptr;
    EXPECT_EQ(json::decode<TrustedDevice>(absent), device);
}

TEST(TrustedDevice, JsonGoldenFullRecord) {
    const auto golden = R"({
        "id": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
        "identity": {
            "id": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
            "displayName": "Studio Mac",
            "discoveryInstanceID": "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0",
            "signingPublicKey": "BGsX0fLhLEJH+Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT+NC4v4af5uO5+tKfA+eFivOM1drMV7Oy7ZAaDe/UfU=",
            "fingerprint": {"bytes": "aYvqY9xEo0RmP/FCmuoQhC3ye2uZHvJYZrLGwCzcxb4="}
        },
        "pairedAt": 700000000,
        "lastSuccessfulConnection": 700000500.5,
        "authorization": "revoked",
        "permissions": 135,
        "wakeConfiguration": {
            "targets": [],
            "sleepProxyEligible": false,
            "wakeForNetworkAccess": {"unknown": {}},
            "wakeOnlyOnACPower": false,
            "lastKnownPowerSource": "unknown",
            "lastKnownPowerState": "unknown",
            "updatedAt": 700000400
        },
        "remoteEndpoints": [{
            "id": "00000000-0000-0000-0000-000000000001",
            "host": "host1.example.net",
            "port": 51891,
            "hostKind": "dnsHostname",
            "transport": "privateNetwork",
            "addedAt": 10
        }],
        "preferredRemoteEndpointID": "00000000-0000-0000-0000-000000000001",
        "lastSuccessfulEndpointID": "00000000-0000-0000-0000-000000000001",
        "lastReachability": {
            "lastKnownReachableEndpointID": "00000000-0000-0000-0000-000000000001",
            "lastRouteUsed": "privateNetwork",
            "lastObservedAt": 700000600
        },
        "wakeRelayConfiguration": {
            "relayIdentity": {
                "id": "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE",
                "displayName": "Studio Mac",
                "discoveryInstanceID": "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0",
                "signingPublicKey": "BGsX0fLhLEJH+Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT+NC4v4af5uO5+tKfA+eFivOM1drMV7Oy7ZAaDe/UfU=",
                "fingerprint": {"bytes": "aYvqY9xEo0RmP/FCmuoQhC3ye2uZHvJYZrLGwCzcxb4="}
            },
            "endpoint": {
                "id": "00000000-0000-0000-0000-000000000002",
                "host": "10.0.0.2",
                "port": 51892,
                "hostKind": "ipv4Literal",
                "transport": "localDirect",
                "addedAt": 20
            },
            "targetMacDeviceID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
            "pairedAt": 30,
            "lastWakeDispatchedAt": 40
        }
    })";
    const Uuid id = uuid("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    TrustedDevice device = makeDevice(id, Date(700000000), Date(700000500.5), DeviceAuthorization::revoked,
                         DevicePermissions(0x87));
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
        identityWithId(uuid("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE")), relayEndpoint, id, Date(30), std::nullopt,
        Date(40)};

    EXPECT_EQ(Json::parse(golden), json::encode(device));
    EXPECT_EQ(json::decodeFromString<TrustedDevice>(golden), device);
}

TEST(TrustedDevice, RoundTripWithWakeConfigurationAndEndpoints) {
    const Uuid id = uuid("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    TrustedDevice device = makeDevice(id, Date(1), std::nullopt, DeviceAuthorization::authorized,
                         DevicePermissions::all);
    SavedWakeConfiguration wake = SavedWakeConfiguration::empty(Date(50));
    wake.targets.push_back(WakeNetworkInterfaceTarget("en0", WakeInterfaceKind::ethernet,
                                                      MACAddress(std::string_view("3c:22:fb:01:02:03")),
                                                      "192.168.1.20", "255.255.255.0"));
    wake.bonjourServicePort = 0;
    wake.sleepProxyEligible = true;
    wake.wakeForNetworkAccess = Evidence<bool>::lastKnown(true, Date(45));
    wake.lastKnownPowerSource = PowerSourceCondition::acPower;
    wake.lastVerifiedWakeAt = Date(48);
    device.wakeConfiguration = wake;
    device.remoteEndpoints = {endpoint(1, 10, 20), endpoint(2, 5)};
    device.remoteEndpoints[1].label = "Home";
    device.lastSuccessfulEndpointID = device.remoteEndpoints[1].id;

    const auto decoded = json::decodeFromString<TrustedDevice>(json::encodeToString(device));
    EXPECT_EQ(decoded, device);
    ASSERT_TRUE(decoded.wakeConfiguration);
    EXPECT_EQ(decoded.wakeConfiguration->targets.at(0).directedBroadcastAddress,
              std::optional<std::string>("192.168.1.255"));
}

TEST(TrustedDevice, DecodingRefusesBrokenRecords) {
    Json mismatch = Json::parse(kGoldenMinimal);
    mismatch["id"] = "E621E1F8-C36C-495A-93FC-0C247A3E6E60";
    try {
        json::decode<TrustedDevice>(mismatch);
        ADD_FAILURE() << "a record whose id differs from identity.id decoded";
    } catch (const JSONDecodingError& error) {
        EXPECT_EQ(error.kind, JSONDecodingError::Case::dataCorrupted);
        EXPECT_STREQ(error.what(), "TrustedDevice id must match identity.id.");
    }

    Json missing = Json::parse(kGoldenMinimal);
    missing.erase("authorization");
    EXPECT_THROW(json::decode<TrustedDevice>(missing), JSONDecodingError);
    Json wrongType = Json::parse(kGoldenMinimal);
    wrongType["permissions"] = "all";
    EXPECT_THROW(json::decode<TrustedDevice>(wrongType), JSONDecodingError);
    Json badEndpoints = Json::parse(kGoldenMinimal);
    badEndpoints["remoteEndpoints"] = Json::object();
    EXPECT_THROW(json::decode<TrustedDevice>(badEndpoints), JSONDecodingError);
    Json shortFingerprint = Json::parse(kGoldenMinimal);
    shortFingerprint["identity"]["fingerprint"]["bytes"] = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==";
    EXPECT_THROW(json::decode<TrustedDevice>(shortFingerprint), IdentityModelError);
    EXPECT_THROW(json::decodeFromString<TrustedDevice>("[]"), JSONDecodingError);
}

TEST(TrustedDevice, OrderedRemoteEndpoints) {
    const Uuid id = uuid("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    TrustedDevice device = makeDevice(id, Date(1), std::nullopt, DeviceAuthorization::authorized,
                         DevicePermissions::all);
    // Stored order deliberately scrambled.
    device.remoteEndpoints = {
        endpoint(1, 40),          // unverified, newest
        endpoint(2, 10, 100),     // verified early
        endpoint(3, 30),          // unverified
        endpoint(4, 50, 300),     // verified latest
        endpoint(5, 20, 100),     // verified early, same as 2, added later
        endpoint(6, 5),           // unverified, oldest
        endpoint(7, 60, 200),     // verified middle
        endpoint(8, 30),          // unverified, same addedAt as 3
    };
    const auto id0f = [&](int n) { return device.remoteEndpoints[static_cast<std::size_t>(n - 1)].id; };

    EXPECT_EQ(hostsOf(device.orderedRemoteEndpoints()),
              (std::vector<std::string>{"host4", "host7", "host2", "host5", "host6", "host3", "host8", "host1"}));

    device.preferredRemoteEndpointID = id0f(1);
    device.lastSuccessfulEndpointID = id0f(8);
    EXPECT_EQ(hostsOf(device.orderedRemoteEndpoints()),
              (std::vector<std::string>{"host1", "host8", "host4", "host7", "host2", "host5", "host6", "host3"}));

    // Preferred and last successful may be the same endpoint: it appears once.
    device.lastSuccessfulEndpointID = id0f(1);
    auto ordered = device.orderedRemoteEndpoints();
    EXPECT_EQ(ordered.size(), 8u);
    EXPECT_EQ(hostsOf(ordered),
              (std::vector<std::string>{"host1", "host4", "host7", "host2", "host5", "host6", "host3", "host8"}));

    // Identifiers that name no endpoint, and reachability, change nothing.
    device.preferredRemoteEndpointID = uuid("99999999-9999-9999-9999-999999999999");
    device.lastSuccessfulEndpointID = std::nullopt;
    device.lastReachability = RemoteReachabilityObservation{id0f(6), ConnectionRouteKind::privateNetwork, Date(9)};
    EXPECT_EQ(hostsOf(device.orderedRemoteEndpoints()),
              (std::vector<std::string>{"host4", "host7", "host2", "host5", "host6", "host3", "host8", "host1"}));
    EXPECT_EQ(device.remoteEndpoints[0].host, "host1.example.net"); // stored order untouched
}
