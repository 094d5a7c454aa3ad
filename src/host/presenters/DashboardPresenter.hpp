#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// The dashboard's group boxes.
enum class DashboardBox { activeSessions, streamDiagnostics, hostIdentity, trustedDevices, permissions, wakeReadiness };

struct SidebarRow {
    HostModel::Section section = HostModel::Section::overview;
    std::string title;
    std::string symbol;
    std::optional<Badge> badge; // the session count, on "Active Sessions" only
    bool operator==(const SidebarRow&) const = default;
};

struct DashboardPresentation {
    std::string sidebarTitle;
    std::vector<SidebarRow> sidebar;
    // The selected section's title: the detail column's, shown as the window's.
    std::string title;
    std::vector<DashboardBox> boxes; // top to bottom
    bool showsErrorBanner = false;
    bool operator==(const DashboardPresentation&) const = default;
};

// The window's frame: its sidebar, its title and which boxes the selected
// section shows, in order.
class DashboardPresenter {
public:
    static constexpr std::string_view kSidebarTitle = "Velorinth";
    static constexpr int kMinimumWidth = 720;
    static constexpr int kMinimumHeight = 520;
    static constexpr int kDetailMaximumWidth = 820;

    static DashboardPresentation present(const HostModel& model);
    static std::string boxTitle(DashboardBox box);
    static std::string sectionSymbol(HostModel::Section section);
    static std::vector<DashboardBox> boxes(HostModel::Section section, bool sharingDesktop);
    // Capture runs and at least one session streams.
    static bool isSharingDesktop(const HostModel& model);
    // The diagnostics' bit rate in megabits per second.
    static double bitrateMegabits(const HostModel& model);
};

} // namespace velorinth
