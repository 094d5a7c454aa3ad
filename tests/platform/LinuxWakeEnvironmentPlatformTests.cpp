#include "platform/linux/InterfaceAddressReader.hpp"
#include "platform/linux/LinuxWakeEnvironmentPlatform.hpp"
#include "platform/linux/SysfsNetworkInterfaces.hpp"

#include "support/FakeSysfsTree.hpp"
#include "support/ScopedUnsetEnvironment.hpp"
#include "support/TestDisplay.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace velorinth {
namespace {

using testing::FakeSysfsTree;

TEST(LinuxWakeEnvironmentPlatform, PowerSourceTable) {
    using Supplies = std::map<std::string, std::map<std::string, std::string>>;
    const std::map<std::string, std::string> discharging{{"type", "Battery"}, {"status", "Discharging"}};
    struct Row {
        const char* name;
        Supplies supplies;
        std::optional<std::string> expected;
    };
    const Row rows[] = {
        {"mains online", {{"AC", {{"type", "Mains"}, {"online", "1"}}}, {"BAT0", discharging}}, "AC Power"},
        {"USB online", {{"usb", {{"type", "USB"}, {"online", "1"}}}, {"BAT0", discharging}}, "AC Power"},
        {"mains offline, discharging",
         {{"AC", {{"type", "Mains"}, {"online", "0"}}}, {"BAT0", discharging}},
         "Battery Power"},
        {"no supplies", {}, "AC Power"},
        {"full battery, no mains", {{"BAT0", {{"type", "Battery"}, {"status", "Full"}}}}, std::nullopt},
        {"system-scoped battery",
         {{"BAT1", {{"type", "Battery"}, {"scope", "System"}, {"status", "Discharging"}}}},
         "Battery Power"},
        {"only a peripheral battery",
         {{"hid-mouse", {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"}}}},
         "AC Power"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeSysfsTree sysfs;
        for (const auto& [name, attributes] : row.supplies) sysfs.addPowerSupply(name, attributes);
        EXPECT_EQ(LinuxWakeEnvironmentPlatform(sysfs.root()).providingPowerSourceType(), row.expected);
    }
    EXPECT_EQ(LinuxWakeEnvironmentPlatform("/nonexistent-sysfs").providingPowerSourceType(), "AC Power");
}

TEST(LinuxWakeEnvironmentPlatform, OnlyPhysicalEthernetLikeInterfacesHaveAKind) {
    FakeSysfsTree sysfs;
    sysfs.addNetworkInterface("enp3s0", 1, true);
    sysfs.addNetworkInterface("wlp2s0", 1, true, true);
    sysfs.addNetworkInterface("wlan1", 1, true);
    sysfs.write("class/net/wlan1/wireless/.keep", "");
    sysfs.addNetworkInterface("veth0", 1, false);
    sysfs.addNetworkInterface("lo", 772, true);
    sysfs.addNetworkInterface("odd", 1, true);
    sysfs.write("class/net/odd/type", std::string(5000, '1')); // oversized: absent
    const std::map<std::string, WakeInterfaceKind> expected{{"enp3s0", WakeInterfaceKind::ethernet},
                                                            {"wlan1", WakeInterfaceKind::wifi},
                                                            {"wlp2s0", WakeInterfaceKind::wifi}};
    EXPECT_EQ(LinuxWakeEnvironmentPlatform(sysfs.root()).interfaceKinds(), expected);
}

TEST(SysfsNetworkInterfaces, ReadsRawAttributesAndRefusesPathsOutsideTheFolder) {
    FakeSysfsTree sysfs;
    sysfs.addNetworkInterface("tap0", 1, false);
    sysfs.write("class/net/tap0/tun_flags", "0x1002\n");
    sysfs.write("class/net/tap0/uevent", "INTERFACE=tap0\nIFINDEX=7\nDEVTYPE=tap\n");
    sysfs.write("class/net/secret", "not an interface folder");
    const SysfsNetworkInterfaces interfaces(sysfs.root());
    const auto tap = interfaces.find("tap0");
    ASSERT_TRUE(tap.has_value());
    EXPECT_EQ(tap->type, 1u);
    EXPECT_EQ(tap->tunFlags, 0x1002u);
    EXPECT_EQ(tap->devType, "tap");
    EXPECT_FALSE(tap->hasDevice);
    for (const char* name : {"..", ".", "", "tap0/../..", "missing"})
        EXPECT_EQ(interfaces.find(name), std::nullopt) << name;
    EXPECT_EQ(interfaces.list().size(), 2u);
}

TEST(LinuxWakeEnvironmentPlatform, WakeSettingOfLoopbackOrAnUnknownNameIsUnavailable) {
    LinuxWakeEnvironmentPlatform platform;
    for (const std::string& name :
         std::vector<std::string>{"lo", "velorinth-none", "", std::string(64, 'x'), std::string("e\0th0", 5)}) {
        EXPECT_EQ(platform.magicPacketWake(name), MagicPacketWake::unavailable) << name;
    }
}

TEST(LinuxWakeEnvironmentPlatform, WithoutADisplayTheScreenCountsAsAwake) {
    const testing::ScopedUnsetEnvironment noDisplay("DISPLAY");
    EXPECT_FALSE(LinuxWakeEnvironmentPlatform().isMainDisplayAsleep());
    EXPECT_FALSE(LinuxWakeEnvironmentPlatform("/sys", "/nonexistent/x11-socket:0").isMainDisplayAsleep());
}

TEST(X11WakeDisplay, AnXvfbWithoutDPMSCountsAsAwake) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    EXPECT_FALSE(LinuxWakeEnvironmentPlatform("/sys", display).isMainDisplayAsleep());
}

TEST(InterfaceAddressReader, ListsLoopbackWithItsAddressAndMask) {
    const auto entries = InterfaceAddressReader::read();
    ASSERT_TRUE(entries.has_value());
    const auto loopback = std::find_if(entries->begin(), entries->end(), [](const InterfaceAddress& entry) {
        return entry.name == "lo" && entry.family == InterfaceAddressFamily::inet;
    });
    ASSERT_NE(loopback, entries->end());
    EXPECT_EQ(loopback->address, (Bytes{127, 0, 0, 1}));
    EXPECT_EQ(loopback->netmask, (InterfaceNetmask{InterfaceAddressFamily::inet, Bytes{255, 0, 0, 0}}));
    for (const auto& entry : *entries) {
        if (entry.family == InterfaceAddressFamily::link) {
            EXPECT_LE(entry.address.size(), 8u);
        } else if (entry.family == InterfaceAddressFamily::inet6) {
            EXPECT_EQ(entry.address.size(), 16u);
        }
    }
}

} // namespace
} // namespace velorinth
