#pragma once

// A program run as it would run on state mounted read-only: in a mount
// namespace of its own (util-linux's unshare), a folder is bound read-only
// over itself before the program starts. That takes root, or a user
// namespace whose root the test becomes.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {

class ReadOnlyBind {
public:
    // Why no program can be run so here, or none when one can.
    static std::optional<std::string> unavailable();

    explicit ReadOnlyBind(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // What to start in place of `program` with `arguments`.
    std::string program() const;
    std::vector<std::string> arguments(const std::string& program, const std::vector<std::string>& arguments) const;

private:
    std::filesystem::path folder_;
};

} // namespace velorinth::testing
