#pragma once

#include "host/model/HostModel.hpp"
#include "host/presenters/PresenterTypes.hpp"

#include <string>

namespace velorinth {

struct PermissionRowPresentation {
    std::string title;
    std::string detail;
    SymbolImage symbol;
    bool granted = false;
    std::string buttonTitle; // "Verify Again" or "Enable"
    bool operator==(const PermissionRowPresentation&) const = default;
};

struct PermissionsCardPresentation {
    PermissionRowPresentation screenRecording;
    PermissionRowPresentation accessibility;
    bool operator==(const PermissionsCardPresentation&) const = default;
};

// The "Required Permissions" box: the two grants with their buttons.
class PermissionsCardPresenter {
public:
    static PermissionsCardPresentation present(const HostModel& model);
    static void requestScreenRecording(HostModel& model);
    static void requestAccessibility(HostModel& model);
};

} // namespace velorinth
