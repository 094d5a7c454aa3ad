#include "host/presenters/PermissionsCardPresenter.hpp"

#include "host/presenters/ModelTasks.hpp"
#include "host/presenters/Symbols.hpp"

namespace velorinth {

namespace {

PermissionRowPresentation row(std::string title, bool granted, std::string detail) {
    PermissionRowPresentation p;
    p.title = std::move(title);
    p.granted = granted;
    p.detail = std::move(detail);
    p.symbol = granted ? SymbolImage{std::string(symbols::checkmarkCircleFill), Tint::green}
                       : SymbolImage{std::string(symbols::exclamationmarkCircle), Tint::orange};
    p.buttonTitle = granted ? "Verify Again" : "Enable";
    return p;
}

} // namespace

PermissionsCardPresentation PermissionsCardPresenter::present(const HostModel& model) {
    const bool accessibility = model.accessibilityGranted.get();
    return {row("Screen Recording", model.screenRecordingGranted.get(), model.screenRecordingStatusText()),
            row("Accessibility", accessibility,
                accessibility ? "Granted \u2014 Quartz input injection enabled"
                              : "Required to deliver remote pointer, trackpad, mouse, and keyboard input")};
}

void PermissionsCardPresenter::requestScreenRecording(HostModel& model) {
    startModelTask(model, model.requestScreenRecordingPermission());
}

void PermissionsCardPresenter::requestAccessibility(HostModel& model) { model.requestAccessibilityPermission(); }

} // namespace velorinth
