// The host's small Linux stand-ins: the preferences file, the computer's name
// from /etc/machine-info, and the desktop's energy settings.

#include "platform/linux/DesktopEnergySettingsOpener.hpp"
#include "platform/linux/JsonFilePreferences.hpp"
#include "platform/linux/MachineInfoComputerName.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace velorinth {
namespace {

namespace fs = std::filesystem;

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "host-platform-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string read(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

constexpr std::string_view kKey = "org.velorinth.host.preferredPort";

TEST(JsonFilePreferences, ReadsOnlyIntegersOfAnObject) {
    TemporaryFolder folder;
    const fs::path file = folder.path() / "preferences.json";
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases{
        {R"({"org.velorinth.host.preferredPort": 1024})", 1024},
        {R"({"org.velorinth.host.preferredPort": 65536})", 65536}, // the model judges the range
        {R"({"org.velorinth.host.preferredPort": "x"})", std::nullopt},
        {R"({"org.velorinth.host.preferredPort": 1024.5})", std::nullopt},
        {R"({"other": 1})", std::nullopt},
        {R"([1024])", std::nullopt},
        {R"({"org.velorinth.host.preferredPort": 10)", std::nullopt},
        {"{\"org.velorinth.host.preferredPort\": 1024, \"pad\": \"" + std::string(70 * 1024, 'p') + "\"}",
         std::nullopt},
    };
    for (const auto& [text, value] : cases) {
        write(file, text);
        EXPECT_EQ(JsonFilePreferences(file).integer(kKey), value) << text.substr(0, 60);
    }
    EXPECT_EQ(JsonFilePreferences(folder.path() / "absent.json").integer(kKey), std::nullopt);
}

TEST(JsonFilePreferences, AWriteKeepsTheOtherKeysAndSetsAMalformedFileAside) {
    TemporaryFolder folder;
    const fs::path file = folder.path() / "velorinth" / "preferences.json";
    fs::create_directories(file.parent_path());
    write(file, R"({"theme": "dark", "org.velorinth.host.preferredPort": 2000})");
    JsonFilePreferences(file).setInteger(kKey, 3000);
    const nlohmann::json written = nlohmann::json::parse(read(file));
    EXPECT_EQ(written["theme"], "dark");
    EXPECT_EQ(written[std::string(kKey)], 3000);
    EXPECT_EQ(JsonFilePreferences(file).integer(kKey), 3000);

    write(file, "{ not json");
    JsonFilePreferences(file).setInteger(kKey, 4000);
    EXPECT_EQ(read(fs::path(file.string() + ".corrupt")), "{ not json");
    EXPECT_EQ(JsonFilePreferences(file).integer(kKey), 4000);
}

TEST(JsonFilePreferences, AnUnwritableFolderKeepsTheValueForThisRun) {
    TemporaryFolder folder;
    write(folder.path() / "blocker", "a file where a folder should be");
    JsonFilePreferences preferences(folder.path() / "blocker" / "preferences.json");
    preferences.setInteger(kKey, 5000); // logged, not thrown
    EXPECT_EQ(preferences.integer(kKey), 5000);
    JsonFilePreferences inMemory{fs::path()};
    inMemory.setInteger(kKey, 6000);
    EXPECT_EQ(inMemory.integer(kKey), 6000);
}

TEST(MachineInfoComputerName, ReadsThePrettyNameWithItsQuotingUndone) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"PRETTY_HOSTNAME=Studio\n", "Studio"},
        {"PRETTY_HOSTNAME=\"Lena's Studio\"\n", "Lena's Studio"},
        {"PRETTY_HOSTNAME='Say \"hi\"'\n", "Say \"hi\""},
        {"PRETTY_HOSTNAME=\"A \\\"quoted\\\" \\$name\"\n", "A \"quoted\" $name"},
        {"PRETTY_HOSTNAME=Back\\ slash\n", "Back slash"},
        {"# PRETTY_HOSTNAME=Commented\nCHASSIS=desktop\n", std::nullopt},
        {"PRETTY_HOSTNAME=\"unterminated\n", std::nullopt},
        {"PRETTY_HOSTNAME=two words\n", std::nullopt},
        {"  PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n", "Second"},
        {"PRETTY_HOSTNAME=\n", ""},
    };
    for (const auto& [content, name] : cases) EXPECT_EQ(MachineInfoComputerName::prettyHostname(content), name) << content;

    TemporaryFolder folder;
    write(folder.path() / "machine-info", "PRETTY_HOSTNAME=\"Office Mac\"\n");
    EXPECT_EQ(MachineInfoComputerName(folder.path() / "machine-info").computerName(), "Office Mac");
    EXPECT_EQ(MachineInfoComputerName(folder.path() / "absent").computerName(), std::nullopt);
    EXPECT_TRUE(MachineInfoComputerName().localizedHostName().has_value());
}

TEST(DesktopEnergySettingsOpener, StartsTheFirstCandidateFoundOnThePath) {
    TemporaryFolder folder;
    const fs::path log = folder.path() / "started";
    const auto program = [&](const std::string& name, bool executable = true) {
        const fs::path path = folder.path() / name;
        write(path, "#!/bin/sh\necho \"" + name + " $*\" >> '" + log.string() + "'\n");
        ::chmod(path.c_str(), executable ? 0755 : 0644);
    };
    const auto startedLine = [&] {
        // The program runs detached: wait for its line, briefly.
        for (int i = 0; i < 500 && read(log).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return read(log);
    };

    // XFCE: no power manager on the path, so its settings manager.
    program("xfce4-settings-manager");
    program("xfce4-power-manager-settings", false); // present but not executable
    const std::string path = "relative/bin:" + folder.path().string();
    EXPECT_TRUE(DesktopEnergySettingsOpener("XFCE", path).open());
    EXPECT_EQ(startedLine(), "xfce4-settings-manager \n");

    fs::remove(log);
    program("gnome-control-center");
    EXPECT_TRUE(DesktopEnergySettingsOpener("ubuntu:GNOME", path).open());
    EXPECT_EQ(startedLine(), "gnome-control-center power\n");

    EXPECT_FALSE(DesktopEnergySettingsOpener("KDE", path).open());
    EXPECT_FALSE(DesktopEnergySettingsOpener("", path).open());
    EXPECT_EQ(DesktopEnergySettingsOpener::candidates("KDE").front(),
              (std::vector<std::string>{"systemsettings", "kcm_powerdevilprofilesconfig"}));
}

} // namespace
} // namespace velorinth
