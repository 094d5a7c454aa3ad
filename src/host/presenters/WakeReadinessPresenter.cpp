#include "host/presenters/WakeReadinessPresenter.hpp"

#include "host/presenters/ModelTasks.hpp"
#include "host/presenters/Symbols.hpp"

#include <algorithm>

namespace velorinth {

namespace {

WakeFactRow networkWakeSetting(const SavedWakeConfiguration& configuration) {
    using E = Evidence<bool>::Case;
    const Evidence<bool>& setting = configuration.wakeForNetworkAccess;
    switch (setting.kind()) {
    case E::unknown:
        return {"Network wake setting", "Unknown \u2014 verify manually in System Settings > Battery / Energy Saver",
                Tint::secondary};
    case E::unsupported: return {"Network wake setting", "Unsupported on this hardware", Tint::secondary};
    case E::verified:
    case E::lastKnown: break;
    }
    if (setting.value().value_or(false)) {
        return {"Network wake setting",
                configuration.wakeOnlyOnACPower ? "Enabled (Only on Power Adapter)" : "Enabled (Always / AC Power)",
                Tint::green};
    }
    return {"Network wake setting", "Disabled in macOS System Settings \u2014 manual change required", Tint::orange};
}

} // namespace

Badge WakeReadinessPresenter::categoryBadge(WakeReadinessCategory category) {
    switch (category) {
    case WakeReadinessCategory::readyVerified:
        return {"Ready: verified configuration", Tint::green, std::string(symbols::checkmarkSealFill), 0.15};
    case WakeReadinessCategory::possibleUnverified:
        return {"Possible: configured but unverified", Tint::blue, std::string(symbols::boltBadgeClockFill), 0.15};
    case WakeReadinessCategory::actionRequired:
        return {"Action required", Tint::orange, std::string(symbols::exclamationmarkTriangleFill), 0.15};
    case WakeReadinessCategory::unsupported:
        return {"Unsupported", Tint::red, std::string(symbols::xmarkOctagonFill), 0.15};
    case WakeReadinessCategory::unknown: break;
    }
    return {"Unknown", Tint::secondary, std::string(symbols::questionmarkCircleFill), 0.15};
}

std::string WakeReadinessPresenter::kindText(WakeInterfaceKind kind) {
    switch (kind) {
    case WakeInterfaceKind::ethernet: return "Ethernet";
    case WakeInterfaceKind::wifi: return "Wi-Fi";
    case WakeInterfaceKind::other: break;
    }
    return "Network Interface";
}

std::string WakeReadinessPresenter::interfaceDescription(const WakeNetworkInterfaceTarget& target) {
    return kindText(target.kind) + " (" + target.interfaceName + ", " + target.hardwareAddress.redactedDescription() +
           ", " + target.ipv4Address.value_or("no IPv4") + ")";
}

std::string WakeReadinessPresenter::syncText(const HostModel& model) {
    const std::vector<TrustedDevice>& devices = model.trustedDevices.get();
    const bool anyAuthorized = std::any_of(devices.begin(), devices.end(), [](const TrustedDevice& device) {
        return device.authorization == DeviceAuthorization::authorized;
    });
    if (!anyAuthorized) return "No paired iPads yet";
    const auto sessions = static_cast<std::int64_t>(model.activeSessionList.get().size());
    if (sessions == 0) return "Synced automatically whenever a paired iPad connects while awake";
    return "Synced live over " + decimalText(sessions) + " active encrypted session(s)";
}

WakeReadinessPresentation WakeReadinessPresenter::present(const HostModel& model, const DisplayFormats& formats) {
    WakeReadinessPresentation p;
    p.inspectingText = "Inspecting local macOS power and network wake configuration\u2026";
    const std::optional<HostWakeDiagnosticsSnapshot>& snapshot = model.wakeSnapshot.get();
    if (!snapshot) return p;
    p.inspecting = false;
    const SavedWakeConfiguration& configuration = snapshot->configuration;
    const WakeCapabilityEvaluation& evaluation = snapshot->evaluation;
    p.category = categoryBadge(evaluation.category);
    p.summary = evaluation.summary;
    p.guidance = evaluation.guidance;

    switch (configuration.lastKnownPowerSource) {
    case PowerSourceCondition::acPower: p.facts.push_back({"Power source", "Power Adapter", Tint::secondary}); break;
    case PowerSourceCondition::batteryPower: p.facts.push_back({"Power source", "Battery Power", Tint::orange}); break;
    case PowerSourceCondition::unknown: p.facts.push_back({"Power source", "Unknown", Tint::secondary}); break;
    }
    p.facts.push_back(networkWakeSetting(configuration));

    std::string interfaces;
    for (const WakeNetworkInterfaceTarget& target : configuration.sortedTargets()) {
        if (!interfaces.empty()) interfaces += " \u00B7 ";
        interfaces += interfaceDescription(target);
    }
    if (interfaces.empty()) interfaces = "No active local IPv4 network interface detected";
    p.facts.push_back({"Network interfaces", interfaces, Tint::secondary});

    if (configuration.lastVerifiedWakeAt) {
        p.facts.push_back({"Last verified wake",
                           "Confirmed via authenticated session on " +
                               formats.abbreviatedDateTime(*configuration.lastVerifiedWakeAt),
                           Tint::green});
    } else {
        p.facts.push_back({"Last verified wake", "Not yet verified by a live sleep test", Tint::secondary});
    }
    p.facts.push_back({"Wake target sync", syncText(model), Tint::secondary});
    p.facts.push_back({"External wake assistance",
                       evaluation.requiresExternalWakeAssistance
                           ? "Recommended on Wi-Fi (Bonjour Sleep Proxy or LAN wake relay)"
                           : "Not required on local LAN with wired Ethernet + AC power",
                       Tint::secondary});
    p.facts.push_back({"Captured frames", formats.groupedInteger(model.capturedFrames.get()), Tint::secondary});
    return p;
}

void WakeReadinessPresenter::refresh(HostModel& model) { startModelTask(model, model.refreshWakeSnapshot()); }

void WakeReadinessPresenter::openEnergySettings(HostModel& model) { model.openEnergySettings(); }

} // namespace velorinth
