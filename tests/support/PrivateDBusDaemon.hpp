#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace velorinth::testing {

// A dbus-daemon of the test's own, on a socket in a fresh temporary folder,
// killed (by its pid) with the object. No root needed.
class PrivateDBusDaemon {
public:
    PrivateDBusDaemon();
    ~PrivateDBusDaemon();
    PrivateDBusDaemon(const PrivateDBusDaemon&) = delete;
    PrivateDBusDaemon& operator=(const PrivateDBusDaemon&) = delete;

    // Empty when the daemon could not start; `failure` then says why.
    const std::string& address() const noexcept { return address_; }
    const std::string& failure() const noexcept { return failure_; }
    // Names it in DBUS_SYSTEM_BUS_ADDRESS, where the system-bus clients look
    // (each test runs in a process of its own).
    void useAsSystemBus() const;

private:
    std::filesystem::path directory_;
    pid_t pid_ = -1;
    std::string address_;
    std::string failure_;
};

} // namespace velorinth::testing
