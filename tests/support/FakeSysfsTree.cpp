#include "support/FakeSysfsTree.hpp"

#include <fstream>
#include <stdexcept>
#include <system_error>

#include <stdlib.h>

namespace velorinth::testing {

namespace fs = std::filesystem;

FakeSysfsTree::FakeSysfsTree() {
    std::string pattern = (fs::temp_directory_path() / "fake-sysfs-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temporary directory for a fake sysfs");
    root_ = pattern;
}

FakeSysfsTree::~FakeSysfsTree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void FakeSysfsTree::addNetworkInterface(const std::string& name, unsigned type, bool physical, bool wireless) {
    const fs::path folder = fs::path("class") / "net" / name;
    write(folder / "type", std::to_string(type) + "\n");
    if (physical) fs::create_directories(root_ / folder / "device");
    if (wireless) fs::create_directories(root_ / folder / "phy80211");
}

void FakeSysfsTree::addPowerSupply(const std::string& name, const std::map<std::string, std::string>& attributes) {
    fs::create_directories(root_ / "class" / "power_supply" / name);
    for (const auto& [attribute, value] : attributes) {
        write(fs::path("class") / "power_supply" / name / attribute, value + "\n");
    }
}

void FakeSysfsTree::write(const fs::path& relative, const std::string& text) {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("could not write " + path.string());
}

} // namespace velorinth::testing
