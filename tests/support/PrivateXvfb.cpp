#include "support/PrivateXvfb.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velorinth::testing {

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
};

// Reads the display number Xvfb writes (digits and a newline), within the limit.
std::optional<int> readDisplayNumber(int fd, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string text;
    while (text.find('\n') == std::string::npos && text.size() < 16) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[16];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt; // the server ended without saying
        text.append(buffer, static_cast<std::size_t>(n));
    }
    try {
        return std::stoi(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

bool PrivateXvfb::isInstalled() {
    const char* path = std::getenv("PATH");
    std::stringstream directories(path ? path : "/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        if (!directory.empty() && ::access((directory + "/Xvfb").c_str(), X_OK) == 0) return true;
    }
    return false;
}

PrivateXvfb::PrivateXvfb(Options options) {
    Pipe pipe;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("Xvfb: no pipe");
    pipe.read = fds[0];
    pipe.write = fds[1];
    // The child gets the write end under a fixed number without close-on-exec.
    const int childFd = pipe.write == 3 ? 4 : 3;

    std::vector<std::string> arguments{"Xvfb"};
    if (options.displayNumber) arguments.push_back(":" + std::to_string(*options.displayNumber));
    arguments.insert(arguments.end(),
                     {"-displayfd", std::to_string(childFd), "-screen", "0", options.screen, "-nolisten", "tcp"});
    if (options.auditLog) arguments.insert(arguments.end(), {"-audit", "4"});
    arguments.insert(arguments.end(), options.extraArguments.begin(), options.extraArguments.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe.write, childFd);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string errors = options.auditLog ? options.auditLog->string() : "/dev/null";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int spawned = ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("Xvfb did not start");
    }
    ::close(pipe.write);
    pipe.write = -1;

    const std::optional<int> number = readDisplayNumber(pipe.read, options.startLimit);
    if (!number) {
        stop();
        throw std::runtime_error("Xvfb did not accept connections in time");
    }
    displayNumber_ = *number;
    displayName_ = ":" + std::to_string(*number);
}

PrivateXvfb::~PrivateXvfb() { stop(); }

void PrivateXvfb::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    // It ends promptly on SIGTERM; a server that does not is killed.
    for (int i = 0; i < 500; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

} // namespace velorinth::testing
