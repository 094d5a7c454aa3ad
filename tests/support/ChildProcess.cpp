#include "support/ChildProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace velorinth::testing {

namespace {

// Reads everything available without waiting; false at the end of the stream.
bool drain(int descriptor, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count > 0) {
            into.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        return count < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipes for the child process");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // Nothing else of the test's: Asio's sockets are inheritable, and a
    // program that outlives a listener the test closed would keep its port.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);

    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
    ::fcntl(output_, F_SETFL, O_NONBLOCK);
    ::fcntl(error_, F_SETFL, O_NONBLOCK);
    if (spawned != 0) throw std::runtime_error("could not start " + program);
}

ChildProcess::~ChildProcess() {
    if (!finished_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (const int descriptor : {input_, output_, error_}) {
        if (descriptor >= 0) ::close(descriptor);
    }
}

void ChildProcess::write(const std::string& text) {
    if (input_ >= 0 && ::write(input_, text.data(), text.size()) < 0) throw std::runtime_error("the child's input is closed");
}

void ChildProcess::closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

void ChildProcess::signal(int number) {
    if (!finished_ && pid_ > 0) ::kill(pid_, number);
}

bool ChildProcess::poll() {
    if (finished_) return true;
    const bool outOpen = drain(output_, out_);
    const bool errOpen = drain(error_, err_);
    int status = 0;
    if (outOpen || errOpen || ::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    finished_ = true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

} // namespace velorinth::testing
