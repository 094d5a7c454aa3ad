// A name server that never answers, in private namespaces: the lookup limit
// ends the wait long before the system resolver gives up.

#include "transport/client/RemoteConnectionService.hpp"
#include "platform/SystemHostnameResolver.hpp"

#include "support/LoopRunner.hpp"
#include "support/NamespaceDaemons.hpp"
#include "support/PrivateNamespaces.hpp"
#include "support/TLSTestIdentities.hpp"

#include "platform/InMemorySecureStore.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <gtest/gtest.h>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::NamespaceDaemons;
using testing::NamespaceOutcome;
using Failure = RemoteConnectionFailure;

NamespaceOutcome lookUpWithASilentNameServer() {
    if (auto failed = NamespaceDaemons::useResolverConfiguration("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")) {
        return *failed;
    }
    testing::LoopRunner loop;
    // Takes the queries and never answers them.
    asio::ip::udp::socket silent(loop.io, {asio::ip::make_address("127.0.0.1"), 53});
    asio::thread_pool kdf{1}, store{1};
    auto trust = std::make_shared<TrustedDeviceStore>(std::make_shared<InMemorySecureStore>());
    auto service = std::make_shared<RemoteConnectionService>(
        loop.io.get_executor(), kdf, store,
        std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(), [] { return "iPad"; }), trust,
        std::make_shared<SystemHostnameResolver>(), true);

    TrustedDevice mac = testing::trustedRecord(testing::makeTestIdentity("Mac").publicIdentity);
    const RemoteEndpoint slow{Uuid::random(), "slow.test", 51891, RemoteHostKind::dnsHostname,
                              RemoteTransportKind::privateNetwork, std::nullopt, Date(1), std::nullopt, std::nullopt};
    std::uint16_t closed = 0;
    {
        asio::ip::tcp::acceptor probe(loop.io, {asio::ip::make_address("127.0.0.1"), 0});
        closed = probe.local_endpoint().port();
    }
    mac.remoteEndpoints = {slow, RemoteEndpoint{Uuid::random(), "127.0.0.1", closed, RemoteHostKind::ipv4Literal,
                                                RemoteTransportKind::privateNetwork, std::nullopt, Date(2),
                                                std::nullopt, std::nullopt}};
    trust->trust(mac);

    // The system resolver would fail with its own text, and only after 1 s.
    const std::exception_ptr lookup = loop.run(testing::outcome(service->resolveAddresses(slow, 300ms)));
    try {
        std::rethrow_exception(lookup);
    } catch (const Failure& failure) {
        if (failure != Failure::dnsResolutionFailed("slow.test", "DNS resolution timed out.")) {
            return NamespaceOutcome::fail(std::string("unexpected lookup failure: ") + failure.what() + " / " +
                                          failure.detail());
        }
    } catch (...) {
        return NamespaceOutcome::fail("the lookup did not fail as it should");
    }
    // The walk goes on to the next route, whose refusal is the one reported.
    const std::exception_ptr walk = loop.run(testing::outcome(
        service->connect(mac.id, std::nullopt, false, 300ms, {Capability::h264}, 5s, {})));
    try {
        std::rethrow_exception(walk);
    } catch (const Failure& failure) {
        if (failure.kind() != Failure::Case::connectionRefused) {
            return NamespaceOutcome::fail(std::string("the walk ended with ") + failure.what());
        }
    } catch (...) {
        return NamespaceOutcome::fail("the walk did not fail as it should");
    }
    return NamespaceOutcome::pass();
}

TEST(NetnsHostnameResolver, ALookupPastItsLimitFailsAsTimedOutAndTheWalkGoesOn) {
    VELORINTH_RUN_IN_PRIVATE_NAMESPACES("NetnsHostnameResolver.*", {}, lookUpWithASilentNameServer);
}

} // namespace
} // namespace velorinth
