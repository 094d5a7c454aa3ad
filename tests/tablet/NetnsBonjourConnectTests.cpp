// The tablet finds its Mac by browsing and connects through the Bonjour
// route: the real host publishing through a real Avahi daemon, in private
// namespaces (lo and a veth pair va/vb).

#include "tablet/TabletWakeEnvironment.hpp"
#include "transport/client/RemoteConnectionService.hpp"
#include "platform/SystemHostnameResolver.hpp"

#include "support/HostRig.hpp"
#include "support/NamespaceDaemons.hpp"
#include "support/PrivateNamespaces.hpp"
#include "support/TabletRig.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::NamespaceDaemons;
using testing::NamespaceOutcome;

NamespaceOutcome browseAndConnect() {
    if (auto failed = NamespaceDaemons::run({"ip link add va type veth peer name vb",
                                             "ip addr add 192.168.78.1/24 dev va", "ip addr add 192.168.78.2/24 dev vb",
                                             "ip link set va up", "ip link set vb up"})) {
        return *failed;
    }
    if (auto failed = NamespaceDaemons::startSystemBus()) return *failed;
    if (auto failed = NamespaceDaemons::startAvahi()) return *failed;

    // Every address of the namespace, so the published addresses answer.
    HostSessionServer::Options options = testing::HostRig::fastOptions();
    options.listenerFactory = SessionListener::create;
    testing::HostRig h(options, 10s, false);
    testing::TabletRig tablet;
    h.call([&] { h.server->startListening(0, true); });
    h.port = h.run(h.server->waitForListeningPort(5s));
    h.trust->trust(testing::trustedRecord(tablet.publicIdentity()));
    const TrustedDevice mac = testing::trustedRecord(h.hostIdentity->publicIdentity(h.hostIdentity->loadOrCreateRecord()));
    tablet.trust->trust(mac);

    asio::thread_pool kdf{1}, store{1};
    const std::shared_ptr<BonjourBrowsing> resolution = BonjourBrowsing::create(h.io.get_executor());
    auto environment = std::make_shared<TabletWakeEnvironment>(
        ReconnectDialer{h.io.get_executor(), kdf, store, tablet.identity, tablet.trust, resolution, {}},
        TabletWakeEnvironmentOptions{20s, 10s, 5s, false, &BonjourBrowsing::create});
    const std::optional<ServiceEndpoint> found = h.run(environment->resolveDiscoveredEndpoint(mac), 30s);
    if (!found || !std::holds_alternative<ServiceEndpoint::BonjourService>(found->value)) {
        return NamespaceOutcome::fail("browsing did not find the Mac's own service");
    }
    RemoteConnectionServiceOptions serviceOptions;
    serviceOptions.bonjourBrowsing = resolution;
    auto service = std::make_shared<RemoteConnectionService>(h.io.get_executor(), kdf, store, tablet.identity,
                                                             tablet.trust, std::make_shared<SystemHostnameResolver>(),
                                                             false, serviceOptions);
    try {
        const RemoteConnectionOutcome outcome =
            h.run(service->connect(mac.id, found, false, 10s, {Capability::h264}, 5s, {}), 30s);
        if (outcome.routeUsed != ConnectionRouteKind::bonjourLocal) return NamespaceOutcome::fail("another route");
        h.run(outcome.session->disconnect("Done."));
    } catch (const std::exception& error) {
        return NamespaceOutcome::fail(std::string("the Bonjour route failed: ") + error.what());
    }
    return NamespaceOutcome::pass();
}

TEST(NetnsBonjourConnect, TheTabletFindsItsMacByBrowsingAndConnectsThroughBonjour) {
    VELORINTH_RUN_IN_PRIVATE_NAMESPACES("NetnsBonjourConnect.*", {"dbus-daemon", "avahi-daemon", "ip"},
                                        browseAndConnect);
}

} // namespace
} // namespace velorinth
