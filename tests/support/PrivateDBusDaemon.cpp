#include "support/PrivateDBusDaemon.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <system_error>

namespace velorinth::testing {

PrivateDBusDaemon::PrivateDBusDaemon() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velorinth-bus-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        failure_ = "no temporary folder";
        return;
    }
    directory_ = pattern;
    int pipe[2];
    if (::pipe(pipe) != 0) {
        failure_ = "no pipe";
        return;
    }
    const std::string listen = "--address=unix:path=" + (directory_ / "bus").string();
    const std::string print = "--print-address=" + std::to_string(pipe[1]);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(pipe[0]);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", listen.c_str(), print.c_str(),
               static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipe[1]);
    // The daemon prints its address once it listens; bounded.
    std::string line;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < giveUp) {
        pollfd readable{pipe[0], POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t count = ::read(pipe[0], buffer, sizeof buffer);
        if (count <= 0) break;
        line.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(pipe[0]);
    if (const auto end = line.find('\n'); end != std::string::npos) {
        address_ = line.substr(0, end);
    } else {
        failure_ = "dbus-daemon did not start";
    }
}

PrivateDBusDaemon::~PrivateDBusDaemon() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
}

void PrivateDBusDaemon::useAsSystemBus() const { ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1); }

} // namespace velorinth::testing
