#include "host/presenters/WakePreflightPresenter.hpp"

#include "host/presenters/ModelTasks.hpp"
#include "host/presenters/Symbols.hpp"
#include "host/presenters/WakeReadinessPresenter.hpp"

#include <algorithm>

namespace velorinth {

namespace {

PreflightRow status(bool satisfied, std::string text) {
    return {satisfied,
            satisfied ? SymbolImage{std::string(symbols::checkmarkCircleFill), Tint::green}
                      : SymbolImage{std::string(symbols::exclamationmarkTriangleFill), Tint::orange},
            std::move(text)};
}

PreflightRow wakeSettingRow(const SavedWakeConfiguration& configuration) {
    const Evidence<bool>& setting = configuration.wakeForNetworkAccess;
    if (setting.kind() == Evidence<bool>::Case::verified) {
        if (!setting.value().value_or(false)) {
            return status(false, "\u201CWake for network access\u201D is disabled in System Settings");
        }
        return status(true, configuration.wakeOnlyOnACPower
                                ? "\u201CWake for network access\u201D is enabled on Power Adapter"
                                : "\u201CWake for network access\u201D is enabled");
    }
    return status(true, "Verify \u201CWake for network access\u201D manually in System Settings");
}

PreflightRow powerRow(PowerSourceCondition source) {
    switch (source) {
    case PowerSourceCondition::acPower: return status(true, "Connected to AC power adapter");
    case PowerSourceCondition::batteryPower:
        return status(false, "Currently on Battery Power \u2014 connect AC power before testing sleep wake");
    case PowerSourceCondition::unknown: break;
    }
    return status(false, "Currently on Unknown \u2014 connect AC power before testing sleep wake");
}

} // namespace

WakePreflightPresentation WakePreflightPresenter::present(const HostModel& model) {
    WakePreflightPresentation p;
    p.title = "Test Wake Configuration";
    p.titleSymbol = {std::string(symbols::powerCircleFill), Tint::primary};
    p.running = model.isRunningWakePreflightTest.get();
    p.explanation = "Velorinth Host runs in user space without root daemons and never modifies macOS energy settings "
                    "or blocks system sleep. Because user-space apps are suspended during true macOS sleep, end-to-end "
                    "wake can only be confirmed by putting this Mac to sleep and waking it from your paired iPad.";
    p.resultsTitle = "Read-Only Preflight Results";
    p.stepsTitle = "Recommended Physical Sleep Test";
    const std::optional<HostWakeDiagnosticsSnapshot>& snapshot = model.wakeSnapshot.get();
    if (!snapshot) return p;
    p.hasSnapshot = true;
    const SavedWakeConfiguration& configuration = snapshot->configuration;

    std::string kinds;
    for (const WakeNetworkInterfaceTarget& target : configuration.targets) {
        if (!kinds.empty()) kinds += ", ";
        kinds += WakeReadinessPresenter::kindText(target.kind);
    }
    p.results.push_back(configuration.targets.empty()
                            ? status(false, "No active local network interface found")
                            : status(true, "Local network wake target ready (" + kinds + ")"));
    p.results.push_back(wakeSettingRow(configuration));
    p.results.push_back(powerRow(configuration.lastKnownPowerSource));
    const std::vector<TrustedDevice>& devices = model.trustedDevices.get();
    const bool anyAuthorized = std::any_of(devices.begin(), devices.end(), [](const TrustedDevice& device) {
        return device.authorization == DeviceAuthorization::authorized;
    });
    const bool connected = !model.activeSessionList.get().empty();
    p.results.push_back(status(connected || anyAuthorized,
                               connected ? "Wake target synced to currently connected iPad"
                                         : "Connect your paired iPad once while awake so it stores the latest wake "
                                           "target"));
    std::uint64_t number = 0;
    for (const std::string& step : snapshot->preflightGuidanceSteps) {
        p.steps.emplace_back(decimalText(++number) + ".", step);
    }
    return p;
}

void WakePreflightPresenter::rerun(HostModel& model) { startModelTask(model, model.runWakePreflightTest()); }

} // namespace velorinth
