// The live path monitor on the kernel's own events, in private namespaces
// with sysfs mounted again for them, and a transition coordinator fed by it.

#include "platform/InMemorySecureStore.hpp"
#include "transport/discovery/LiveNetworkPathMonitor.hpp"
#include "transport/discovery/LocalNetworkAddressScanner.hpp"
#include "transport/client/NetworkTransitionCoordinator.hpp"

#include "support/LoopRunner.hpp"
#include "support/NamespaceDaemons.hpp"
#include "support/PrivateNamespaces.hpp"
#include "support/TLSTestIdentities.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::NamespaceDaemons;
using testing::NamespaceOutcome;

// A tun interface that lives while the object keeps its file open.
class TunInterface {
public:
    explicit TunInterface(const char* name) : fd_(::open("/dev/net/tun", O_RDWR | O_CLOEXEC)) {
        ifreq request{};
        std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        if (fd_ >= 0 && ::ioctl(fd_, TUNSETIFF, &request) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~TunInterface() {
        if (fd_ >= 0) ::close(fd_);
    }
    TunInterface(const TunInterface&) = delete;
    TunInterface& operator=(const TunInterface&) = delete;
    bool made() const noexcept { return fd_ >= 0; }

private:
    int fd_;
};

NamespaceOutcome followPathChanges() {
    if (auto failed = NamespaceDaemons::remountSysfs()) return *failed;
    testing::LoopRunner loop;
    std::vector<NetworkPathSnapshot> snapshots;
    std::function<void(const NetworkPathSnapshot&)> alsoTell;
    LiveNetworkPathMonitor monitor(loop.io.get_executor());
    monitor.startMonitoring([&](const NetworkPathSnapshot& snapshot) {
        snapshots.push_back(snapshot);
        if (alsoTell) alsoTell(snapshot);
    });
    std::string failure;
    // Runs `commands`, then waits for a snapshot for which `expected` holds.
    auto step = [&](const std::vector<std::string>& commands, const std::function<bool(const NetworkPathSnapshot&)>& expected,
                    const std::string& what) {
        if (!failure.empty()) return false;
        for (const std::string& command : commands) {
            if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) failure = "could not run " + command;
        }
        try {
            if (failure.empty()) loop.until([&] { return !snapshots.empty() && expected(snapshots.back()); }, 10s);
        } catch (const std::exception&) {
            failure = what + "; last: " + (snapshots.empty() ? "none" : snapshots.back().description());
        }
        return failure.empty();
    };
    using Names = std::vector<std::string>;

    step({}, [](const auto& s) { return !s.isSatisfied() && s.interfaceNames.empty(); }, "only lo: no usable path");
    step({"ip link add pa type veth peer name pb", "ip addr add 192.168.88.1/24 dev pa", "ip addr add 192.168.88.2/24 dev pb",
          "ip link set pa up", "ip link set pb up"},
         [](const auto& s) {
             return s.isSatisfied() && s.interfaceNames == Names{"pa", "pb"} && s.usesWiredEthernet && !s.usesVPNOrTunnel;
         },
         "a veth pair: both names, Ethernet");
    // Virtual interfaces both: listed in the system's order (the peer was made first).
    auto addresses = LocalNetworkAddressScanner::currentIPv4Addresses();
    std::sort(addresses.begin(), addresses.end());
    if (failure.empty() && addresses != std::vector<std::string>{"192.168.88.1", "192.168.88.2"}) {
        failure = "the scanner did not list the veth addresses:";
        for (const std::string& address : addresses) failure += " " + address;
    }
    TunInterface tun("tv0");
    if (!tun.made()) return NamespaceOutcome::skip("no tun device here");
    step({"ip addr add 10.99.0.1/24 dev tv0", "ip link set tv0 up"},
         [](const auto& s) { return s.usesVPNOrTunnel && s.interfaceNames == Names{"pa", "pb", "tv0"}; }, "a tun: a tunnel");
    step({"ip route add default dev tv0"}, [](const auto& s) { return s.usesVPNOrTunnel && !s.usesWiredEthernet; },
         "the default route through the tun is what the path uses");
    // The same address again changes nothing.
    const std::size_t reported = snapshots.size();
    step({"ip addr replace 192.168.88.1/24 dev pa"}, [](const auto&) { return true; }, "");
    loop.settle(200ms);
    if (failure.empty() && snapshots.size() != reported) failure = "an unchanged address was reported again";
    step({"ip link set tv0 down", "ip link set pa down", "ip link set pb down"},
         [](const auto& s) { return !s.isSatisfied() && s.interfaceNames.empty(); }, "every link down: no usable path");
    if (!failure.empty()) return NamespaceOutcome::fail(failure);

    // End to end: a coordinator that recovered its device once, on a link whose peer is out of sight.
    auto store = std::make_shared<TrustedDeviceStore>(std::make_shared<InMemorySecureStore>());
    const TLSDeviceIdentity mac = testing::makeTestIdentity("Studio Mac");
    store->trust(testing::trustedRecord(mac.publicIdentity));
    int calls = 0;
    auto coordinator = std::make_shared<NetworkTransitionCoordinator<int>>(
        loop.io.get_executor(), store, BackoffPolicy{1s, 8s, 2.0, 6}, 3,
        [&](Uuid) -> asio::awaitable<int> { co_return ++calls; }, nullptr);
    alsoTell = [&](const NetworkPathSnapshot& snapshot) { coordinator->handlePathUpdate(snapshot, std::nullopt, false); };
    step({"ip netns add T", "ip link add ea type veth peer name eb netns T", "ip addr add 192.168.99.1/24 dev ea",
          "ip -n T link set eb up", "ip link set ea up"},
         [](const auto& s) { return s.isSatisfied() && s.interfaceNames == Names{"ea"}; }, "a link to another namespace");
    if (!failure.empty()) return NamespaceOutcome::fail(failure);
    if (loop.run(coordinator->reconnectNow(mac.publicIdentity.id)) != 1) return NamespaceOutcome::fail("no first recovery");

    step({"ip link set ea down"}, [](const auto& s) { return !s.isSatisfied(); }, "the link went down");
    try {
        loop.until([&] { return coordinator->currentStatus() == NetworkReconnectStatus::waitingForNetwork(); }, 10s);
    } catch (const std::exception&) {
        failure = "the coordinator did not wait for the network";
    }
    if (failure.empty() && calls != 1) failure = "a reconnect was tried without a network";
    step({"ip link set ea up"}, [](const auto& s) { return s.isSatisfied(); }, "the link came back");
    try {
        loop.until([&] { return coordinator->currentStatus() == NetworkReconnectStatus::recovered(); }, 10s);
    } catch (const std::exception&) {
        failure = "the coordinator did not recover once the link came back";
    }
    if (failure.empty() && calls != 2) failure = "expected one more reconnect, got " + std::to_string(calls - 1);
    return failure.empty() ? NamespaceOutcome::pass() : NamespaceOutcome::fail(failure);
}

TEST(NetnsPathMonitor, FollowsLinksAddressesAndRoutesAndTheCoordinatorFollowsIt) {
    VELORINTH_RUN_IN_PRIVATE_NAMESPACES("NetnsPathMonitor.*", {"ip"}, followPathChanges);
}

} // namespace
} // namespace velorinth
