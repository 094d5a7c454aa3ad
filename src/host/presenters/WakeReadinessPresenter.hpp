#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <string>
#include <vector>

namespace velorinth {

struct WakeFactRow {
    std::string label;
    std::string value;
    Tint valueTint = Tint::secondary;
    bool operator==(const WakeFactRow&) const = default;
};

struct WakeReadinessPresentation {
    bool inspecting = true; // no snapshot yet: only the progress line
    std::string inspectingText;
    Badge category;
    std::string summary;
    std::string guidance;
    std::vector<WakeFactRow> facts; // always seven, in order
    bool operator==(const WakeReadinessPresentation&) const = default;
};

// The "Wake Readiness" box, from the model's latest wake snapshot.
class WakeReadinessPresenter {
public:
    static constexpr std::string_view kRefreshTitle = "Refresh";
    static constexpr std::string_view kTestTitle = "Test Wake Configuration\u2026";
    static constexpr std::string_view kEnergySettingsTitle = "Open Battery / Energy Settings";

    static WakeReadinessPresentation present(const HostModel& model, const DisplayFormats& formats);
    static Badge categoryBadge(WakeReadinessCategory category);
    // "Wi-Fi (en1, AA:BB:••:••:••:FF, 192.168.1.5)".
    static std::string interfaceDescription(const WakeNetworkInterfaceTarget& target);
    static std::string kindText(WakeInterfaceKind kind);
    static std::string syncText(const HostModel& model);

    static void refresh(HostModel& model);
    static void openEnergySettings(HostModel& model);
};

} // namespace velorinth
