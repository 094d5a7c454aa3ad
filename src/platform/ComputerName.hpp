#pragma once

#include <memory>
#include <optional>
#include <string>

namespace velorinth {

// What this machine is called: the name its owner gave it, and the network
// host name. Each call reads the system afresh; none throws.
class ComputerName {
public:
    virtual ~ComputerName() = default;

    // The owner's "pretty" name, as stored; none when unset or unreadable.
    virtual std::optional<std::string> computerName() = 0;
    // The host name; none when the system has none.
    virtual std::optional<std::string> localizedHostName() = 0;

    // /etc/machine-info and gethostname().
    static std::shared_ptr<ComputerName> create();
};

} // namespace velorinth
