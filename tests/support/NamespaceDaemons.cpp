#include "support/NamespaceDaemons.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace velorinth::testing {

std::optional<NamespaceOutcome> NamespaceDaemons::startSystemBus() {
    if (::mkdir("/run/dbus", 0755) != 0) return NamespaceOutcome::skip("/run/dbus could not be made under the private /run");
    if (std::system("dbus-daemon --system --fork >/dev/null 2>&1") != 0) {
        return NamespaceOutcome::skip("the D-Bus system daemon could not start");
    }
    // It forks once it listens; bounded all the same.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::access("/run/dbus/system_bus_socket", F_OK) != 0) {
        if (std::chrono::steady_clock::now() > giveUp) return NamespaceOutcome::skip("the D-Bus system socket never appeared");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    return std::nullopt;
}

std::optional<NamespaceOutcome> NamespaceDaemons::startAvahi() {
    ::mkdir("/run/avahi-daemon", 0755);
    if (std::system("avahi-daemon -D --no-drop-root --no-chroot --no-rlimits >/dev/null 2>&1") != 0) {
        return NamespaceOutcome::skip("avahi-daemon could not start");
    }
    return std::nullopt;
}

std::optional<NamespaceOutcome> NamespaceDaemons::remountSysfs() {
    ::umount2("/sys", MNT_DETACH);
    if (::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) return NamespaceOutcome::skip("sysfs could not be mounted again");
    return std::nullopt;
}

std::optional<NamespaceOutcome> NamespaceDaemons::useResolverConfiguration(const std::string& contents) {
    const char* path = "/run/velorinth-resolv.conf";
    std::ofstream file(path, std::ios::trunc);
    file << contents;
    file.close();
    if (!file || ::mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        return NamespaceOutcome::skip("/etc/resolv.conf could not be replaced in the namespace");
    }
    return std::nullopt;
}

std::optional<NamespaceOutcome> NamespaceDaemons::run(const std::vector<std::string>& commands) {
    for (const std::string& command : commands) {
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
            return NamespaceOutcome::skip("could not run \"" + command + "\"");
        }
    }
    return std::nullopt;
}

} // namespace velorinth::testing
