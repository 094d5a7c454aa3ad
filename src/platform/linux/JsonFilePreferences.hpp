#pragma once

#include "platform/Preferences.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <mutex>

namespace velorinth {

// Preferences as one JSON object in a file, read once at construction. A
// missing, unreadable or malformed file, one above kMaximumFileSize or nested
// deeper than kMaximumDepth, reads as no keys (malformed content is logged
// once, with the path); an integer past the signed 64-bit range is no
// integer. A write goes to a temporary file renamed over the old one, keeping
// the other keys, and never leaves a file this class would refuse to read; a
// malformed file is first renamed aside to "<name>.corrupt", so nothing is lost.
class JsonFilePreferences final : public Preferences {
public:
    static constexpr std::uintmax_t kMaximumFileSize = 64 * 1024;
    // Containers one inside another, the file's object the first.
    static constexpr int kMaximumDepth = 64;

    // An empty path keeps everything in memory (no home directory).
    explicit JsonFilePreferences(std::filesystem::path path);

    // $XDG_CONFIG_HOME/velorinth/preferences.json (an absolute XDG_CONFIG_HOME,
    // else ~/.config); empty when no home directory is known.
    static std::filesystem::path defaultPath();

    std::optional<std::int64_t> integer(std::string_view key) override;
    void setInteger(std::string_view key, std::int64_t value) override;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    void load();
    void write();

    const std::filesystem::path path_;
    std::mutex mutex_;
    nlohmann::json values_ = nlohmann::json::object();
    bool malformedOnDisk_ = false;
};

} // namespace velorinth
