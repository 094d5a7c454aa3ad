#include "core/RemoteEndpoint.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velorinth;
using Case = RemoteEndpointValidationError::Case;

namespace {

const Uuid kId = *Uuid::fromString("11111111-2222-3333-4444-555555555555");

template <class F>
std::optional<Case> errorOf(F&& body) {
    try {
        body();
    } catch (const RemoteEndpointValidationError& error) {
        return error.kind;
    }
    return std::nullopt;
}

RemoteEndpoint validating(const std::string& text, std::uint16_t defaultPort = 51891,
                          std::optional<std::string> label = std::nullopt, bool allowLoopback = false) {
    return RemoteEndpoint::validating(text, defaultPort, RemoteTransportKind::privateNetwork, std::move(label), kId,
                                      Date(1000), allowLoopback);
}

} // namespace

TEST(RemoteEndpointValidator, RefusesWithTheRightCase) {
    const std::string longName = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                                 "." + std::string(62, 'd'); // 254 characters
    const Case path = Case::unexpectedPathOrCredentials, v6 = Case::invalidIPv6Literal,
               unspecified = Case::unspecifiedOrBroadcastAddress, multicast = Case::multicastAddressNotAllowed,
               loopback = Case::loopbackAddressNotAllowed, bonjour = Case::bonjourLocalDomainNotRoutable,
               name = Case::invalidHostname;
    const std::vector<std::pair<std::string, Case>> table = {
        {"", Case::emptyHost}, {" \t\n", Case::emptyHost}, {"[]", Case::emptyHost},
        {"http://mac.example.net", Case::urlSchemeNotAllowed},
        {"mac.example.net/path", path}, {"mac.example.net?q=1", path}, {"mac.example.net#x", path},
        {"user@mac.example.net", path}, {"mac example.net", path},
        {"fe80::1%eth0", v6}, {"1:2:3", v6}, {"mac.example.net:22", v6}, {std::string("::1\0evil", 8), v6},
        {"::", unspecified}, {"ff02::1", multicast}, {"::1", loopback}, {"::ffff:7f12:3456", loopback},
        {"1.2.3", name}, {"256.1.1.1", name}, {"1.2.3.4.", name},
        {"010.0.0.1", name}, // octal to the system resolver
        {"0.0.0.0", unspecified}, {"255.255.255.255", unspecified},
        {"224.0.0.1", multicast}, {"239.255.255.250", multicast},
        {"127.200.1.1", loopback}, {"LocalHost.", loopback}, {"api.localhost", loopback},
        {"local", bonjour}, {"Studio-Mac.local.", bonjour},
        {longName, name}, {std::string(64, 'a') + ".example.net", name}, {"-mac.example.net", name},
        {"mac-.example.net", name}, {"mac..example.net", name}, {"mac_1.example.net", name},
        {std::string("mac\0.net", 8), name},
    };
    for (const auto& [host, expected] : table) {
        EXPECT_EQ(errorOf([&] { RemoteEndpointValidator::validate(host, 51891, false); }), expected) << host;
    }
    EXPECT_EQ(errorOf([] { RemoteEndpointValidator::validate("mac.example.net", 0, false); }), Case::invalidPort);
}

TEST(RemoteEndpointValidator, CanonicalForms) {
    using Kind = RemoteHostKind;
    const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                                "." + std::string(61, 'd'); // 253 characters
    const std::vector<std::tuple<std::string, bool, std::string, Kind>> table = {
        {"  Mac.Example-VPN.net.  ", false, "mac.example-vpn.net", Kind::dnsHostname},
        {"[mac.example.net]", false, "mac.example.net", Kind::dnsHostname},
        {longest + ".", false, longest, Kind::dnsHostname},
        {"223.255.255.255", false, "223.255.255.255", Kind::ipv4Literal},
        {"[FD7A:115C:A1E0:0000:0000:0000:0000:0001]", false, "fd7a:115c:a1e0::1", Kind::ipv6Literal},
        {"::ffff:10.0.0.1", false, "::ffff:10.0.0.1", Kind::ipv6Literal},
        {"127.0.0.1", true, "127.0.0.1", Kind::ipv4Literal},
        {"::FFFF:127.0.0.1", true, "::ffff:127.0.0.1", Kind::ipv6Literal},
        {"LOCALHOST.", true, "localhost", Kind::dnsHostname},
    };
    for (const auto& [input, allowLoopback, host, kind] : table) {
        EXPECT_EQ(RemoteEndpointValidator::validate(input, 65535, allowLoopback),
                  (RemoteEndpointValidator::Result{host, 65535, kind}))
            << input;
    }
}

TEST(RemoteEndpoint, ValidatingParsesEveryForm) {
    const std::vector<std::tuple<std::string, std::string, std::uint16_t, RemoteHostKind>> table = {
        {"[fd7a:115c:a1e0::1]:8443", "fd7a:115c:a1e0::1", 8443, RemoteHostKind::ipv6Literal},
        {"[FD7A:115C:A1E0::1]", "fd7a:115c:a1e0::1", 51891, RemoteHostKind::ipv6Literal},
        {"fd7a:115c:a1e0::1", "fd7a:115c:a1e0::1", 51891, RemoteHostKind::ipv6Literal},
        {"Mac.Example.NET:1", "mac.example.net", 1, RemoteHostKind::dnsHostname},
        {"  10.0.0.5:65535 ", "10.0.0.5", 65535, RemoteHostKind::ipv4Literal},
        {"mac.example.net:00080", "mac.example.net", 80, RemoteHostKind::dnsHostname},
    };
    for (const auto& [text, host, port, kind] : table) {
        EXPECT_EQ(validating(text), (RemoteEndpoint{kId, host, port, kind, RemoteTransportKind::privateNetwork,
                                                    std::nullopt, Date(1000), std::nullopt, std::nullopt}))
            << text;
    }
    const std::vector<std::pair<std::string, Case>> failures = {
        {"mac.example.net:0", Case::invalidPort},     {"mac.example.net:65536", Case::invalidPort},
        {"mac.example.net:", Case::invalidPort},      {"mac.example.net:123456", Case::invalidPort},
        {"mac.example.net:+80", Case::invalidPort},   {"[fd7a::1]:99999", Case::invalidPort},
        {"[fd7a::1", Case::invalidIPv6Literal},       {"[fd7a::1]8443", Case::invalidIPv6Literal},
        {":8443", Case::emptyHost},                   {"mac.example.net: 80", Case::unexpectedPathOrCredentials},
    };
    for (const auto& [text, expected] : failures) EXPECT_EQ(errorOf([&] { validating(text); }), expected) << text;
    EXPECT_EQ(errorOf([] { validating("mac.example.net", 0); }), Case::invalidPort);
}

TEST(RemoteEndpoint, LabelLoopbackAndDisplayAddress) {
    EXPECT_EQ(validating("127.0.0.1:9000", 1, "  Office VPN \n", true).label, std::optional<std::string>("Office VPN"));
    EXPECT_EQ(validating("127.0.0.1:9000", 1, "   ", true).label, std::nullopt);
    EXPECT_EQ(validating("[fd7a:115c:a1e0::1]").displayAddress(), "[fd7a:115c:a1e0::1]:51891");
    EXPECT_EQ(validating("mac.example.net:22").displayAddress(), "mac.example.net:22");
}

TEST(RemoteEndpoint, JsonGoldenRoundTripAndFailures) {
    const auto golden = R"({"id": "11111111-2222-3333-4444-555555555555", "host": "fd7a:115c:a1e0::1",
        "port": 8443, "hostKind": "ipv6Literal", "transport": "privateNetwork", "label": "Office",
        "addedAt": 700000000, "lastVerifiedAt": 700000100.25})";
    RemoteEndpoint endpoint{kId, "fd7a:115c:a1e0::1", 8443, RemoteHostKind::ipv6Literal,
                            RemoteTransportKind::privateNetwork, "Office", Date(700000000), Date(700000100.25),
                            std::nullopt};
    EXPECT_EQ(Json::parse(golden), json::encode(endpoint));
    EXPECT_EQ(json::decodeFromString<RemoteEndpoint>(golden), endpoint);
    for (const auto& [key, value] : {std::pair<const char*, Json>{"port", 65536}, {"hostKind", "hostname"},
                                     {"transport", nullptr}, {"addedAt", "yesterday"}}) {
        Json bad = Json::parse(golden);
        bad[key] = value;
        EXPECT_THROW(json::decode<RemoteEndpoint>(bad), JSONDecodingError) << key;
    }

    const auto observation = R"({"lastRouteUsed":"localDirect","lastObservedAt":12.5})";
    EXPECT_EQ(Json::parse(observation), json::encode(RemoteReachabilityObservation{
                                            std::nullopt, ConnectionRouteKind::localDirect, Date(12.5)}));
}
