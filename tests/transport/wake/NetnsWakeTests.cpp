// The host's snapshot and a tablet's dispatch end to end, across a veth pair
// between two network namespaces: this test's private namespace H (the
// host) and T (the tablet), joined by one thread of the same process.

#include "platform/InMemorySecureStore.hpp"
#include "platform/linux/LinuxWakeEnvironmentPlatform.hpp"
#include "transport/wake/LiveSystemWakeEnvironmentProbe.hpp"
#include "transport/wake/LocalWakeService.hpp"
#include "transport/wake/WakeReadinessService.hpp"

#include "support/FakeSysfsTree.hpp"
#include "support/LoopRunner.hpp"
#include "support/PrivateNamespaces.hpp"
#include "support/UdpReceiver.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::NamespaceOutcome;

constexpr std::uint16_t kWakePort = 40009;
const Date kNow(786316800.5);

// Dispatches `configuration` from namespace T, on a thread of its own; the failure text, or empty.
std::string dispatchFromTheTablet(const SavedWakeConfiguration& configuration,
                                  std::optional<WakeDispatchOutcome>& outcome) {
    std::string failure;
    std::thread tablet([&] {
        const int namespaceFile = ::open("/run/netns/T", O_RDONLY | O_CLOEXEC);
        if (namespaceFile < 0 || ::setns(namespaceFile, CLONE_NEWNET) != 0) {
            failure = "the thread could not join namespace T";
            return;
        }
        ::close(namespaceFile);
        try {
            testing::LoopRunner loop;
            LocalWakeService wake(loop.io.get_executor(), nullptr, WakeDispatchPolicy({kWakePort}, 0s, 6, 50ms, false));
            outcome = loop.run(wake.dispatchWake(Uuid::random(), configuration, kNow));
        } catch (const std::exception& error) {
            failure = error.what();
        }
    });
    tablet.join();
    return failure;
}

NamespaceOutcome wakeAcrossAVethPair() {
    const char* setup[] = {
        "ip netns add T",
        "ip link add name v0 address 02:00:00:00:50:02 type veth peer name v1 netns T",
        "ip addr add 192.168.50.2/24 dev v0",
        "ip -n T addr add 192.168.50.3/24 dev v1",
        "ip link set v0 up",
        "ip -n T link set v1 up",
    };
    for (const char* command : setup) {
        if (std::system((std::string(command) + " >/dev/null 2>&1").c_str()) != 0) {
            return NamespaceOutcome::skip(std::string("could not run \"") + command + "\"");
        }
    }
    ::unsetenv("DISPLAY");
    // In a thread that joined T, /sys would still show H's devices: the host reads a tree of its own.
    testing::FakeSysfsTree sysfs;
    sysfs.addNetworkInterface("v0", 1, true);
    WakeReadinessService readiness(
        std::make_shared<LiveSystemWakeEnvironmentProbe>(std::make_shared<LinuxWakeEnvironmentPlatform>(sysfs.root())),
        std::make_shared<InMemorySecureStore>());
    testing::UdpReceiver receiver(kWakePort);

    // The link comes up a moment after both ends are raised.
    HostWakeDiagnosticsSnapshot snapshot;
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    do {
        snapshot = readiness.diagnosticsSnapshot(51891, true, kNow);
        if (!snapshot.configuration.targets.empty()) break;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < giveUp);

    const std::vector<WakeNetworkInterfaceTarget> expected{
        WakeNetworkInterfaceTarget("v0", WakeInterfaceKind::ethernet, MACAddress(std::string_view("02:00:00:00:50:02")),
                                   "192.168.50.2", "255.255.255.0", "192.168.50.255")};
    if (snapshot.configuration.targets != expected) return NamespaceOutcome::fail("v0 was not the one wake target");
    if (snapshot.configuration.wakeForNetworkAccess != Evidence<bool>::unknown()) {
        return NamespaceOutcome::fail("veth has no Wake-on-LAN setting, yet the setting was known");
    }
    if (!snapshot.configuration.sleepProxyEligible) return NamespaceOutcome::fail("the snapshot was not eligible");

    std::optional<WakeDispatchOutcome> outcome;
    if (const std::string failure = dispatchFromTheTablet(snapshot.configuration, outcome); !failure.empty()) {
        return NamespaceOutcome::fail("the dispatch failed: " + failure);
    }
    const WakeDispatchOutcome expectedOutcome{WakeSignalStatus::wakeRequestSent, WakeRouteKind::directLocalNetwork, 2,
                                              true, kNow};
    if (outcome != expectedOutcome) return NamespaceOutcome::fail("unexpected dispatch outcome");
    const Bytes payload = WakeMagicPacket(std::string_view("02:00:00:00:50:02")).payload();
    for (const char* which : {"broadcast", "unicast"}) {
        if (receiver.next() != payload)
            return NamespaceOutcome::fail(std::string("the ") + which + " datagram did not arrive");
    }
    return NamespaceOutcome::pass();
}

TEST(NetnsWake, TheHostsSnapshotWakesItFromAnotherNamespace) {
    VELORINTH_RUN_IN_PRIVATE_NAMESPACES("NetnsWake.*", {"ip"}, wakeAcrossAVethPair);
}

} // namespace
} // namespace velorinth
