// The sleep monitor against a stand-in for logind on a private bus: the
// delay inhibitor is let go only once the host has reported the sleep (or the
// limit passed), a new one is taken on waking, and without logind there is
// one log line and no events.

#include "platform/linux/LogindSleepMonitor.hpp"
#include "support/LoopRunner.hpp"
#include "support/PrivateDBusDaemon.hpp"

#include <poll.h>
#include <unistd.h>

#include <sdbus-c++/IObject.h>
#include <sdbus-c++/sdbus-c++.h>

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

// org.freedesktop.login1 as far as the monitor uses it: Inhibit hands out the
// write end of a pipe whose read end the test watches.
class FakeLogind {
public:
    FakeLogind(const asio::any_io_executor& executor, const std::string& address) {
        DBusLoopConnection::Handlers handlers;
        handlers.onOpened = [this] { exportManager(); };
        bus_ = DBusLoopConnection::open(
            executor,
            [address] {
                auto connection = sdbus::createSessionBusConnectionWithAddress(address);
                connection->requestName(LogindSleepMonitor::kService);
                return connection;
            },
            {}, std::move(handlers));
    }
    ~FakeLogind() {
        for (const int fd : readEnds) ::close(fd);
        manager_.reset();
        bus_->close();
    }

    bool ready = false;
    std::vector<std::string> modes;
    std::vector<int> readEnds;

    void prepareForSleep(bool sleeping) {
        manager_->emitSignal("PrepareForSleep").onInterface(LogindSleepMonitor::kManager).withArguments(sleeping);
        bus_->kick();
    }

private:
    void exportManager() {
        manager_ = sdbus::createObject(bus_->connection(), LogindSleepMonitor::kPath);
        manager_->registerMethod("Inhibit")
            .onInterface(LogindSleepMonitor::kManager)
            .implementedAs([this](const std::string& what, const std::string&, const std::string&,
                                  const std::string& mode) {
                modes.push_back(what + "/" + mode);
                int ends[2];
                if (::pipe(ends) != 0) throw sdbus::Error("org.freedesktop.DBus.Error.Failed", "no pipe");
                readEnds.push_back(ends[0]);
                return sdbus::UnixFd(ends[1], sdbus::adopt_fd); // the reply keeps the only copy
            });
        manager_->registerSignal("PrepareForSleep").onInterface(LogindSleepMonitor::kManager).withParameters<bool>();
        manager_->finishRegistration();
        ready = true;
    }

    std::shared_ptr<DBusLoopConnection> bus_;
    std::unique_ptr<sdbus::IObject> manager_;
};

// The inhibitor's pipe has no writer left: the sleep may go on.
bool released(int readEnd) {
    pollfd watched{readEnd, POLLIN, 0};
    if (::poll(&watched, 1, 0) <= 0) return false;
    char byte = 0;
    return (watched.revents & POLLHUP) != 0 || ::read(readEnd, &byte, 1) == 0;
}

struct Rig {
    PrivateDBusDaemon daemon;
    LoopRunner loop;
    std::vector<std::string> logged;
    std::vector<std::function<void()>> reports;
    int wakes = 0;

    std::shared_ptr<LogindSleepMonitor> monitor(std::chrono::steady_clock::duration limit = 10s) {
        SystemSleepMonitor::Options options;
        options.reportLimit = limit;
        options.log = [this](const std::string& line) { logged.push_back(line); };
        auto made = std::make_shared<LogindSleepMonitor>(loop.io.get_executor(), options);
        SystemSleepMonitor::Handlers handlers;
        handlers.willSleep = [this](std::function<void()> reported) { reports.push_back(std::move(reported)); };
        handlers.didWake = [this] { ++wakes; };
        made->start(std::move(handlers));
        return made;
    }
};

#define VELORINTH_REQUIRE_BUS(rig)                                                                                     \
    if ((rig).daemon.address().empty()) GTEST_SKIP() << "no private D-Bus daemon: " << (rig).daemon.failure();       \
    (rig).daemon.useAsSystemBus()

} // namespace

TEST(LoopbackLogindSleepMonitor, TheSleepWaitsForTheReportAndWakingTakesANewInhibitor) {
    Rig rig;
    VELORINTH_REQUIRE_BUS(rig);
    FakeLogind logind(rig.loop.io.get_executor(), rig.daemon.address());
    rig.loop.until([&] { return logind.ready; });
    const auto monitor = rig.monitor();
    rig.loop.until([&] { return monitor->holdsInhibitor(); });
    ASSERT_EQ(logind.modes, (std::vector<std::string>{"sleep/delay"}));

    logind.prepareForSleep(true);
    rig.loop.until([&] { return rig.reports.size() == 1; });
    rig.loop.settle(100ms);
    EXPECT_FALSE(released(logind.readEnds[0])); // the report is still under way
    std::thread([report = rig.reports[0]] { report(); }).join(); // from another thread, as the UI's
    rig.loop.until([&] { return released(logind.readEnds[0]); });
    EXPECT_FALSE(monitor->holdsInhibitor());

    logind.prepareForSleep(false);
    rig.loop.until([&] { return rig.wakes == 1 && monitor->holdsInhibitor(); });
    EXPECT_EQ(logind.modes.size(), 2u);
    rig.reports[0](); // a late report of the last sleep lets nothing go
    rig.loop.settle(50ms);
    EXPECT_FALSE(released(logind.readEnds[1]));
    EXPECT_TRUE(rig.logged.empty());
    monitor->stop();
    rig.loop.until([&] { return released(logind.readEnds[1]); });
}

TEST(LoopbackLogindSleepMonitor, AReportThatNeverComesHoldsTheSleepOnlyUntilTheLimit) {
    Rig rig;
    VELORINTH_REQUIRE_BUS(rig);
    FakeLogind logind(rig.loop.io.get_executor(), rig.daemon.address());
    rig.loop.until([&] { return logind.ready; });
    const auto monitor = rig.monitor(50ms);
    rig.loop.until([&] { return monitor->holdsInhibitor(); });
    logind.prepareForSleep(true);
    rig.loop.until([&] { return released(logind.readEnds[0]); });
    EXPECT_EQ(rig.reports.size(), 1u);
    monitor->stop();
}

TEST(LoopbackLogindSleepMonitor, WithoutABusOrLogindOneLineSaysSo) {
    Rig rig;
    VELORINTH_REQUIRE_BUS(rig);
    const auto withoutLogind = rig.monitor();
    rig.loop.until([&] { return !rig.logged.empty(); });
    rig.loop.settle(100ms);
    EXPECT_EQ(rig.logged.size(), 1u);
    withoutLogind->stop();

    rig.logged.clear();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velorinth-test-bus", 1);
    const auto withoutBus = rig.monitor();
    rig.loop.until([&] { return !rig.logged.empty(); });
    rig.loop.settle(100ms);
    EXPECT_EQ(rig.logged.size(), 1u);
    EXPECT_NE(rig.logged[0].find("no sleep and wake events"), std::string::npos);
    EXPECT_EQ(rig.wakes, 0);
    withoutBus->stop();
}
