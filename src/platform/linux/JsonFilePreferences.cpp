#include "platform/linux/JsonFilePreferences.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <system_error>

namespace velorinth {

namespace fs = std::filesystem;

namespace {

void logProblem(const fs::path& path, const char* what) {
    std::fprintf(stderr, "velorinth: preferences %s: %s\n", path.c_str(), what);
}

} // namespace

std::shared_ptr<Preferences> Preferences::create() {
    return std::make_shared<JsonFilePreferences>(JsonFilePreferences::defaultPath());
}

JsonFilePreferences::JsonFilePreferences(fs::path path) : path_(std::move(path)) {
    if (!path_.empty()) load();
}

fs::path JsonFilePreferences::defaultPath() {
    fs::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && fs::path(config).is_absolute()) {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = fs::path(home) / ".config";
    } else {
        return {};
    }
    return base / "velorinth" / "preferences.json";
}

void JsonFilePreferences::load() {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path_, error);
    if (error) return; // no file yet
    if (size > kMaximumFileSize) {
        malformedOnDisk_ = true;
        logProblem(path_, "larger than 64 KiB; ignored");
        return;
    }
    std::ifstream file(path_, std::ios::binary);
    if (!file) return;
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Nesting past kMaximumDepth is no preferences file, and every copy,
    // comparison or write of it would take a level of the stack per level.
    int depth = 0; // of containers, the object itself the first
    const auto deepest = [&depth](int enclosing, nlohmann::json::parse_event_t event, nlohmann::json&) {
        if (event == nlohmann::json::parse_event_t::object_start ||
            event == nlohmann::json::parse_event_t::array_start) {
            depth = std::max(depth, enclosing + 1);
        }
        return true;
    };
    nlohmann::json parsed = nlohmann::json::parse(text, deepest, false);
    if (parsed.is_discarded() || !parsed.is_object() || depth > kMaximumDepth) {
        malformedOnDisk_ = true;
        logProblem(path_, depth > kMaximumDepth ? "nested too deep; ignored" : "not a JSON object; ignored");
        return;
    }
    values_ = std::move(parsed);
}

std::optional<std::int64_t> JsonFilePreferences::integer(std::string_view key) {
    std::lock_guard guard(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    // A number past the signed range would read as another, negative one.
    if (found->is_number_unsigned() &&
        found->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
    }
    if (found->is_number_integer()) return found->get<std::int64_t>();
    return std::nullopt; // a float, text or anything else is no integer
}

void JsonFilePreferences::setInteger(std::string_view key, std::int64_t value) {
    std::lock_guard guard(mutex_);
    values_[std::string(key)] = value;
    if (!path_.empty()) write();
}

void JsonFilePreferences::write() {
    // Indented for a person to read, unless that would make a file this class
    // refuses to read back; then compact, or not at all.
    std::string text = values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (text.size() > kMaximumFileSize) text = values_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > kMaximumFileSize) {
        logProblem(path_, "would be larger than 64 KiB; not written");
        return;
    }
    std::error_code error;
    fs::create_directories(path_.parent_path(), error);
    if (malformedOnDisk_) {
        fs::path aside = path_;
        aside += ".corrupt";
        fs::rename(path_, aside, error);
        if (error && fs::exists(path_)) {
            logProblem(path_, "could not be set aside; not overwritten");
            return;
        }
        malformedOnDisk_ = false;
    }
    fs::path temporary = path_;
    temporary += ".tmp";
    const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        logProblem(path_, "could not be written");
        return;
    }
    bool written = ::write(descriptor, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    written = ::fsync(descriptor) == 0 && written;
    written = ::close(descriptor) == 0 && written;
    if (!written || std::rename(temporary.c_str(), path_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        logProblem(path_, "could not be written");
    }
}

} // namespace velorinth
