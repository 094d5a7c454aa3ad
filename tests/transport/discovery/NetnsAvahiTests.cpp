// Publication through a real Avahi daemon, in a private network, mount and
// PID namespace so the host's own daemons are never touched: one child makes
// the namespaces, its child (PID 1 there, this program run again) starts
// D-Bus and, later, Avahi, and browses with avahi-browse. Everything in the
// namespace dies with it.

#include "transport/discovery/BonjourHostListener.hpp"

#include "core/EventLoop.hpp"
#include "support/TLSTestIdentities.hpp"

#include <asio/post.hpp>
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

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;

constexpr int kPassed = 0;
constexpr int kFailed = 1;
constexpr int kSkipped = 77;
// Set in the namespace's PID 1: where its report goes.
constexpr const char* kReportVariable = "VELORINTH_NETNS_REPORT_FD";

bool onPath(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool eventually(const std::function<bool()>& condition, std::chrono::steady_clock::duration limit) {
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(50ms);
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
        std::string line(buffer);
        if (line.rfind("=;", 0) == 0) lines.push_back(line);
    }
    ::pclose(output);
    return lines;
}

bool listed(const std::string& escapedName, std::uint16_t port, const std::vector<std::string>& txt) {
    for (const std::string& line : browse()) {
        if (line.find(";" + escapedName + ";_velorinth._tcp;") == std::string::npos) continue;
        if (line.find(";" + std::to_string(port) + ";") == std::string::npos) continue;
        bool all = true;
        for (const std::string& entry : txt) all = all && line.find("\"" + entry + "\"") != std::string::npos;
        if (all) return true;
    }
    return false;
}

// A publishing listener on the loop; counts its publication errors.
struct Published {
    std::unique_ptr<BonjourHostListener> listener;
    std::uint16_t port = 0;
    std::atomic<int> errors{0};
};

// Runs `body` on the loop and waits for it.
void onLoop(EventLoop& loop, const std::function<void()>& body) {
    std::promise<void> done;
    asio::post(loop.executor(), [&] {
        body();
        done.set_value();
    });
    done.get_future().wait();
}

std::shared_ptr<Published> publish(EventLoop& loop, const TLSDeviceIdentity& identity) {
    auto published = std::make_shared<Published>();
    onLoop(loop, [&] {
        Published* raw = published.get();
        published->listener = std::make_unique<BonjourHostListener>(
            loop.executor(), identity, 0, true, [](std::shared_ptr<NetworkFramedConnection>, HandshakeSlot) {},
            [](ListenerStatus) {}, [raw](const ListenerPublicationError&) { ++raw->errors; });
        published->listener->start();
        published->port = published->listener->port().value_or(0);
    });
    return published;
}

// PID 1 of the namespace.
int publishInNamespace(int report) {
    const auto fail = [report](const char* why, int code = kFailed) {
        dprintf(report, "%s", why);
        return code;
    };
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || ::mkdir("/run/dbus", 0755) != 0 ||
        ::mkdir("/run/avahi-daemon", 0755) != 0) {
        return fail("private /run could not be mounted", kSkipped);
    }
    if (std::system("ip link set lo up") != 0) return fail("the loopback interface could not be raised", kSkipped);
    if (std::system("dbus-daemon --system --fork >/dev/null 2>&1") != 0 ||
        !eventually([] { return ::access("/run/dbus/system_bus_socket", F_OK) == 0; }, 5s)) {
        return fail("the D-Bus system daemon could not start", kSkipped);
    }
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");

    EventLoop loop;
    loop.start();
    const TLSDeviceIdentity identity = testing::makeTestIdentity("Netns Host");
    const auto first = publish(loop, identity);
    if (first->port == 0) return fail("the listener did not advertise");

    // D-Bus runs but Avahi does not: said once, and the listener carries on.
    if (!eventually([&] { return first->errors == 1; }, 10s)) {
        return fail("no avahiUnavailable report while the daemon is absent");
    }
    if (std::system("avahi-daemon -D --no-drop-root --no-chroot --no-rlimits >/dev/null 2>&1") != 0) {
        return fail("avahi-daemon could not start", kSkipped);
    }
    const std::vector<std::string> txt{"v=1", "id=" + identity.publicIdentity.discoveryInstanceID.uuidString(),
                                       "role=host"};
    if (!eventually([&] { return listed("Netns\\032Host", first->port, txt); }, 20s)) {
        return fail("the service did not appear once the daemon started");
    }

    // A second host of the same name takes Avahi's alternative name,
    // "Netns Host #2" as avahi-browse escapes it.
    const TLSDeviceIdentity twin = testing::makeTestIdentity("Netns Host");
    const auto second = publish(loop, twin);
    const std::vector<std::string> twinTxt{"v=1", "id=" + twin.publicIdentity.discoveryInstanceID.uuidString(),
                                           "role=host"};
    if (!eventually([&] { return listed("Netns\\032Host\\032\\0352", second->port, twinTxt); }, 20s)) {
        std::string seen = "the second service did not take the alternative name; browsing shows:\n";
        for (const std::string& line : browse()) seen += line;
        return fail(seen.c_str());
    }

    // Stopping withdraws the service.
    onLoop(loop, [&] {
        first->listener->stop();
        first->listener.reset();
    });
    if (!eventually([&] { return !listed("Netns\\032Host", first->port, txt) &&
                                 listed("Netns\\032Host\\032\\0352", second->port, twinTxt); }, 20s)) {
        return fail("the service stayed published after stop");
    }
    if (first->errors != 1 || second->errors != 0) return fail("unexpected publication errors");
    onLoop(loop, [&] { second->listener.reset(); });
    loop.stop();
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
        // A fresh image of this test program runs the namespace's side: the
        // D-Bus library remembers the bus address of its first use for the
        // life of a process, and an earlier test may have used another.
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
    for (const char* tool : {"dbus-daemon", "avahi-daemon", "avahi-browse", "ip", "timeout"}) {
        if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed";
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
            if (count == 0) finished = true;
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
