#include "transport/discovery/LiveNetworkPathMonitor.hpp"

#include "support/LoopRunner.hpp"
#include "support/ScriptedNetworkPathSource.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedNetworkPathSource;

NetworkPathReport wifiPath() {
    NetworkPathReport report;
    report.status = NetworkPathReport::Status::satisfied;
    report.availableInterfaces = {{"wlan0", NetworkInterfaceType::wifi}};
    report.usedInterfaceTypes = {NetworkInterfaceType::wifi};
    return report;
}

TEST(LiveNetworkPathMonitor, EachStartReplacesThePlatformMonitorAndDestructionStopsIt) {
    testing::LoopRunner loop;
    auto made = std::make_shared<ScriptedNetworkPathSource::Made>();
    std::vector<std::string> first, second;
    {
        LiveNetworkPathMonitor monitor(loop.io.get_executor(), ScriptedNetworkPathSource::factory(made));
        monitor.stopMonitoring(); // without a start: nothing
        monitor.startMonitoring([&](const NetworkPathSnapshot& snapshot) { first.push_back(snapshot.description()); });
        ASSERT_TRUE(made->sources.at(0)->emit(wifiPath()));
        EXPECT_EQ(first, std::vector<std::string>{"satisfied|wifi:true|cell:false|eth:false|vpn:false|if:wlan0"});

        monitor.startMonitoring([&](const NetworkPathSnapshot& snapshot) { second.push_back(snapshot.description()); });
        EXPECT_TRUE(made->sources.at(0)->cancelled);
        EXPECT_FALSE(made->sources.at(0)->emit(wifiPath()));
        EXPECT_TRUE(made->sources.at(1)->emit(NetworkPathReport{}));
        EXPECT_EQ(first.size(), 1u);
        EXPECT_EQ(second.size(), 1u);
    }
    // Gone with its owner: the handler, and what it captured, is never called again.
    EXPECT_TRUE(made->sources.at(1)->cancelled);
    EXPECT_FALSE(made->sources.at(1)->emit(wifiPath()));
}

// The real netlink source on this machine's own interfaces (no root needed).
TEST(LoopbackPathMonitor, ReportsOnceAfterStartAndNeverAfterStopOrDestruction) {
    testing::LoopRunner loop;
    int firstCalls = 0, secondCalls = 0, destroyedCalls = 0;
    std::optional<NetworkPathSnapshot> snapshot;
    LiveNetworkPathMonitor monitor(loop.io.get_executor());
    monitor.stopMonitoring();
    monitor.startMonitoring([&](const NetworkPathSnapshot&) { ++firstCalls; });
    // Replaced before it ran: the first handler stays silent.
    monitor.startMonitoring([&](const NetworkPathSnapshot& reported) {
        ++secondCalls;
        snapshot = reported;
    });
    {
        LiveNetworkPathMonitor destroyed(loop.io.get_executor());
        destroyed.startMonitoring([&](const NetworkPathSnapshot&) { ++destroyedCalls; });
    }
    loop.until([&] { return secondCalls > 0; });
    loop.settle(100ms); // the kernel's echoes of an unchanged path bring nothing more
    EXPECT_EQ(secondCalls, 1);
    EXPECT_EQ(firstCalls, 0);
    EXPECT_EQ(destroyedCalls, 0);
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(std::count(snapshot->interfaceNames.begin(), snapshot->interfaceNames.end(), "lo"), 0); // never available

    monitor.stopMonitoring();
    loop.settle(50ms);
    EXPECT_EQ(secondCalls, 1);
}

} // namespace
} // namespace velorinth
