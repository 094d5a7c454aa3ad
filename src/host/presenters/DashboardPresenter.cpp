#include "host/presenters/DashboardPresenter.hpp"

#include "host/presenters/Symbols.hpp"

namespace velorinth {

DashboardPresentation DashboardPresenter::present(const HostModel& model) {
    DashboardPresentation presentation;
    presentation.sidebarTitle = std::string(kSidebarTitle);
    const auto sessions = static_cast<std::int64_t>(model.activeSessionList.get().size());
    for (const HostModel::Section section : HostModel::allSections) {
        SidebarRow row{section, std::string(HostModel::rawValue(section)), sectionSymbol(section), std::nullopt};
        if (section == HostModel::Section::activeSessions && sessions > 0) {
            row.badge = Badge{decimalText(sessions), Tint::green, {}, 0.2};
        }
        presentation.sidebar.push_back(std::move(row));
    }
    presentation.title = std::string(HostModel::rawValue(model.selectedSection.get()));
    presentation.boxes = boxes(model.selectedSection.get(), isSharingDesktop(model));
    presentation.showsErrorBanner = model.networkError.get().has_value();
    return presentation;
}

std::string DashboardPresenter::boxTitle(DashboardBox box) {
    switch (box) {
    case DashboardBox::activeSessions: return "Active Authenticated Sessions";
    case DashboardBox::streamDiagnostics: return "Live Stream Diagnostics (Host)";
    case DashboardBox::hostIdentity: return "Host Cryptographic Identity";
    case DashboardBox::trustedDevices: return "Trusted iPads";
    case DashboardBox::permissions: return "Required Permissions";
    case DashboardBox::wakeReadiness: return "Wake Readiness";
    }
    return {};
}

std::string DashboardPresenter::sectionSymbol(HostModel::Section section) {
    switch (section) {
    case HostModel::Section::overview: return std::string(symbols::macbookAndIpad);
    case HostModel::Section::activeSessions: return std::string(symbols::boltHorizontalCircle);
    case HostModel::Section::pairedDevices: return std::string(symbols::person2BadgeKey);
    case HostModel::Section::wakeReadiness: return std::string(symbols::power);
    case HostModel::Section::security: return std::string(symbols::lockShield);
    }
    return {};
}

std::vector<DashboardBox> DashboardPresenter::boxes(HostModel::Section section, bool sharingDesktop) {
    using B = DashboardBox;
    switch (section) {
    case HostModel::Section::overview:
        if (sharingDesktop) {
            return {B::activeSessions, B::streamDiagnostics, B::hostIdentity, B::trustedDevices, B::permissions,
                    B::wakeReadiness};
        }
        return {B::activeSessions, B::hostIdentity, B::trustedDevices, B::permissions, B::wakeReadiness};
    case HostModel::Section::activeSessions:
        if (sharingDesktop) return {B::activeSessions, B::streamDiagnostics};
        return {B::activeSessions};
    case HostModel::Section::pairedDevices: return {B::trustedDevices};
    case HostModel::Section::wakeReadiness: return {B::wakeReadiness};
    case HostModel::Section::security: return {B::hostIdentity, B::permissions, B::trustedDevices};
    }
    return {};
}

bool DashboardPresenter::isSharingDesktop(const HostModel& model) {
    return model.captureState.get().kind == HostModel::CaptureState::Case::capturing &&
           model.streamingSessionCount() >= 1;
}

double DashboardPresenter::bitrateMegabits(const HostModel& model) {
    return model.streamDiagnostics.get().bitrateBps / 1'000'000.0;
}

} // namespace velorinth
