#include "platform/linux/SysfsNetworkInterfaces.hpp"

#include "platform/linux/SysfsAttribute.hpp"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <utility>

namespace velorinth {

namespace fs = std::filesystem;

namespace {

std::optional<unsigned> parseUnsigned(const std::optional<std::string>& text, int base) {
    if (!text) return std::nullopt;
    std::string_view digits = *text;
    if (base == 16 && (digits.starts_with("0x") || digits.starts_with("0X"))) digits.remove_prefix(2);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::optional<std::string> ueventDevType(const std::optional<std::string>& uevent) {
    if (!uevent) return std::nullopt;
    std::string_view rest = *uevent;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (line.starts_with("DEVTYPE=")) return std::string(line.substr(8));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return std::nullopt;
}

bool entryExists(const fs::path& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

// A name that is one path component of class/net.
bool isInterfaceName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

} // namespace

SysfsNetworkInterfaces::SysfsNetworkInterfaces(fs::path sysfsRoot)
    : directory_(std::move(sysfsRoot) / "class" / "net") {}

std::vector<SysfsNetworkInterface> SysfsNetworkInterfaces::list() const {
    std::vector<SysfsNetworkInterface> interfaces;
    try {
        std::error_code error;
        fs::directory_iterator entries(directory_, error);
        for (const fs::directory_iterator end; !error && entries != end && interfaces.size() < kMaximumInterfaces;
             entries.increment(error)) {
            interfaces.push_back(read(entries->path().filename().string()));
        }
        std::sort(interfaces.begin(), interfaces.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    } catch (...) {
        // An allocation failure midway: what was read stands.
    }
    return interfaces;
}

std::optional<SysfsNetworkInterface> SysfsNetworkInterfaces::find(std::string_view name) const {
    if (!isInterfaceName(name) || !entryExists(directory_ / name)) return std::nullopt;
    return read(std::string(name));
}

SysfsNetworkInterface SysfsNetworkInterfaces::read(const std::string& name) const {
    const fs::path folder = directory_ / name;
    SysfsNetworkInterface interface;
    interface.name = name;
    interface.type = parseUnsigned(readSysfsAttribute(folder / "type"), 10);
    interface.hasDevice = entryExists(folder / "device");
    interface.hasWireless = entryExists(folder / "wireless");
    interface.hasPhy80211 = entryExists(folder / "phy80211");
    interface.devType = ueventDevType(readSysfsAttribute(folder / "uevent"));
    interface.tunFlags = parseUnsigned(readSysfsAttribute(folder / "tun_flags"), 16);
    return interface;
}

} // namespace velorinth
