#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace velorinth::testing {

// A sysfs-like tree in a fresh temporary directory, removed with the object,
// for the readers of /sys to run against.
class FakeSysfsTree {
public:
    FakeSysfsTree();
    ~FakeSysfsTree();
    FakeSysfsTree(const FakeSysfsTree&) = delete;
    FakeSysfsTree& operator=(const FakeSysfsTree&) = delete;

    const std::filesystem::path& root() const noexcept { return root_; }

    // class/net/<name> with its "type"; `physical` adds a "device" entry and
    // `wireless` a "phy80211" one.
    void addNetworkInterface(const std::string& name, unsigned type, bool physical, bool wireless = false);
    // class/power_supply/<name> with one file per attribute.
    void addPowerSupply(const std::string& name, const std::map<std::string, std::string>& attributes);
    // Writes `text` to root/relative, making the folders on the way.
    void write(const std::filesystem::path& relative, const std::string& text);

private:
    std::filesystem::path root_;
};

} // namespace velorinth::testing
