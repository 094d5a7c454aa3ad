#pragma once

#include <memory>

namespace velorinth {

// Opens the desktop's power settings for the user.
class EnergySettingsOpener {
public:
    virtual ~EnergySettingsOpener() = default;

    // True when a settings program was started.
    virtual bool open() = 0;

    // Chosen by $XDG_CURRENT_DESKTOP, found on $PATH (see DesktopEnergySettingsOpener).
    static std::shared_ptr<EnergySettingsOpener> create();
};

} // namespace velorinth
