#include "core/WakeReadinessEvaluator.hpp"

#include <algorithm>

namespace velorinth {

namespace {

constexpr const char* kReadySummary = "Network wake verified";
constexpr const char* kReadyGuidance =
    "A paired iPad recently confirmed that this Mac wakes from sleep over the network.";
constexpr const char* kPossibleSummary = "Network wake configured but not verified";
constexpr const char* kPossibleGuidance =
    "Run a sleep test: put this Mac to sleep, wait 30 seconds, then tap Wake & Connect on your iPad.";
constexpr const char* kExpiredPrefix = "The last confirmed wake is too old. ";
constexpr const char* kActionSummary = "Network wake needs attention";
constexpr const char* kNoTargetsGuidance = "No local network interface with a hardware address was found.";
constexpr const char* kWakeSettingOffGuidance =
    "\u201CWake for network access\u201D is turned off in System Settings.";
constexpr const char* kNoAddressGuidance = "No saved interface has an IPv4 or broadcast address for wake packets.";
constexpr const char* kBatteryGuidance =
    "This Mac wakes for network access only on its power adapter and is on battery.";
constexpr const char* kUnsupportedSummary = "Network wake unsupported";
constexpr const char* kUnsupportedGuidance = "This Mac does not report support for waking for network access.";
constexpr const char* kUnknownSummary = "Wake readiness unknown";
constexpr const char* kUnknownGuidance =
    "Connect once while this Mac is awake so its wake configuration can be synced.";

bool isAddressed(const WakeNetworkInterfaceTarget& target) {
    return target.ipv4Address.has_value() || target.directedBroadcastAddress.has_value();
}

} // namespace

WakeCapabilityEvaluation WakeReadinessEvaluator::evaluate(HostAvailability availability,
                                                          const std::optional<SavedWakeConfiguration>& configuration,
                                                          bool relayPaired, bool awayFromHome, Date now,
                                                          double maxEvidenceAgeSeconds) {
    WakeCapabilityEvaluation out;
    out.availability = availability;
    const WakeRouteKind relayOr = relayPaired ? WakeRouteKind::externalWakeRelay : WakeRouteKind::unavailable;

    if (!configuration) {
        out.route = relayPaired ? WakeRouteKind::externalWakeRelay : WakeRouteKind::unknown;
        out.category = WakeReadinessCategory::unknown;
        out.confidence = WakeConfidence::low;
        out.requiresExternalWakeAssistance = true;
        out.summary = kUnknownSummary;
        out.guidance = kUnknownGuidance;
        return out;
    }
    const SavedWakeConfiguration& config = *configuration;
    const auto& targets = config.targets;
    using Kind = WakeInterfaceKind;

    out.powerState = config.lastKnownPowerState;
    out.powerSource = config.lastKnownPowerSource;
    auto hasKind = [&](Kind kind) {
        return std::any_of(targets.begin(), targets.end(), [kind](auto& t) { return t.kind == kind; });
    };
    out.hasEthernetTarget = hasKind(Kind::ethernet);
    out.hasWiFiTarget = hasKind(Kind::wifi);
    out.requiresExternalWakeAssistance =
        !(out.hasEthernetTarget && config.lastKnownPowerSource == PowerSourceCondition::acPower);
    out.lastVerifiedWakeAt = config.lastVerifiedWakeAt;

    bool fresh = false;
    if (config.lastVerifiedWakeAt) {
        const double age = now.timeIntervalSince(*config.lastVerifiedWakeAt);
        fresh = age >= -kFutureToleranceSeconds && age <= maxEvidenceAgeSeconds;
        out.isEvidenceExpired = !fresh;
    }

    const bool unsupported = config.wakeForNetworkAccess.kind() == Evidence<bool>::Case::unsupported;
    const bool settingOff = config.wakeForNetworkAccess.value() == std::optional<bool>(false);
    const bool addressed = config.hasAddressedTarget();
    const bool addressedEthernet = std::any_of(
        targets.begin(), targets.end(), [](auto& t) { return t.kind == Kind::ethernet && isAddressed(t); });
    const bool batteryBlocked =
        config.wakeOnlyOnACPower && config.lastKnownPowerSource == PowerSourceCondition::batteryPower;

    if (awayFromHome) {
        out.route = relayOr;
    } else if (settingOff || unsupported) {
        out.route = WakeRouteKind::unavailable;
    } else if (!addressed) {
        out.route = relayOr;
    } else if (addressedEthernet) {
        out.route = WakeRouteKind::directLocalNetwork;
    } else if (config.sleepProxyEligible && config.bonjourServicePort) {
        out.route = WakeRouteKind::bonjourSleepProxy;
    } else {
        out.route = WakeRouteKind::directLocalNetwork;
    }

    if (unsupported) {
        out.category = WakeReadinessCategory::unsupported;
        out.confidence = WakeConfidence::none;
        out.summary = kUnsupportedSummary;
        out.guidance = kUnsupportedGuidance;
    } else if (targets.empty() || settingOff || !addressed || batteryBlocked) {
        out.category = WakeReadinessCategory::actionRequired;
        out.confidence = WakeConfidence::none;
        out.summary = kActionSummary;
        out.guidance = targets.empty() ? kNoTargetsGuidance
                       : settingOff    ? kWakeSettingOffGuidance
                       : !addressed    ? kNoAddressGuidance
                                       : kBatteryGuidance;
    } else if (fresh) {
        out.category = WakeReadinessCategory::readyVerified;
        out.confidence = WakeConfidence::high;
        out.summary = kReadySummary;
        out.guidance = kReadyGuidance;
    } else {
        out.category = WakeReadinessCategory::possibleUnverified;
        out.confidence = out.requiresExternalWakeAssistance ? WakeConfidence::low : WakeConfidence::medium;
        out.summary = kPossibleSummary;
        out.guidance = std::string(out.isEvidenceExpired ? kExpiredPrefix : "") + kPossibleGuidance;
    }
    return out;
}

} // namespace velorinth
