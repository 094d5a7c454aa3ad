#pragma once

// Stores and preferences in private XDG folders (mkdtemp) for the life of a
// test; the variables are put back afterwards.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace velorinth::testing {

class PrivateUserFolders {
public:
    PrivateUserFolders() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velorinth-user-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
            if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
        }
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    }
    ~PrivateUserFolders() {
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_CONFIG_HOME");
        for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    PrivateUserFolders(const PrivateUserFolders&) = delete;
    PrivateUserFolders& operator=(const PrivateUserFolders&) = delete;

    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

} // namespace velorinth::testing
