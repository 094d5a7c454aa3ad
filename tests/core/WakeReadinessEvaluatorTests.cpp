#include "core/WakeReadinessEvaluator.hpp"

#include <gtest/gtest.h>

using namespace velorinth;

namespace {

const Date kNow(800000000);
const char* const kPossibleGuidance =
    "Run a sleep test: put this Mac to sleep, wait 30 seconds, then tap Wake & Connect on your iPad.";

WakeNetworkInterfaceTarget target(WakeInterfaceKind kind, bool addressed) {
    return WakeNetworkInterfaceTarget(kind == WakeInterfaceKind::ethernet ? "en0" : "en1", kind,
                                      MACAddress(Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}),
                                      addressed ? std::optional<std::string>("192.168.1.20") : std::nullopt);
}

// A Mac on AC power with an addressed Ethernet interface and wake turned on.
SavedWakeConfiguration goodConfig() {
    auto config = SavedWakeConfiguration::empty(kNow);
    config.targets = {target(WakeInterfaceKind::ethernet, true)};
    config.wakeForNetworkAccess = Evidence<bool>::verified(true);
    config.lastKnownPowerSource = PowerSourceCondition::acPower;
    config.lastKnownPowerState = PowerStateEvidence::displayAsleep;
    return config;
}

WakeCapabilityEvaluation evaluate(const std::optional<SavedWakeConfiguration>& config, bool relay = false,
                                  bool away = false, double maxAge = 604800) {
    return WakeReadinessEvaluator::evaluate(HostAvailability::unreachable, config, relay, away, kNow, maxAge);
}

} // namespace

TEST(WakeReadinessEvaluator, RouteRulesInPrecedenceOrder) {
    using R = WakeRouteKind;
    auto proxyWifi = goodConfig();
    proxyWifi.targets = {target(WakeInterfaceKind::wifi, true)};
    proxyWifi.sleepProxyEligible = true;
    proxyWifi.bonjourServicePort = 0; // present, even as 0
    auto proxyNoPort = proxyWifi, portNotEligible = proxyWifi, proxyEthernet = proxyWifi, proxyBareEthernet = proxyWifi;
    proxyNoPort.bonjourServicePort.reset();
    portNotEligible.sleepProxyEligible = false;
    proxyEthernet.targets.push_back(target(WakeInterfaceKind::ethernet, true));
    proxyBareEthernet.targets.push_back(target(WakeInterfaceKind::ethernet, false));
    auto unaddressed = goodConfig(), off = goodConfig(), unsupported = goodConfig(), unknownSetting = goodConfig();
    unaddressed.targets = {target(WakeInterfaceKind::ethernet, false)};
    off.wakeForNetworkAccess = Evidence<bool>::lastKnown(false, kNow);
    unsupported.wakeForNetworkAccess = Evidence<bool>::unsupported();
    unknownSetting.wakeForNetworkAccess = Evidence<bool>::unknown();

    const std::tuple<const char*, std::optional<SavedWakeConfiguration>, bool, bool, R> table[] = {
        {"no config", std::nullopt, false, false, R::unknown},
        {"no config, relay", std::nullopt, true, false, R::externalWakeRelay},
        {"away", goodConfig(), false, true, R::unavailable},
        {"away, relay", goodConfig(), true, true, R::externalWakeRelay},
        {"setting off beats relay", off, true, false, R::unavailable},
        {"unsupported", unsupported, true, false, R::unavailable},
        {"unknown setting is not off", unknownSetting, false, false, R::directLocalNetwork},
        {"unaddressed", unaddressed, false, false, R::unavailable},
        {"unaddressed, relay", unaddressed, true, false, R::externalWakeRelay},
        {"addressed ethernet beats proxy", proxyEthernet, false, false, R::directLocalNetwork},
        {"proxy with port 0", proxyWifi, true, false, R::bonjourSleepProxy},
        {"unaddressed ethernet does not beat proxy", proxyBareEthernet, false, false, R::bonjourSleepProxy},
        {"eligible without port", proxyNoPort, false, false, R::directLocalNetwork},
        {"port but not eligible", portNotEligible, false, false, R::directLocalNetwork},
    };
    for (const auto& [name, config, relay, away, route] : table) {
        EXPECT_EQ(evaluate(config, relay, away).route, route) << name;
    }
}

TEST(WakeReadinessEvaluator, UnknownUnsupportedAndActionRequiredGuidanceInOrder) {
    auto r = WakeReadinessEvaluator::evaluate(HostAvailability::reachable, std::nullopt, false, false, kNow);
    EXPECT_EQ(r.availability, HostAvailability::reachable);
    EXPECT_EQ(r.category, WakeReadinessCategory::unknown);
    EXPECT_EQ(r.confidence, WakeConfidence::low);
    EXPECT_TRUE(r.requiresExternalWakeAssistance);
    EXPECT_EQ(r.summary, "Wake readiness unknown");
    EXPECT_EQ(r.guidance, "Connect once while this Mac is awake so its wake configuration can be synced.");

    auto config = goodConfig();
    config.targets.clear();
    config.wakeForNetworkAccess = Evidence<bool>::unsupported();
    r = evaluate(config);
    EXPECT_EQ(r.category, WakeReadinessCategory::unsupported);
    EXPECT_EQ(r.confidence, WakeConfidence::none);
    EXPECT_EQ(r.summary, "Network wake unsupported");
    EXPECT_EQ(r.guidance, "This Mac does not report support for waking for network access.");

    // Each step removes the first problem; the next one must then show.
    config.wakeForNetworkAccess = Evidence<bool>::verified(false);
    config.wakeOnlyOnACPower = true;
    config.lastKnownPowerSource = PowerSourceCondition::batteryPower;
    config.lastVerifiedWakeAt = kNow; // fresh evidence does not hide a problem
    const char* expected[] = {
        "No local network interface with a hardware address was found.",
        "\u201CWake for network access\u201D is turned off in System Settings.",
        "No saved interface has an IPv4 or broadcast address for wake packets.",
        "This Mac wakes for network access only on its power adapter and is on battery.",
    };
    for (int step = 0; step < 4; ++step) {
        if (step == 1) config.targets = {target(WakeInterfaceKind::ethernet, false)};
        if (step == 2) config.wakeForNetworkAccess = Evidence<bool>::verified(true);
        if (step == 3) config.targets = {target(WakeInterfaceKind::ethernet, true)};
        r = evaluate(config);
        EXPECT_EQ(r.category, WakeReadinessCategory::actionRequired) << step;
        EXPECT_EQ(r.confidence, WakeConfidence::none) << step;
        EXPECT_EQ(r.summary, "Network wake needs attention") << step;
        EXPECT_EQ(r.guidance, expected[step]) << step;
    }
    config.wakeOnlyOnACPower = false;
    EXPECT_EQ(evaluate(config).category, WakeReadinessCategory::readyVerified);
}

TEST(WakeReadinessEvaluator, EvidenceFreshnessBoundaries) {
    using C = WakeReadinessCategory;
    const std::tuple<const char*, double, double, C> rows[] = {
        // name, lastVerifiedWakeAt - now, maxAge, category (expired unless readyVerified)
        {"300 s ahead", 300, 604800, C::readyVerified},
        {"301 s ahead", 301, 604800, C::possibleUnverified},
        {"exactly max age", -604800, 604800, C::readyVerified},
        {"just past max age", -604800.5, 604800, C::possibleUnverified},
        {"custom max age", -1001, 1000, C::possibleUnverified},
    };
    for (const auto& [name, offset, maxAge, category] : rows) {
        auto config = goodConfig();
        config.lastVerifiedWakeAt = kNow.addingTimeInterval(offset);
        auto r = evaluate(config, false, false, maxAge);
        EXPECT_EQ(r.category, category) << name;
        EXPECT_EQ(r.isEvidenceExpired, category != C::readyVerified) << name;
        if (category == C::readyVerified) {
            EXPECT_EQ(r.confidence, WakeConfidence::high) << name;
            EXPECT_EQ(r.summary, "Network wake verified");
            EXPECT_EQ(r.guidance, "A paired iPad recently confirmed that this Mac wakes from sleep over the network.");
        } else {
            EXPECT_EQ(r.summary, "Network wake configured but not verified");
            EXPECT_EQ(r.guidance, std::string("The last confirmed wake is too old. ") + kPossibleGuidance);
        }
    }
    auto never = evaluate(goodConfig());
    EXPECT_EQ(never.category, C::possibleUnverified);
    EXPECT_FALSE(never.isEvidenceExpired);
    EXPECT_EQ(never.guidance, kPossibleGuidance);
}

TEST(WakeReadinessEvaluator, ConfidenceAndAssistanceFollowEthernetOnAC) {
    auto r = evaluate(goodConfig());
    EXPECT_FALSE(r.requiresExternalWakeAssistance);
    EXPECT_EQ(r.confidence, WakeConfidence::medium);
    EXPECT_EQ(r.powerState, PowerStateEvidence::displayAsleep);
    auto battery = goodConfig(), wifi = goodConfig();
    battery.lastKnownPowerSource = PowerSourceCondition::batteryPower;
    wifi.targets = {target(WakeInterfaceKind::wifi, true)};
    for (const auto& config : {battery, wifi}) {
        r = evaluate(config);
        EXPECT_TRUE(r.requiresExternalWakeAssistance);
        EXPECT_EQ(r.category, WakeReadinessCategory::possibleUnverified);
        EXPECT_EQ(r.confidence, WakeConfidence::low);
    }
    EXPECT_TRUE(r.hasWiFiTarget);
}
