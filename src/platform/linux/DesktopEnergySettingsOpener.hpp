#pragma once

#include "platform/EnergySettingsOpener.hpp"

#include <string>
#include <vector>

namespace velorinth {

// Opens the power settings of the running desktop ($XDG_CURRENT_DESKTOP, a
// colon-separated list): first its power pane, else its settings program.
// Each candidate found on the search path is started detached, in its own
// session; the search stops at the first that starts.
class DesktopEnergySettingsOpener final : public EnergySettingsOpener {
public:
    DesktopEnergySettingsOpener(std::string currentDesktop, std::string searchPath);

    // The command lines to try, in order, for a desktop list.
    static std::vector<std::vector<std::string>> candidates(const std::string& currentDesktop);

    bool open() override;

private:
    std::string findOnSearchPath(const std::string& program) const;
    static bool startDetached(const std::string& executable, const std::vector<std::string>& arguments);

    const std::string currentDesktop_;
    const std::string searchPath_;
};

} // namespace velorinth
