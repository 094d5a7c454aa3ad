#pragma once

// A private X server for one test or benchmark: Xvfb picks a free display
// (-displayfd) unless told one, and says its number once it accepts
// connections; it is stopped by its process id, never by name.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {

class PrivateXvfb {
public:
    struct Options {
        std::string screen = "1280x800x24";
        // Passed on after the screen, e.g. {"-extension", "XTEST"} to leave XTest out.
        std::vector<std::string> extraArguments;
        // The display to take; a free one when absent.
        std::optional<int> displayNumber;
        std::chrono::steady_clock::duration startLimit = std::chrono::seconds(10);
        // Where the server writes its audit of every connection it accepts
        // and every one that ends, in order ("client N connected from …",
        // "client N disconnected"); nowhere when none.
        std::optional<std::filesystem::path> auditLog;
    };

    // Whether an Xvfb executable is on the PATH.
    static bool isInstalled();

    // Starts the server and waits until it accepts connections; throws
    // std::runtime_error when it does not within the limit.
    explicit PrivateXvfb(Options options);
    PrivateXvfb() : PrivateXvfb(Options{}) {}
    ~PrivateXvfb();
    PrivateXvfb(const PrivateXvfb&) = delete;
    PrivateXvfb& operator=(const PrivateXvfb&) = delete;

    const std::string& displayName() const { return displayName_; }
    int displayNumber() const { return displayNumber_; }
    // Ends the server now (as a crash would, for its clients); waits for it.
    void stop();

private:
    pid_t pid_ = -1;
    int displayNumber_ = -1;
    std::string displayName_;
};

} // namespace velorinth::testing
