#include "core/WakeModels.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

using namespace velorinth;

namespace {

const Bytes kMac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

template <class F>
void expectWakeError(WakeModelError::Case expected, F&& f, const std::string& context) {
    EXPECT_EQ(velorinth::testing::thrown<WakeModelError>(f).kind, expected) << context;
}

} // namespace

TEST(Evidence, GoldenJsonOfEveryCase) {
    const std::pair<Evidence<bool>, const char*> cases[] = {
        {Evidence<bool>::verified(true), R"({"verified":{"_0":true}})"},
        {Evidence<bool>::lastKnown(false, Date(786316800.5)), R"({"lastKnown":{"_0":false,"observedAt":786316800.5}})"},
        {Evidence<bool>::unknown(), R"({"unknown":{}})"},
        {Evidence<bool>::unsupported(), R"({"unsupported":{}})"},
    };
    for (const auto& [value, golden] : cases) {
        EXPECT_EQ(json::encode(value), json::parse(golden)) << golden;
        EXPECT_EQ(json::decodeFromString<Evidence<bool>>(golden), value) << golden;
    }
}

TEST(SavedWakeConfiguration, GoldenJsonPortZeroAndRequiredPowerState) {
    const char* golden = R"({
      "targets": [
        {"interfaceName": "en0", "kind": "ethernet", "hardwareAddress": {"bytes": "ABEiM0RV"},
         "ipv4Address": "192.168.1.20", "subnetMask": "255.255.255.0", "directedBroadcastAddress": "192.168.1.255"},
        {"interfaceName": "en1", "kind": "wifi", "hardwareAddress": {"bytes": "ABEiM0RV"},
         "ipv4Address": "10.0.0.5", "subnetMask": "255.0.0.0"}
      ],
      "bonjourServicePort": 0, "sleepProxyEligible": true,
      "wakeForNetworkAccess": {"lastKnown": {"_0": true, "observedAt": 786316800.5}},
      "wakeOnlyOnACPower": false, "lastKnownPowerSource": "acPower",
      "lastKnownPowerState": "systemSleepReportedBeforeDisconnect",
      "updatedAt": 786316800, "lastVerifiedWakeAt": 786316700.25,
      "lastAttempt": {"timestamp": 786316700.25, "routeUsed": "bonjourSleepProxy",
                      "result": "wakeConfirmedByAuthenticatedSession"}
    })";
    SavedWakeConfiguration config;
    config.targets = {
        WakeNetworkInterfaceTarget("en0", WakeInterfaceKind::ethernet, MACAddress(kMac), "192.168.1.20",
                                   "255.255.255.0"),
        // Decoding derives nothing, so a stored target without broadcast stays that way.
        WakeNetworkInterfaceTarget::stored("en1", WakeInterfaceKind::wifi, MACAddress(kMac), "10.0.0.5", "255.0.0.0",
                                           std::nullopt),
    };
    config.bonjourServicePort = 0;
    config.sleepProxyEligible = true;
    config.wakeForNetworkAccess = Evidence<bool>::lastKnown(true, Date(786316800.5));
    config.lastKnownPowerSource = PowerSourceCondition::acPower;
    config.lastKnownPowerState = PowerStateEvidence::systemSleepReportedBeforeDisconnect;
    config.updatedAt = Date(786316800);
    config.lastVerifiedWakeAt = Date(786316700.25);
    config.lastAttempt = WakeAttemptOutcomeSummary{Date(786316700.25), WakeRouteKind::bonjourSleepProxy,
                                                   WakeAttemptResultKind::wakeConfirmedByAuthenticatedSession};
    EXPECT_EQ(json::encode(config), json::parse(golden));
    EXPECT_EQ(json::decodeFromString<SavedWakeConfiguration>(golden), config);

    Json absent = json::parse(golden);
    absent.erase("bonjourServicePort");
    EXPECT_FALSE(json::decode<SavedWakeConfiguration>(absent).bonjourServicePort);
    absent.erase("lastKnownPowerState");
    EXPECT_THROW(json::decode<SavedWakeConfiguration>(absent), JSONDecodingError);
}

TEST(LocalIPv4Validator, ParseFormatAndIsLocalBoundaries) {
    const std::pair<const char*, std::uint32_t> valid[] = {
        {"0.0.0.0", 0}, {"255.255.255.255", 0xFFFFFFFF}, {"010.001.000.9", 0x0A010009}, {" \t10.0.0.1\n", 0x0A000001}};
    for (const auto& [text, address] : valid) EXPECT_EQ(LocalIPv4Validator::parse(text), address) << text;
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.", "256.1.1.1", "1.2.3.+4", "0x1.2.3.4",
                            "99999999999999999999.1.1.1"}) {
        expectWakeError(WakeModelError::Case::invalidIPv4Address, [&] { LocalIPv4Validator::parse(bad); }, bad);
    }
    EXPECT_EQ(LocalIPv4Validator::format(0x0A010009), "10.1.0.9");

    const std::tuple<const char*, bool, bool> table[] = {
        // address, local without loopback, local with loopback
        {"0.0.0.0", false, false},      {"255.255.255.255", false, false}, {"10.255.255.255", true, true},
        {"11.0.0.1", false, false},     {"172.15.255.255", false, false},  {"172.16.0.0", true, true},
        {"172.31.255.255", true, true}, {"172.32.0.0", false, false},      {"192.168.0.1", true, true},
        {"192.169.0.1", false, false},  {"169.254.1.1", true, true},       {"169.253.1.1", false, false},
        {"127.0.0.1", false, true},     {"224.0.0.1", false, false},
    };
    for (const auto& [text, local, withLoopback] : table) {
        auto address = LocalIPv4Validator::parse(text);
        EXPECT_EQ(LocalIPv4Validator::isLocal(address, false), local) << text;
        EXPECT_EQ(LocalIPv4Validator::isLocal(address, true), withLoopback) << text;
    }
}

TEST(MACAddress, BytesTextAndRedactedUnvalidatedJson) {
    using C = WakeModelError::Case;
    for (const auto& [bytes, expected] :
         {std::pair{Bytes(5, 2), C::invalidMACAddress}, {Bytes(7, 2), C::invalidMACAddress},
          {Bytes(6, 0x00), C::nonUnicastMACAddress}, {Bytes(6, 0xFF), C::nonUnicastMACAddress},
          {Bytes{0x01, 0, 0x5E, 0, 0, 1}, C::nonUnicastMACAddress}}) {
        expectWakeError(expected, [&] { MACAddress{bytes}; }, hexEncodedString(bytes));
    }
    EXPECT_EQ(MACAddress(std::string_view(" 00-11-22-33-44-55\n")).bytes(), kMac);
    for (const char* bad : {"", "00:11:22:33:44", "00:11:22:33:44:55:66", "0:11:22:33:44:55", "00:11-22:33:44:55",
                            "001122334455", "00:11:22:33:44:5g"}) {
        expectWakeError(C::invalidMACAddress, [&] { MACAddress{std::string_view(bad)}; }, bad);
    }
    expectWakeError(C::nonUnicastMACAddress, [] { MACAddress{std::string_view("03:00:00:00:00:01")}; }, "group bit");

    EXPECT_EQ(MACAddress(Bytes{0xAA, 0x0C, 0x22, 0x33, 0x44, 0xF5}).redactedDescription(),
              "AA:0C:\u2022\u2022:\u2022\u2022:\u2022\u2022:F5");
    // A stored value is kept as it is: one bad address must not make a whole record unreadable.
    auto odd = json::decodeFromString<MACAddress>(R"({"bytes":"AQID"})");
    EXPECT_EQ(odd.bytes(), (Bytes{1, 2, 3}));
    EXPECT_EQ(odd.redactedDescription(), "XX:XX:XX:XX:XX:XX");
}

TEST(WakeNetworkInterfaceTarget, DerivedBroadcastTable) {
    const std::tuple<const char*, const char*, std::optional<std::string>> table[] = {
        {"192.168.1.20", "255.255.255.0", "192.168.1.255"},
        {"172.16.5.4", "255.240.0.0", "172.31.255.255"},
        {" 192.168.1.20\n", "255.255.255.252", "192.168.1.23"},
        {"192.168.1.20", "255.255.255.254", "192.168.1.21"},
        {"8.8.8.8", "255.255.255.0", std::nullopt},        // not local
        {"127.0.0.1", "255.0.0.0", std::nullopt},          // loopback is never a wake target
        {"192.168.1.20", "255.255.0.255", std::nullopt},   // not contiguous
        {"10.1.2.3", "254.0.0.0", std::nullopt},           // does not start with 255
        {"192.168.1.20", "255.255.255.255", std::nullopt}, // /32
        {"192.168.1.x", "255.255.255.0", std::nullopt},    // address does not parse
        {"172.16.5.4", "255.0.0.0", std::nullopt},         // result 172.255.255.255 is not local
    };
    for (const auto& [address, mask, expected] : table) {
        WakeNetworkInterfaceTarget target("en0", WakeInterfaceKind::ethernet, MACAddress(kMac), address, mask);
        EXPECT_EQ(target.directedBroadcastAddress, expected) << address << " / " << mask;
    }
    WakeNetworkInterfaceTarget given("en0", WakeInterfaceKind::ethernet, MACAddress(kMac), "192.168.1.20",
                                     "255.255.255.0", "192.168.1.127");
    EXPECT_EQ(given.directedBroadcastAddress, "192.168.1.127");
}

TEST(SavedWakeConfiguration, SortedTargetsIsStableAndAddressedTargetCounts) {
    auto target = [](const char* name, WakeInterfaceKind kind, std::optional<std::string> ip = std::nullopt) {
        return WakeNetworkInterfaceTarget(name, kind, MACAddress(kMac), std::move(ip));
    };
    auto config = SavedWakeConfiguration::empty(Date(0));
    config.targets = {target("en9", WakeInterfaceKind::other), target("en1", WakeInterfaceKind::wifi, "10.0.0.1"),
                      target("en1", WakeInterfaceKind::wifi, "10.0.0.2"), target("en10", WakeInterfaceKind::ethernet),
                      target("en0", WakeInterfaceKind::other)};
    std::string order;
    for (const auto& t : config.sortedTargets()) order += t.interfaceName + "@" + t.ipv4Address.value_or("") + " ";
    EXPECT_EQ(order, "en10@ en1@10.0.0.1 en1@10.0.0.2 en0@ en9@ ");
    EXPECT_TRUE(config.hasAddressedTarget());

    config.targets = {target("en0", WakeInterfaceKind::ethernet)};
    EXPECT_FALSE(config.hasAddressedTarget());
    config.targets[0].directedBroadcastAddress = "10.0.0.255";
    EXPECT_TRUE(config.hasAddressedTarget());
}
