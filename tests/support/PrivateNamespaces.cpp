#include "support/PrivateNamespaces.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace velorinth::testing {

namespace {

// Exit codes between the namespace's PID 1 and the test.
constexpr int kPassed = 0;
constexpr int kFailed = 1;
constexpr int kSkipped = 77;
// Set in the namespace's PID 1: where its report goes.
constexpr const char* kReportVariable = "VELORINTH_NETNS_REPORT_FD";

int codeOf(NamespaceOutcome::Result result) {
    switch (result) {
    case NamespaceOutcome::Result::passed: return kPassed;
    case NamespaceOutcome::Result::skipped: return kSkipped;
    case NamespaceOutcome::Result::failed: return kFailed;
    }
    return kFailed;
}

NamespaceOutcome prepareAndRun(const std::function<NamespaceOutcome()>& inside) {
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
        return NamespaceOutcome::skip("private /run could not be mounted");
    }
    if (std::system("ip link set lo up") != 0)
        return NamespaceOutcome::skip("the loopback interface could not be raised");
    try {
        return inside();
    } catch (const std::exception& error) {
        return NamespaceOutcome::fail(std::string("the namespace's side threw: ") + error.what());
    }
}

// PID 1 of the namespace: reports and ends the process.
[[noreturn]] void runAsNamespaceInit(int report, const std::function<NamespaceOutcome()>& inside) {
    const NamespaceOutcome outcome = prepareAndRun(inside);
    dprintf(report, "%s", outcome.message.c_str());
    ::_exit(codeOf(outcome.result));
}

// The first child: makes the namespaces and waits for their PID 1.
int isolate(int report, const std::string& gtestFilter) {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWPID) != 0) {
        dprintf(report, "private namespaces are not permitted here");
        return kSkipped;
    }
    const pid_t init = ::fork();
    if (init < 0) return kFailed;
    if (init == 0) {
        // A fresh image of this program runs the namespace's side: libraries
        // (D-Bus among them) keep state of their first use for the life of a
        // process, and an earlier test may have used them.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::setenv(kReportVariable, std::to_string(report).c_str(), 1);
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) ::dup2(quiet, STDOUT_FILENO);
        const std::string filter = "--gtest_filter=" + gtestFilter;
        ::execl("/proc/self/exe", "/proc/self/exe", filter.c_str(), nullptr);
        dprintf(report, "the test program could not run itself again");
        ::_exit(kFailed);
    }
    int status = 0;
    ::waitpid(init, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : kFailed;
}

} // namespace

NamespaceOutcome runInPrivateNamespaces(const std::string& gtestFilter, const std::vector<std::string>& requiredTools,
                                        const std::function<NamespaceOutcome()>& inside, std::chrono::seconds limit) {
    if (const char* report = std::getenv(kReportVariable)) runAsNamespaceInit(std::atoi(report), inside);
    if (::geteuid() != 0) return NamespaceOutcome::skip("private network namespaces need root");
    for (const std::string& tool : requiredTools) {
        if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) {
            return NamespaceOutcome::skip(tool + " is missing");
        }
    }
    int pipe[2];
    if (::pipe(pipe) != 0) return NamespaceOutcome::fail("no pipe for the namespace's report");
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        return NamespaceOutcome::fail("could not fork");
    }
    if (child == 0) {
        ::close(pipe[0]);
        ::_exit(isolate(pipe[1], gtestFilter));
    }
    ::close(pipe[1]);

    // Bounded: past the limit the namespace is killed.
    std::string message;
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    bool finished = false;
    while (!finished && std::chrono::steady_clock::now() < giveUp) {
        pollfd readable{pipe[0], POLLIN, 0};
        if (::poll(&readable, 1, 100) > 0) {
            char buffer[512];
            const ssize_t count = ::read(pipe[0], buffer, sizeof buffer);
            if (count > 0) message.append(buffer, static_cast<std::size_t>(count));
            finished = count == 0;
        }
    }
    ::close(pipe[0]);
    if (!finished) ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!finished) return NamespaceOutcome::fail("the namespace run did not finish in time");
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : kFailed;
    if (code == kSkipped) return NamespaceOutcome::skip(message);
    if (code == kPassed) return NamespaceOutcome::pass(message);
    return NamespaceOutcome::fail(message);
}

} // namespace velorinth::testing
