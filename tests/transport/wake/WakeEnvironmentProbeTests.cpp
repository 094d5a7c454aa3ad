#include "transport/wake/LiveSystemWakeEnvironmentProbe.hpp"

#include "platform/WakeEnvironmentPlatform.hpp"
#include "support/FakeWakeEnvironmentPlatform.hpp"
#include "support/ScopedUnsetEnvironment.hpp"

#include <gtest/gtest.h>

#include <net/if.h>

namespace velorinth {
namespace {

using testing::FakeWakeEnvironmentPlatform;
using Kind = WakeInterfaceKind;

const Date kNow(786316800.5);
const Bytes kMac{0x02, 0x00, 0x00, 0x00, 0x50, 0x02};
const Bytes kOtherMac{0x02, 0x00, 0x00, 0x00, 0x50, 0x03};

struct ProbeTest : ::testing::Test {
    ProbeTest() { platform->kinds = {{"eth0", Kind::ethernet}, {"eth1", Kind::ethernet}, {"wlan0", Kind::wifi}}; }

    ObservedWakeEnvironment observe(std::vector<InterfaceAddress> entries) {
        platform->addresses = std::move(entries);
        return LiveSystemWakeEnvironmentProbe(platform).observe(kNow);
    }

    std::shared_ptr<FakeWakeEnvironmentPlatform> platform = std::make_shared<FakeWakeEnvironmentPlatform>();
};

TEST_F(ProbeTest, OneUpAndRunningInterfaceYieldsOneTargetWithItsBroadcast) {
    platform->powerSourceType = "Battery Power";
    platform->displayAsleep = true;
    const auto observation = observe({FakeWakeEnvironmentPlatform::link("eth0", kMac),
                                      FakeWakeEnvironmentPlatform::inet("eth0", "192.168.50.2", "255.255.255.0")});
    const ObservedWakeEnvironment expected{
        PowerSourceCondition::batteryPower,
        PowerStateEvidence::displayAsleep,
        Evidence<bool>::unknown(),
        false,
        {WakeNetworkInterfaceTarget("eth0", Kind::ethernet, MACAddress(ByteView(kMac)), "192.168.50.2", "255.255.255.0",
                                    "192.168.50.255")},
        true,
        kNow,
    };
    EXPECT_EQ(observation, expected);
}

TEST_F(ProbeTest, SelectionTable) {
    using Fake = FakeWakeEnvironmentPlatform;
    const unsigned up = Fake::kUpAndRunning;
    struct Row {
        const char* name;
        std::vector<InterfaceAddress> entries;
        std::vector<std::string> expected; // "name address mask broadcast"
    };
    const Row rows[] = {
        {"no link entry", {Fake::inet("eth0", "192.168.1.2")}, {}},
        {"no IPv4 entry", {Fake::link("eth0", kMac)}, {}},
        {"link-local then private",
         {Fake::link("eth0", kMac), Fake::inet("eth0", "169.254.3.4"), Fake::inet("eth0", "10.1.2.3")},
         {"eth0 10.1.2.3 - -"}},
        {"two private",
         {Fake::inet("eth0", "10.1.2.3"), Fake::inet("eth0", "10.9.9.9"), Fake::link("eth0", kMac)},
         {"eth0 10.1.2.3 - -"}},
        {"link-local alone",
         {Fake::link("eth0", kMac), Fake::inet("eth0", "169.254.3.4", "255.255.0.0")},
         {"eth0 169.254.3.4 255.255.0.0 169.254.255.255"}},
        {"public", {Fake::link("eth0", kMac), Fake::inet("eth0", "192.0.2.2")}, {}},
        {"loopback address", {Fake::link("eth0", kMac), Fake::inet("eth0", "127.0.0.1")}, {}},
        {"down",
         {Fake::link("eth0", kMac, IFF_RUNNING), Fake::inet("eth0", "10.1.2.3", std::nullopt, IFF_RUNNING)},
         {}},
        {"not running", {Fake::link("eth0", kMac, IFF_UP), Fake::inet("eth0", "10.1.2.3", std::nullopt, IFF_UP)}, {}},
        {"point-to-point",
         {Fake::link("eth0", kMac, up | IFF_POINTOPOINT),
          Fake::inet("eth0", "10.1.2.3", std::nullopt, up | IFF_POINTOPOINT)},
         {}},
        {"loopback flag",
         {Fake::link("eth0", kMac, up | IFF_LOOPBACK), Fake::inet("eth0", "10.1.2.3", std::nullopt, up | IFF_LOOPBACK)},
         {}},
        {"not in the kinds table",
         {Fake::link("br0", kMac), Fake::inet("br0", "10.1.2.3"), Fake::inet("eth0:1", "10.1.2.4")},
         {}},
        {"all-zero link address", {Fake::link("eth0", Bytes(6, 0)), Fake::inet("eth0", "10.1.2.3")}, {}},
        {"link address of 8 bytes", {Fake::link("eth0", Bytes(8, 2)), Fake::inet("eth0", "10.1.2.3")}, {}},
        {"sorted whatever the order",
         {Fake::inet("wlan0", "10.0.0.3"), Fake::link("wlan0", kOtherMac), Fake::inet("eth1", "10.0.0.2"),
          Fake::link("eth1", kMac), Fake::link("eth0", kMac), Fake::inet("eth0", "10.0.0.1")},
         {"eth0 10.0.0.1 - -", "eth1 10.0.0.2 - -", "wlan0 10.0.0.3 - -"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> found;
        for (const auto& target : observe(row.entries).interfaces) {
            found.push_back(target.interfaceName + " " + target.ipv4Address.value_or("-") + " " +
                            target.subnetMask.value_or("-") + " " + target.directedBroadcastAddress.value_or("-"));
        }
        EXPECT_EQ(found, row.expected);
    }

    // A netmask of another family gives neither mask nor broadcast.
    auto entry = Fake::inet("eth0", "10.1.2.3");
    entry.netmask = InterfaceNetmask{InterfaceAddressFamily::inet6, Bytes(16, 0xFF)};
    const auto targets = observe({Fake::link("eth0", kMac), entry}).interfaces;
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].subnetMask, std::nullopt);
    EXPECT_EQ(targets[0].directedBroadcastAddress, std::nullopt);
}

TEST_F(ProbeTest, WakeSettingAndEligibility) {
    using Wake = MagicPacketWake;
    const auto on = Evidence<bool>::verified(true);
    const auto off = Evidence<bool>::verified(false);
    const auto unknown = Evidence<bool>::unknown();
    struct Row {
        const char* name;
        std::vector<std::string> interfaces;
        std::map<std::string, Wake> answers;
        Evidence<bool> wake;
        bool eligible;
    };
    const Row rows[] = {
        {"one enabled", {"eth0", "eth1"}, {{"eth0", Wake::disabled}, {"eth1", Wake::enabled}}, on, true},
        {"all disabled", {"eth0", "eth1"}, {{"eth0", Wake::disabled}, {"eth1", Wake::disabled}}, off, false},
        {"one unavailable", {"eth0", "eth1"}, {{"eth0", Wake::disabled}}, unknown, true},
        {"a Wi-Fi target", {"eth0", "wlan0"}, {{"eth0", Wake::disabled}, {"wlan0", Wake::disabled}}, unknown, true},
        {"Wi-Fi and enabled", {"eth0", "wlan0"}, {{"eth0", Wake::enabled}}, on, true},
        {"no targets", {}, {{"eth0", Wake::disabled}}, unknown, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        platform->wakeSettings = row.answers;
        platform->wakeQuestions.clear();
        std::vector<InterfaceAddress> entries;
        std::uint8_t last = 1;
        for (const auto& name : row.interfaces) {
            entries.push_back(FakeWakeEnvironmentPlatform::link(name, {0x02, 0, 0, 0, 0, last}));
            entries.push_back(FakeWakeEnvironmentPlatform::inet(name, "10.0.0." + std::to_string(last++)));
        }
        const auto observation = observe(entries);
        EXPECT_EQ(observation.wakeForNetworkAccess, row.wake);
        EXPECT_FALSE(observation.wakeOnlyOnACPower);
        EXPECT_EQ(observation.sleepProxyEligible, row.eligible);
        for (const auto& asked : platform->wakeQuestions) EXPECT_NE(asked, "wlan0"); // Wi-Fi is never asked
    }
}

TEST(LiveSystemWakeEnvironmentProbe, ObservesThisMachineWithoutThrowing) {
    const testing::ScopedUnsetEnvironment noDisplay("DISPLAY");
    const auto observation = LiveSystemWakeEnvironmentProbe(WakeEnvironmentPlatform::create()).observe(kNow);
    EXPECT_EQ(observation.observedAt, kNow);
    SavedWakeConfiguration found;
    found.targets = observation.interfaces;
    EXPECT_EQ(found.sortedTargets(), observation.interfaces);
    EXPECT_EQ(observation.sleepProxyEligible, LiveSystemWakeEnvironmentProbe::sleepProxyEligible(
                                                  observation.wakeForNetworkAccess, observation.interfaces));
}

} // namespace
} // namespace velorinth
