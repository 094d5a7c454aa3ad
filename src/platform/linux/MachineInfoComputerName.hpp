#pragma once

#include "platform/ComputerName.hpp"

#include <filesystem>
#include <string_view>

namespace velorinth {

// The computer's name on Linux: PRETTY_HOSTNAME of /etc/machine-info (an
// environment-style file, its shell quoting undone), and gethostname().
class MachineInfoComputerName final : public ComputerName {
public:
    static constexpr std::uintmax_t kMaximumFileSize = 64 * 1024;

    explicit MachineInfoComputerName(std::filesystem::path machineInfo = "/etc/machine-info");

    std::optional<std::string> computerName() override;
    std::optional<std::string> localizedHostName() override;

    // The PRETTY_HOSTNAME of a machine-info text; none when absent or when
    // its quoting is broken.
    static std::optional<std::string> prettyHostname(std::string_view content);
    // One shell word with its quotes and escapes undone; none when broken.
    static std::optional<std::string> unquoted(std::string_view value);

private:
    const std::filesystem::path machineInfo_;
};

} // namespace velorinth
