#include "platform/linux/MachineInfoComputerName.hpp"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace velorinth {

std::shared_ptr<ComputerName> ComputerName::create() { return std::make_shared<MachineInfoComputerName>(); }

MachineInfoComputerName::MachineInfoComputerName(std::filesystem::path machineInfo)
    : machineInfo_(std::move(machineInfo)) {}

std::optional<std::string> MachineInfoComputerName::computerName() {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(machineInfo_, error);
    if (error || size > kMaximumFileSize) return std::nullopt;
    std::ifstream file(machineInfo_, std::ios::binary);
    if (!file) return std::nullopt;
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return prettyHostname(content);
}

std::optional<std::string> MachineInfoComputerName::localizedHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name);
}

std::optional<std::string> MachineInfoComputerName::prettyHostname(std::string_view content) {
    static constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::optional<std::string> found;
    while (!content.empty()) {
        const std::size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) continue;
        line.remove_prefix(start);
        if (line.starts_with('#') || !line.starts_with(key)) continue;
        found = unquoted(line.substr(key.size())); // a later assignment wins, as in a shell
    }
    return found;
}

std::optional<std::string> MachineInfoComputerName::unquoted(std::string_view value) {
    std::string out;
    enum class Quote { none, single, doubled } quote = Quote::none;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (quote) {
        case Quote::single:
            if (c == '\'') {
                quote = Quote::none;
            } else {
                out += c;
            }
            break;
        case Quote::doubled:
            if (c == '"') {
                quote = Quote::none;
            } else if (c == '\\' && i + 1 < value.size() &&
                       std::string_view("\"\\$`").find(value[i + 1]) != std::string_view::npos) {
                out += value[++i];
            } else {
                out += c;
            }
            break;
        case Quote::none:
            if (c == '\'') {
                quote = Quote::single;
            } else if (c == '"') {
                quote = Quote::doubled;
            } else if (c == '\\') {
                if (i + 1 == value.size()) return std::nullopt;
                out += value[++i];
            } else if (c == ' ' || c == '\t' || c == '\r') {
                // An unquoted blank ends the word; only blanks may follow.
                if (value.substr(i).find_first_not_of(" \t\r") != std::string_view::npos) return std::nullopt;
                return out;
            } else {
                out += c;
            }
            break;
        }
    }
    if (quote != Quote::none) return std::nullopt;
    return out;
}

} // namespace velorinth
