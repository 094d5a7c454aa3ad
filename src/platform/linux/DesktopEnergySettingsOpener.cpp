#include "platform/linux/DesktopEnergySettingsOpener.hpp"

#include "core/Text.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <thread>

extern char** environ;

namespace velorinth {

std::shared_ptr<EnergySettingsOpener> EnergySettingsOpener::create() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    const char* path = std::getenv("PATH");
    return std::make_shared<DesktopEnergySettingsOpener>(desktop != nullptr ? desktop : "",
                                                         path != nullptr ? path : "");
}

DesktopEnergySettingsOpener::DesktopEnergySettingsOpener(std::string currentDesktop, std::string searchPath)
    : currentDesktop_(std::move(currentDesktop)), searchPath_(std::move(searchPath)) {}

std::vector<std::vector<std::string>> DesktopEnergySettingsOpener::candidates(const std::string& currentDesktop) {
    std::string_view rest = currentDesktop;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string name = lowercased(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (name == "gnome" || name == "unity" || name == "budgie") {
            return {{"gnome-control-center", "power"}, {"gnome-control-center"}};
        }
        if (name == "kde") return {{"systemsettings", "kcm_powerdevilprofilesconfig"}, {"systemsettings"}};
        if (name == "xfce") return {{"xfce4-power-manager-settings"}, {"xfce4-settings-manager"}};
    }
    return {};
}

bool DesktopEnergySettingsOpener::open() {
    for (const std::vector<std::string>& command : candidates(currentDesktop_)) {
        const std::string executable = findOnSearchPath(command.front());
        if (!executable.empty() && startDetached(executable, command)) return true;
    }
    return false;
}

std::string DesktopEnergySettingsOpener::findOnSearchPath(const std::string& program) const {
    std::string_view rest = searchPath_;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (folder.empty() || folder.front() != '/') continue; // a relative entry would depend on our cwd
        std::string candidate = std::string(folder) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

bool DesktopEnergySettingsOpener::startDetached(const std::string& executable,
                                                const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return false;
    // Its own session: closing the host must not take the settings window with it.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    // glibc reports a failed exec here, so "started" means the program runs.
    const int result = ::posix_spawn(&pid, executable.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) return false;
    std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach(); // reaped whenever it ends
    return true;
}

} // namespace velorinth
