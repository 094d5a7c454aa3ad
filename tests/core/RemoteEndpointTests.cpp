#include "core/RemoteEndpoint.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velorinth;
using Case = RemoteEndpointValidationError::Case;

namespace {

Uuid uuid(const char* text) { return *Uuid::fromString(text); }

template <class F>
std::optional<Case> errorOf(F&& body) {
    try {
        body();
    } catch (const RemoteEndpointValidationError& error) {
        return error.kind;
    }
    return std::nullopt;
}

} // namespace

TEST(RemoteEndpointValidationError, TextsAreExact) {
    const std::vector<std::pair<Case, std::string>> table = {
        {Case::emptyHost, "Enter a private-network hostname or IP address for your Mac."},
        {Case::urlSchemeNotAllowed,
         "Enter only the hostname or IP address without a URL scheme such as http:// or https://."},
        {Case::unexpectedPathOrCredentials,
         "Endpoint host cannot contain paths, query strings, spaces, or @ credentials."},
        {Case::invalidPort, "Port must be between 1 and 65535."},
        {Case::bonjourLocalDomainNotRoutable,
         "Bonjour “.local” names only work on the same Wi-Fi/Ethernet subnet. Enter your private-network hostname "
         "(for example, my-mac.example-vpn.net) or private IP address instead."},
        {Case::unspecifiedOrBroadcastAddress,
         "Unspecified (0.0.0.0 / ::) and broadcast addresses cannot be used as a Mac endpoint."},
        {Case::multicastAddressNotAllowed, "Multicast addresses cannot be used as a Mac endpoint."},
        {Case::loopbackAddressNotAllowed,
         "Loopback addresses (127.0.0.1 / ::1 / localhost) point to this iPad rather than your remote Mac."},
        {Case::invalidIPv6Literal,
         "Malformed IPv6 address. For IPv6 with a custom port, use [fd7a:115c:a1e0::1]:51891."},
        {Case::invalidHostname, "Enter a valid DNS hostname, IPv4 address, or IPv6 address."},
    };
    for (const auto& [kind, text] : table) EXPECT_EQ(RemoteEndpointValidationError(kind).what(), text);
}

TEST(RemoteEndpointValidator, RefusesWithTheRightCase) {
    const std::string longName = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                                 "." + std::string(62, 'd'); // 254 characters
    const std::string longLabel = std::string(64, 'a') + ".example.net";
    struct Row {
        std::string host;
        std::uint16_t port;
        Case expected;
    };
    const std::vector<Row> table = {
        {"mac.example.net", 0, Case::invalidPort},
        {"", 51891, Case::emptyHost},
        {"  \t\n", 51891, Case::emptyHost},
        {"[]", 51891, Case::emptyHost},
        {"http://mac.example.net", 51891, Case::urlSchemeNotAllowed},
        {"ssh://user@mac", 51891, Case::urlSchemeNotAllowed},
        {"mac.example.net/path", 51891, Case::unexpectedPathOrCredentials},
        {"mac.example.net?q=1", 51891, Case::unexpectedPathOrCredentials},
        {"mac.example.net#x", 51891, Case::unexpectedPathOrCredentials},
        {"user@mac.example.net", 51891, Case::unexpectedPathOrCredentials},
        {"mac example.net", 51891, Case::unexpectedPathOrCredentials},
        {"mac\texample.net", 51891, Case::unexpectedPathOrCredentials},
        {"fe80::1%eth0", 51891, Case::invalidIPv6Literal},
        {"[fe80::1%25eth0]", 51891, Case::invalidIPv6Literal},
        {"1:2:3", 51891, Case::invalidIPv6Literal},
        {"::g", 51891, Case::invalidIPv6Literal},
        {"mac.example.net:22", 51891, Case::invalidIPv6Literal},
        {std::string("::1\0evil", 8), 51891, Case::invalidIPv6Literal},
        {"::", 51891, Case::unspecifiedOrBroadcastAddress},
        {"[0:0:0:0:0:0:0:0]", 51891, Case::unspecifiedOrBroadcastAddress},
        {"ff02::1", 51891, Case::multicastAddressNotAllowed},
        {"FF05::2", 51891, Case::multicastAddressNotAllowed},
        {"::1", 51891, Case::loopbackAddressNotAllowed},
        {"::ffff:127.0.0.1", 51891, Case::loopbackAddressNotAllowed},
        {"::ffff:7f12:3456", 51891, Case::loopbackAddressNotAllowed},
        {"1.2.3", 51891, Case::invalidHostname},
        {"1.2.3.4.5", 51891, Case::invalidHostname},
        {"256.1.1.1", 51891, Case::invalidHostname},
        {"1..2.3", 51891, Case::invalidHostname},
        {"1.2.3.4.", 51891, Case::invalidHostname},
        {"010.0.0.1", 51891, Case::invalidHostname}, // octal to the system resolver
        {"0177.0.0.1", 51891, Case::invalidHostname},
        {"0.0.0.0", 51891, Case::unspecifiedOrBroadcastAddress},
        {"255.255.255.255", 51891, Case::unspecifiedOrBroadcastAddress},
        {"224.0.0.1", 51891, Case::multicastAddressNotAllowed},
        {"239.255.255.250", 51891, Case::multicastAddressNotAllowed},
        {"127.0.0.1", 51891, Case::loopbackAddressNotAllowed},
        {"127.200.1.1", 51891, Case::loopbackAddressNotAllowed},
        {"localhost", 51891, Case::loopbackAddressNotAllowed},
        {"LocalHost.", 51891, Case::loopbackAddressNotAllowed},
        {"api.localhost", 51891, Case::loopbackAddressNotAllowed},
        {"local", 51891, Case::bonjourLocalDomainNotRoutable},
        {"Studio-Mac.local", 51891, Case::bonjourLocalDomainNotRoutable},
        {"studio-mac.local.", 51891, Case::bonjourLocalDomainNotRoutable},
        {longName, 51891, Case::invalidHostname},
        {longLabel, 51891, Case::invalidHostname},
        {"-mac.example.net", 51891, Case::invalidHostname},
        {"mac-.example.net", 51891, Case::invalidHostname},
        {"mac..example.net", 51891, Case::invalidHostname},
        {"mac.example.net..", 51891, Case::invalidHostname},
        {".", 51891, Case::invalidHostname},
        {"mac_1.example.net", 51891, Case::invalidHostname},
        {"m\xC3\xA4" "c.example.net", 51891, Case::invalidHostname},
        {std::string("mac\0.example.net", 16), 51891, Case::invalidHostname},
    };
    for (const auto& row : table) {
        EXPECT_EQ(errorOf([&] { RemoteEndpointValidator::validate(row.host, row.port, false); }), row.expected)
            << "host: " << row.host;
    }
}

TEST(RemoteEndpointValidator, CanonicalForms) {
    using Kind = RemoteHostKind;
    struct Row {
        std::string input;
        bool allowLoopback;
        std::string host;
        Kind kind;
    };
    const std::vector<Row> table = {
        {"  Mac.Example-VPN.net.  ", false, "mac.example-vpn.net", Kind::dnsHostname},
        {"mac", false, "mac", Kind::dnsHostname},
        {"[mac.example.net]", false, "mac.example.net", Kind::dnsHostname},
        {std::string(63, 'a') + ".example", false, std::string(63, 'a') + ".example", Kind::dnsHostname},
        {"100.64.0.7", false, "100.64.0.7", Kind::ipv4Literal},
        {"0.1.2.3", false, "0.1.2.3", Kind::ipv4Literal},
        {"223.255.255.255", false, "223.255.255.255", Kind::ipv4Literal},
        {"240.0.0.1", false, "240.0.0.1", Kind::ipv4Literal},
        {"[FD7A:115C:A1E0:0000:0000:0000:0000:0001]", false, "fd7a:115c:a1e0::1", Kind::ipv6Literal},
        {"2001:DB8:0:0:1:0:0:1", false, "2001:db8::1:0:0:1", Kind::ipv6Literal},
        {"::ffff:10.0.0.1", false, "::ffff:10.0.0.1", Kind::ipv6Literal},
        {"fe00::1", false, "fe00::1", Kind::ipv6Literal},
        {"127.0.0.1", true, "127.0.0.1", Kind::ipv4Literal},
        {"::1", true, "::1", Kind::ipv6Literal},
        {"::FFFF:127.0.0.1", true, "::ffff:127.0.0.1", Kind::ipv6Literal},
        {"LOCALHOST.", true, "localhost", Kind::dnsHostname},
    };
    for (const auto& row : table) {
        const auto result = RemoteEndpointValidator::validate(row.input, 443, row.allowLoopback);
        EXPECT_EQ(result, (RemoteEndpointValidator::Result{row.host, 443, row.kind})) << row.input;
    }
    // The longest name allowed: 253 characters.
    const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                std::string(61, 'd');
    EXPECT_EQ(RemoteEndpointValidator::validate(longest + ".", 1, false).host, longest);
    EXPECT_EQ(RemoteEndpointValidator::validate("mac", 65535, false).port, 65535);
}

TEST(RemoteEndpoint, ValidatingParsesEveryForm) {
    const Uuid id = uuid("11111111-2222-3333-4444-555555555555");
    const Date added(1000);
    struct Row {
        std::string text;
        std::string host;
        std::uint16_t port;
        RemoteHostKind kind;
    };
    const std::vector<Row> table = {
        {"[fd7a:115c:a1e0::1]:8443", "fd7a:115c:a1e0::1", 8443, RemoteHostKind::ipv6Literal},
        {"[FD7A:115C:A1E0::1]", "fd7a:115c:a1e0::1", 51891, RemoteHostKind::ipv6Literal},
        {"fd7a:115c:a1e0::1", "fd7a:115c:a1e0::1", 51891, RemoteHostKind::ipv6Literal},
        {"Mac.Example.NET:1", "mac.example.net", 1, RemoteHostKind::dnsHostname},
        {"  10.0.0.5:65535 ", "10.0.0.5", 65535, RemoteHostKind::ipv4Literal},
        {"mac.example.net", "mac.example.net", 51891, RemoteHostKind::dnsHostname},
        {"mac.example.net:00080", "mac.example.net", 80, RemoteHostKind::dnsHostname},
    };
    for (const auto& row : table) {
        auto endpoint = RemoteEndpoint::validating(row.text, 51891, RemoteTransportKind::privateNetwork, std::nullopt,
                                                   id, added, false);
        EXPECT_EQ(endpoint, (RemoteEndpoint{id, row.host, row.port, row.kind, RemoteTransportKind::privateNetwork,
                                            std::nullopt, added, std::nullopt, std::nullopt}))
            << row.text;
    }

    const std::vector<std::pair<std::string, Case>> failures = {
        {"mac.example.net:0", Case::invalidPort},
        {"mac.example.net:65536", Case::invalidPort},
        {"mac.example.net:", Case::invalidPort},
        {"mac.example.net:abc", Case::invalidPort},
        {"mac.example.net:123456", Case::invalidPort},
        {"mac.example.net:+80", Case::invalidPort},
        {"[::1]:", Case::invalidPort},
        {"[fd7a::1]:99999", Case::invalidPort},
        {"[fd7a::1", Case::invalidIPv6Literal},
        {"[fd7a::1]8443", Case::invalidIPv6Literal},
        {"fe80::1%eth0", Case::invalidIPv6Literal},
        {":8443", Case::emptyHost},
        {"   ", Case::emptyHost},
        {"https://mac.example.net:443", Case::urlSchemeNotAllowed},
        {"mac.example.net:443/path", Case::unexpectedPathOrCredentials},
        {"admin@mac.example.net:22", Case::unexpectedPathOrCredentials},
        {"mac.example.net: 80", Case::unexpectedPathOrCredentials},
        {"[::1]:8443", Case::loopbackAddressNotAllowed},
        {"my-mac.local:51891", Case::bonjourLocalDomainNotRoutable},
    };
    for (const auto& [text, expected] : failures) {
        EXPECT_EQ(errorOf([&] {
                      RemoteEndpoint::validating(text, 51891, RemoteTransportKind::privateNetwork, std::nullopt, id,
                                                 added, false);
                  }),
                  expected)
            << text;
    }
    // No port in the text and a default of 0 is still a bad port.
    EXPECT_EQ(errorOf([&] {
                  RemoteEndpoint::validating("mac.example.net", 0, RemoteTransportKind::localDirect, std::nullopt, id,
                                             added, false);
              }),
              Case::invalidPort);
}

TEST(RemoteEndpoint, ValidatingTrimsTheLabelAndHonoursLoopback) {
    const Uuid id = uuid("11111111-2222-3333-4444-555555555555");
    auto make = [&](std::optional<std::string> label) {
        return RemoteEndpoint::validating("127.0.0.1:9000", 51891, RemoteTransportKind::localDirect, std::move(label),
                                          id, Date(5), true);
    };
    EXPECT_EQ(make("  Office VPN \n").label, std::optional<std::string>("Office VPN"));
    EXPECT_EQ(make("   ").label, std::nullopt);
    EXPECT_EQ(make("").label, std::nullopt);
    EXPECT_EQ(make(std::nullopt).label, std::nullopt);
    EXPECT_EQ(make("x").transport, RemoteTransportKind::localDirect);
}

TEST(RemoteEndpoint, DisplayAddress) {
    RemoteEndpoint v6{Uuid(), "fd7a:115c:a1e0::1", 51891, RemoteHostKind::ipv6Literal,
                      RemoteTransportKind::privateNetwork, std::nullopt, Date(0), std::nullopt, std::nullopt};
    EXPECT_EQ(v6.displayAddress(), "[fd7a:115c:a1e0::1]:51891");
    RemoteEndpoint name = v6;
    name.host = "mac.example.net";
    name.hostKind = RemoteHostKind::dnsHostname;
    name.port = 22;
    EXPECT_EQ(name.displayAddress(), "mac.example.net:22");
}

TEST(RemoteEndpoint, JsonGoldenRoundTripAndFailures) {
    const auto golden = R"({
        "id": "11111111-2222-3333-4444-555555555555",
        "host": "fd7a:115c:a1e0::1",
        "port": 8443,
        "hostKind": "ipv6Literal",
        "transport": "privateNetwork",
        "label": "Office",
        "addedAt": 700000000,
        "lastVerifiedAt": 700000100.25
    })";
    RemoteEndpoint endpoint{uuid("11111111-2222-3333-4444-555555555555"), "fd7a:115c:a1e0::1", 8443,
                            RemoteHostKind::ipv6Literal, RemoteTransportKind::privateNetwork, "Office",
                            Date(700000000), Date(700000100.25), std::nullopt};
    EXPECT_EQ(Json::parse(golden), json::encode(endpoint));
    EXPECT_EQ(json::decodeFromString<RemoteEndpoint>(golden), endpoint);
    endpoint.lastConnectedAt = Date(700000200);
    endpoint.label.reset();
    EXPECT_EQ(json::decodeFromString<RemoteEndpoint>(json::encodeToString(endpoint)), endpoint);

    Json bad = Json::parse(golden);
    bad["port"] = 65536;
    EXPECT_THROW(json::decode<RemoteEndpoint>(bad), JSONDecodingError);
    bad = Json::parse(golden);
    bad["hostKind"] = "hostname";
    EXPECT_THROW(json::decode<RemoteEndpoint>(bad), JSONDecodingError);
    bad = Json::parse(golden);
    bad.erase("transport");
    EXPECT_THROW(json::decode<RemoteEndpoint>(bad), JSONDecodingError);
    bad = Json::parse(golden);
    bad["addedAt"] = "yesterday";
    EXPECT_THROW(json::decode<RemoteEndpoint>(bad), JSONDecodingError);
}

TEST(RemoteReachabilityObservation, JsonGolden) {
    const auto golden = R"({"lastRouteUsed":"localDirect","lastObservedAt":12.5})";
    RemoteReachabilityObservation observation{std::nullopt, ConnectionRouteKind::localDirect, Date(12.5)};
    EXPECT_EQ(Json::parse(golden), json::encode(observation));
    EXPECT_EQ(json::decodeFromString<RemoteReachabilityObservation>(
                  R"({"lastKnownReachableEndpointID":null,"lastRouteUsed":"localDirect","lastObservedAt":12.5})"),
              observation);
    EXPECT_EQ(json::encode(HostAvailability::unreachable), Json("unreachable"));
    EXPECT_EQ(json::decode<ConnectionRouteKind>(Json("bonjourLocal")), ConnectionRouteKind::bonjourLocal);
}
