// Publication through a real Avahi daemon, in private network, mount and PID
// namespaces so the host's own daemons are never touched: one child makes the
// namespaces, its child (PID 1 there, this program run again) starts D-Bus and,
// later, Avahi, and browses with avahi-browse. Everything there dies with it.

#include "transport/discovery/BonjourHostListener.hpp"

#include "support/TLSTestIdentities.hpp"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;

constexpr int kPassed = 0;
constexpr int kFailed = 1;
constexpr int kSkipped = 77;
// Set in the namespace's PID 1: where its report goes.
constexpr const char* kReportVariable = "VELORINTH_NETNS_REPORT_FD";

// Runs `io` until `condition` holds or `limit` passes.
bool eventually(asio::io_context& io, const std::function<bool()>& condition,
                std::chrono::steady_clock::duration limit) {
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        io.restart();
        io.run_for(50ms);
    }
    return true;
}

// The resolved lines ("=;…") of one browse for the service type.
std::vector<std::string> browse() {
    std::vector<std::string> lines;
    FILE* output = ::popen("timeout 5 avahi-browse -rpt _velorinth._tcp 2>/dev/null", "r");
    if (output == nullptr) return lines;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, output) != nullptr) {
        if (std::string(buffer).rfind("=;", 0) == 0) lines.emplace_back(buffer);
    }
    ::pclose(output);
    return lines;
}

// Whether a resolved line names `escapedName` on `port` with the identity's TXT record.
bool listed(const std::string& escapedName, std::uint16_t port, const TLSDeviceIdentity& identity) {
    const std::string parts[] = {"\"v=1\"", "\"id=" + identity.publicIdentity.discoveryInstanceID.uuidString() + "\"",
                               "\"role=host\"", ";" + escapedName + ";_velorinth._tcp;",
                               ";" + std::to_string(port) + ";"};
    for (const std::string& line : browse()) {
        if (std::all_of(std::begin(parts), std::end(parts), [&](const std::string& part) { return line.find(part) != std::string::npos; })) {
            return true;
        }
    }
    return false;
}

// PID 1 of the namespace.
int publishInNamespace(int report) {
    const auto fail = [report](const std::string& why, int code = kFailed) {
        dprintf(report, "%s", why.c_str());
        return code;
    };
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || ::mkdir("/run/dbus", 0755) != 0 ||
        ::mkdir("/run/avahi-daemon", 0755) != 0) {
        return fail("private /run could not be mounted", kSkipped);
    }
    if (std::system("ip link set lo up") != 0) return fail("the loopback interface could not be raised", kSkipped);
    asio::io_context io;
    if (std::system("dbus-daemon --system --fork >/dev/null 2>&1") != 0 ||
        !eventually(io, [] { return ::access("/run/dbus/system_bus_socket", F_OK) == 0; }, 5s)) {
        return fail("the D-Bus system daemon could not start", kSkipped);
    }
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");

    int errors = 0;
    auto publish = [&](const TLSDeviceIdentity& identity) {
        auto listener = std::make_unique<BonjourHostListener>(
            io.get_executor(), identity, 0, true, [](std::shared_ptr<NetworkFramedConnection>, HandshakeSlot) {},
            [](ListenerStatus) {}, [&](const ListenerPublicationError&) { ++errors; });
        listener->start();
        return listener;
    };
    const TLSDeviceIdentity identity = testing::makeTestIdentity("Netns Host");
    auto first = publish(identity);
    const std::uint16_t firstPort = first->port().value_or(0);
    if (firstPort == 0) return fail("the listener did not advertise");

    // D-Bus runs but Avahi does not: said once, and published once the daemon appears.
    if (!eventually(io, [&] { return errors == 1; }, 10s)) return fail("no report while the daemon is absent");
    if (std::system("avahi-daemon -D --no-drop-root --no-chroot --no-rlimits >/dev/null 2>&1") != 0) {
        return fail("avahi-daemon could not start", kSkipped);
    }
    if (!eventually(io, [&] { return listed("Netns\\032Host", firstPort, identity); }, 20s)) {
        return fail("the service did not appear once the daemon started");
    }

    // A second host of the same name takes Avahi's alternative, "Netns Host #2".
    const TLSDeviceIdentity twin = testing::makeTestIdentity("Netns Host");
    auto second = publish(twin);
    const std::uint16_t secondPort = second->port().value_or(0);
    if (!eventually(io, [&] { return listed("Netns\\032Host\\032\\0352", secondPort, twin); }, 20s)) {
        std::string seen = "the second service did not take the alternative name; browsing shows:\n";
        for (const std::string& line : browse()) seen += line;
        return fail(seen);
    }

    // Stopping withdraws the service.
    first->stop();
    first.reset();
    if (!eventually(io, [&] { return !listed("Netns\\032Host", firstPort, identity); }, 20s) ||
        !listed("Netns\\032Host\\032\\0352", secondPort, twin)) {
        return fail("the service stayed published after stop, or the other went with it");
    }
    if (errors != 1) return fail("unexpected publication errors");
    return kPassed;
}

// The first child: makes the namespaces and waits for their PID 1.
int isolate(int report) {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWPID) != 0) {
        dprintf(report, "private namespaces are not permitted here");
        return kSkipped;
    }
    const pid_t init = ::fork();
    if (init < 0) return kFailed;
    if (init == 0) {
        // A fresh image of this program runs the namespace's side: the D-Bus
        // library keeps the bus address of its first use for the life of a
        // process, and an earlier test may have used another.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::setenv(kReportVariable, std::to_string(report).c_str(), 1);
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) ::dup2(quiet, STDOUT_FILENO);
        ::execl("/proc/self/exe", "/proc/self/exe", "--gtest_filter=NetnsAvahi.*", nullptr);
        dprintf(report, "the test program could not run itself again");
        ::_exit(kFailed);
    }
    int status = 0;
    ::waitpid(init, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : kFailed;
}

TEST(NetnsAvahi, PublishesTheTxtRecordOnceTheDaemonAppearsAndResolvesNameConflicts) {
    if (const char* report = std::getenv(kReportVariable)) ::_exit(publishInNamespace(std::atoi(report)));
    if (::geteuid() != 0) GTEST_SKIP() << "private network namespaces need root";
    for (const std::string tool : {"dbus-daemon", "avahi-daemon", "avahi-browse", "ip", "timeout"}) {
        if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) GTEST_SKIP() << tool << " is missing";
    }
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe[0]);
        ::_exit(isolate(pipe[1]));
    }
    ::close(pipe[1]);

    // Bounded: the whole run gets a minute, then the namespace is killed.
    std::string message;
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
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
    ASSERT_TRUE(finished) << "the namespace run did not finish in time";
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : kFailed;
    if (code == kSkipped) GTEST_SKIP() << message;
    EXPECT_EQ(code, kPassed) << message;
}

} // namespace
} // namespace velorinth
