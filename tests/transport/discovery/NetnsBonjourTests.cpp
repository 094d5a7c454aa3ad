// The tablet's browser and resolution against a real Avahi daemon and the real
// listener, in private namespaces: lo and a veth pair va/vb.

#include "platform/linux/AvahiBonjourBrowsing.hpp"
#include "transport/discovery/BonjourHostBrowser.hpp"
#include "transport/discovery/BonjourHostListener.hpp"

#include "support/LoopRunner.hpp"
#include "support/NamespaceDaemons.hpp"
#include "support/PrivateNamespaces.hpp"
#include "support/TLSTestIdentities.hpp"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include <cstdlib>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::NamespaceDaemons;
using testing::NamespaceOutcome;

// Whether a plain TCP connection to `address` is accepted (the kernel completes it; nobody need accept).
bool reachable(const HostPort& address) {
    try {
        asio::io_context io;
        asio::ip::tcp::socket socket(io);
        socket.connect(asio::ip::tcp::endpoint(asio::ip::make_address(address.host), address.port));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Fails the namespace's side with `why` unless `condition` comes to hold on the loop.
bool waitFor(testing::LoopRunner& loop, const std::function<bool()>& condition, std::chrono::seconds limit = 20s) {
    try {
        loop.until(condition, limit);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

NamespaceOutcome browseAndResolve() {
    // Link-local IPv6 addresses usable at once, without duplicate detection.
    if (auto failed = NamespaceDaemons::run({"sysctl -qw net.ipv6.conf.default.accept_dad=0",
                                             "ip link add va type veth peer name vb", "ip addr add 192.168.77.1/24 dev va",
                                             "ip addr add 192.168.77.2/24 dev vb", "ip link set va up", "ip link set vb up"})) {
        return *failed;
    }
    if (auto failed = NamespaceDaemons::startSystemBus()) return *failed;

    testing::LoopRunner loop;
    std::vector<DiscoveryStatus> statuses;
    std::vector<DiscoveredService> services;
    BonjourHostBrowser browser(
        loop.io.get_executor(), false, [&](const std::vector<DiscoveredService>& list) { services = list; },
        [&](const DiscoveryStatus& status) { statuses.push_back(status); });
    browser.start();
    const DiscoveryStatus unavailable = DiscoveryStatus::failed(AvahiBonjourBrowsing::kAvahiUnavailableText);
    if (!waitFor(loop, [&] { return statuses.size() >= 2; }) || statuses[0] != DiscoveryStatus::searching() ||
        statuses[1] != unavailable) {
        return NamespaceOutcome::fail("without a daemon the browser did not report it unavailable");
    }
    if (auto failed = NamespaceDaemons::startAvahi()) return *failed;
    if (!waitFor(loop, [&] { return statuses.back() == DiscoveryStatus::ready(); })) {
        return NamespaceOutcome::fail("the browser did not become ready once the daemon ran");
    }

    const TLSDeviceIdentity identity = testing::makeTestIdentity("Netns Host");
    auto listener = std::make_unique<BonjourHostListener>(
        loop.io.get_executor(), identity, 0, true, [](std::shared_ptr<NetworkFramedConnection>, HandshakeSlot) {},
        [](ListenerStatus) {});
    listener->start();
    const std::uint16_t port = listener->port().value_or(0);
    // A tablet's service of the same type, its first "role" of two counting: never listed.
    std::system("avahi-publish -s Netns-Tablet _velorinth._tcp 4000 role=tablet ROLE=host >/dev/null 2>&1 &");
    if (!waitFor(loop, [&] { return !services.empty(); })) return NamespaceOutcome::fail("the host was never listed");
    if (std::system("timeout 10 avahi-browse -rpt _velorinth._tcp 2>/dev/null | grep -q Netns-Tablet") != 0) {
        return NamespaceOutcome::fail("the tablet's service never appeared to Avahi itself");
    }
    loop.settle(300ms);
    if (services.size() != 1) return NamespaceOutcome::fail("expected one service, got " + std::to_string(services.size()));
    const DiscoveredService& host = services[0];
    if (host.name != "Netns Host" || host.id != identity.publicIdentity.discoveryInstanceID.lowercaseString() ||
        host.protocolVersion != 1) {
        return NamespaceOutcome::fail("the listed host was not the listener's: " + host.name + " " + host.id);
    }

    // Its own endpoint, and the same service on va.
    auto bonjour = BonjourBrowsing::create(loop.io.get_executor());
    auto service = std::get<ServiceEndpoint::BonjourService>(host.endpoint.value);
    auto onVa = service;
    onVa.interfaceName = "va";
    for (const auto& endpoint : {service, onVa}) {
        std::vector<HostPort> addresses;
        try {
            addresses = loop.run(bonjour->resolve(endpoint));
        } catch (const std::exception& error) {
            return NamespaceOutcome::fail(std::string("resolution failed: ") + error.what());
        }
        // IPv4 first; Avahi may answer only one family on an interface.
        const auto firstIPv6 = std::find_if(addresses.begin(), addresses.end(),
                                            [](const HostPort& a) { return a.host.find(':') != std::string::npos; });
        if (addresses.empty() || std::any_of(firstIPv6, addresses.end(),
                                             [](const HostPort& a) { return a.host.find(':') == std::string::npos; })) {
            return NamespaceOutcome::fail("no address, or IPv6 before IPv4, for the service on " + endpoint.interfaceName);
        }
        for (const HostPort& address : addresses) {
            const bool linkLocal = address.host.starts_with("fe80:");
            if (address.port != port || (linkLocal && !address.host.ends_with("%" + endpoint.interfaceName)) ||
                !reachable(address)) {
                return NamespaceOutcome::fail("unusable address " + address.host + " port " + std::to_string(address.port));
            }
        }
        if (endpoint.interfaceName == "va" &&
            std::none_of(addresses.begin(), addresses.end(), [](const HostPort& a) { return a.host.ends_with("%va"); })) {
            return NamespaceOutcome::fail("no link-local address on va");
        }
    }

    listener->stop();
    listener.reset();
    if (!waitFor(loop, [&] { return services.empty(); })) return NamespaceOutcome::fail("the stopped host stayed listed");
    return NamespaceOutcome::pass();
}

TEST(NetnsBonjour, TheTabletListsAndResolvesAHostPublishingInTheNamespace) {
    VELORINTH_RUN_IN_PRIVATE_NAMESPACES(
        "NetnsBonjour.*", {"dbus-daemon", "avahi-daemon", "avahi-publish", "avahi-browse", "ip", "sysctl", "timeout"},
        browseAndResolve);
}

} // namespace
} // namespace velorinth
