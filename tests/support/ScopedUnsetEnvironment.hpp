#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace velorinth::testing {

// Unsets an environment variable for the life of the object, then restores
// it. Only for single-threaded test code: the environment is process-wide.
class ScopedUnsetEnvironment {
public:
    explicit ScopedUnsetEnvironment(std::string name) : name_(std::move(name)) {
        if (const char* value = std::getenv(name_.c_str())) saved_ = value;
        ::unsetenv(name_.c_str());
    }
    ~ScopedUnsetEnvironment() {
        if (saved_) ::setenv(name_.c_str(), saved_->c_str(), 1);
    }
    ScopedUnsetEnvironment(const ScopedUnsetEnvironment&) = delete;
    ScopedUnsetEnvironment& operator=(const ScopedUnsetEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

} // namespace velorinth::testing
