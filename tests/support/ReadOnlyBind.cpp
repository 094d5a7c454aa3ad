#include "support/ReadOnlyBind.hpp"

#include "support/ChildProcess.hpp"

#include <unistd.h>

#include <chrono>
#include <thread>

namespace velorinth::testing {

std::string ReadOnlyBind::program() const { return "/usr/bin/unshare"; }

std::vector<std::string> ReadOnlyBind::arguments(const std::string& program,
                                                 const std::vector<std::string>& arguments) const {
    std::vector<std::string> line;
    if (::geteuid() != 0) line.emplace_back("--map-root-user");
    // The mounts of the new namespace are private: the bind never reaches the test's own.
    line.insert(line.end(), {"--mount", "--", "/bin/sh", "-c", "mount --bind -o ro \"$0\" \"$0\" && exec \"$@\"",
                             folder_.string(), program});
    line.insert(line.end(), arguments.begin(), arguments.end());
    return line;
}

std::optional<std::string> ReadOnlyBind::unavailable() {
    if (::access("/usr/bin/unshare", X_OK) != 0) return "util-linux's unshare is not installed";
    const ReadOnlyBind probe("/tmp");
    ChildProcess child(probe.program(), probe.arguments("/bin/sh", {"-c", "! touch /tmp/.velorinth-read-only-probe"}));
    child.closeInput();
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!child.poll() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (child.finished() && child.exitCode() == 0) return std::nullopt;
    return "no folder can be bound read-only here (it needs root or user namespaces): " + child.err();
}

} // namespace velorinth::testing
