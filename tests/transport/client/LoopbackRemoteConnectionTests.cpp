// The remote connection service against the real host on 127.0.0.1: the
// walk over routes, the paired-Mac and identity checks, joined and cancelled
// attempts, route records and endpoint tests.

#include "transport/client/RemoteConnectionService.hpp"
#include "platform/SystemHostnameResolver.hpp"

#include "support/FakeBonjourBrowsing.hpp"
#include "support/HostRig.hpp"
#include "support/TabletRig.hpp"

#include "core/Json.hpp"
#include "platform/InMemorySecureStore.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Failure = RemoteConnectionFailure;
using Outcome = RemoteConnectionOutcome;

// A TCP server on 127.0.0.1 that accepts and never speaks.
struct SilentServer {
    explicit SilentServer(asio::io_context& io) : acceptor(io, {asio::ip::make_address("127.0.0.1"), 0}) {
        asio::co_spawn(io, acceptLoop(), asio::detached);
    }
    asio::awaitable<void> acceptLoop() {
        for (;;) {
            asio::error_code error;
            auto socket = co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, error));
            if (error) co_return;
            accepted.push_back(std::move(socket));
        }
    }
    std::uint16_t port() const { return acceptor.local_endpoint().port(); }
    ~SilentServer() {
        asio::error_code ignored;
        acceptor.close(ignored);
    }
    asio::ip::tcp::acceptor acceptor;
    std::vector<asio::ip::tcp::socket> accepted;
};

// A port nothing listens on: bound, then let go.
std::uint16_t closedPort(asio::io_context& io) {
    asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
    return probe.local_endpoint().port();
}

struct RemoteRig : HostRig {
    asio::thread_pool kdf{1};
    asio::thread_pool tabletStore{1};
    TabletRig tablet;
    std::shared_ptr<FakeBonjourBrowsing::Made> made = std::make_shared<FakeBonjourBrowsing::Made>();
    std::shared_ptr<FakeBonjourBrowsing> bonjour = std::make_shared<FakeBonjourBrowsing>(io.get_executor(), made);
    TrustedDevice mac;
    std::shared_ptr<RemoteConnectionService> service;
    int nextAdded = 1;

    RemoteRig() {
        HostRig::trust->trust(trustedRecord(tablet.publicIdentity()));
        mac = trustedRecord(macIdentity());
        RemoteConnectionServiceOptions options;
        options.bonjourBrowsing = bonjour;
        service = std::make_shared<RemoteConnectionService>(io.get_executor(), kdf, tabletStore, tablet.identity,
                                                            tablet.trust, std::make_shared<SystemHostnameResolver>(),
                                                            true, options);
    }
    ~RemoteRig() {
        kdf.join();
        tabletStore.join();
    }

    DevicePublicIdentity macIdentity() { return hostIdentity->publicIdentity(hostIdentity->loadOrCreateRecord()); }
    // A saved endpoint on 127.0.0.1, each added after the one before.
    RemoteEndpoint endpoint(std::uint16_t at) {
        return RemoteEndpoint{Uuid::random(), "127.0.0.1", at, RemoteHostKind::ipv4Literal,
                              RemoteTransportKind::privateNetwork, std::nullopt, Date(nextAdded++), std::nullopt,
                              std::nullopt};
    }
    void saveMac(std::vector<RemoteEndpoint> endpoints) {
        mac.remoteEndpoints = std::move(endpoints);
        tablet.trust->trust(mac);
    }
    asio::awaitable<Outcome> connect(std::optional<ServiceEndpoint> bonjourEndpoint = std::nullopt,
                                     std::chrono::milliseconds step = 2000ms) {
        return service->connect(mac.id, std::move(bonjourEndpoint), false, step,
                                {Capability::h264, Capability::pointer, Capability::keyboard}, 5s, tablet.handlers());
    }
    std::exception_ptr failedConnect(std::optional<ServiceEndpoint> bonjourEndpoint = std::nullopt,
                                     std::chrono::milliseconds step = 2000ms) {
        return run(outcome(connect(std::move(bonjourEndpoint), step)));
    }
};

TEST(LoopbackRemoteConnection, TheWalkGoesPastRefusedAndSilentRoutesAndRecordsTheOneThatWorked) {
    RemoteRig h;
    SilentServer silent(h.io);
    const RemoteEndpoint refused = h.endpoint(closedPort(h.io));
    const RemoteEndpoint quiet = h.endpoint(silent.port());
    const RemoteEndpoint host = h.endpoint(h.port);
    h.saveMac({refused, quiet, host});
    const Outcome outcome = h.run(h.connect(std::nullopt, 1000ms));
    EXPECT_EQ(outcome.routeUsed, ConnectionRouteKind::privateNetwork);
    EXPECT_EQ(outcome.verifiedEndpointID, host.id);
    EXPECT_EQ(silent.accepted.size(), 1u);
    ASSERT_EQ(h.sessions().size(), 1u);
    h.run(outcome.session->disconnect("done"));
    h.until([&] { return h.tablet.trust->device(h.mac.id)->lastSuccessfulEndpointID.has_value(); });
    const TrustedDevice record = *h.tablet.trust->device(h.mac.id);
    EXPECT_EQ(record.lastSuccessfulEndpointID, host.id);
    EXPECT_TRUE(record.remoteEndpoints[2].lastConnectedAt.has_value());
    EXPECT_EQ(record.lastReachability->lastKnownReachableEndpointID, host.id);

    // The last failure is reported: a silent server times out (it is not cancelled).
    h.saveMac({refused, quiet});
    EXPECT_EQ(expectFailure<Failure>(h.failedConnect(std::nullopt, 300ms)), Failure::connectionTimedOut());
    h.saveMac({h.endpoint(silent.port()), h.endpoint(closedPort(h.io))});
    EXPECT_EQ(expectFailure<Failure>(h.failedConnect(std::nullopt, 300ms)).kind(), Failure::Case::connectionRefused);
}

TEST(LoopbackRemoteConnection, BonjourCandidatesAreResolvedFirst) {
    RemoteRig h;
    const auto service = [](const char* name) {
        return ServiceEndpoint{ServiceEndpoint::BonjourService{name, "_velorinth._tcp", "local.", "lo"}};
    };
    h.bonjour->answers["Mac"] = {{"127.0.0.1", h.port}};
    h.bonjour->failures["Gone"] = "No such service.";
    h.saveMac({});
    const Outcome found = h.run(h.connect(service("Mac")));
    EXPECT_EQ(found.routeUsed, ConnectionRouteKind::bonjourLocal);
    EXPECT_EQ(found.verifiedEndpointID, std::nullopt);
    h.run(found.session->disconnect("done"));
    h.until([&] { return h.tablet.trust->device(h.mac.id)->lastReachability.has_value(); });
    EXPECT_EQ(h.tablet.trust->device(h.mac.id)->lastReachability->lastRouteUsed, ConnectionRouteKind::bonjourLocal);

    EXPECT_EQ(expectFailure<Failure>(h.failedConnect(service("Gone"))),
              Failure::dnsResolutionFailed("host", "No such service."));
    h.saveMac({h.endpoint(h.port)}); // the walk goes on past it
    const Outcome next = h.run(h.connect(service("Gone")));
    EXPECT_EQ(next.routeUsed, ConnectionRouteKind::privateNetwork);
    h.run(next.session->disconnect("done"));
}

TEST(LoopbackRemoteConnection, RoutesAreNotTriedForAMacThatMayNotBeReached) {
    RemoteRig h;
    SilentServer silent(h.io);
    struct Row {
        const char* name;
        std::function<void(RemoteRig&)> change;
        Failure expected;
    };
    const Row rows[] = {
        {"not paired", [](RemoteRig& rig) { rig.tablet.trust->remove(rig.mac.id); },
         Failure::hostAuthorizationDenied("This Mac is no longer paired on this iPad.")},
        {"revoked", [](RemoteRig& rig) { rig.tablet.trust->revoke(rig.mac.id); }, Failure::trustedDeviceRevoked()},
        {"no connect permission",
         [](RemoteRig& rig) { rig.tablet.trust->updatePermissions(rig.mac.id, DevicePermissions::screenView); },
         Failure::hostAuthorizationDenied("Connection permission is disabled for this paired Mac.")},
    };
    for (const Row& row : rows) {
        h.mac.authorization = DeviceAuthorization::authorized;
        h.mac.permissions = DevicePermissions::all;
        h.saveMac({h.endpoint(silent.port())});
        row.change(h);
        EXPECT_EQ(expectFailure<Failure>(h.failedConnect()), row.expected) << row.name;
    }
    EXPECT_TRUE(silent.accepted.empty());

    // The host refusing for want of permission ends the walk.
    h.HostRig::trust->updatePermissions(h.tablet.publicIdentity().id, DevicePermissions::screenView);
    h.saveMac({h.endpoint(h.port), h.endpoint(silent.port())});
    EXPECT_EQ(expectFailure<Failure>(h.failedConnect()).kind(), Failure::Case::hostAuthorizationDenied);
    EXPECT_TRUE(silent.accepted.empty());
}

TEST(LoopbackRemoteConnection, AHostWithThePairedKeyButAnotherIdentityIsRefusedAndItsSessionEnded) {
    RemoteRig h;
    // Mac Y runs with Mac X's key; the tablet trusts both.
    DeviceIdentity cloned = h.hostIdentity->loadOrCreateRecord();
    cloned.id = Uuid::random();
    auto store = std::make_shared<InMemorySecureStore>();
    store->save(json::encodeToBytes(cloned), DeviceIdentityService::service(), DeviceIdentityService::kAccount);
    auto clone = std::make_shared<DeviceIdentityService>(store, [] { return std::string("Mac Y"); });
    h.tablet.trust->trust(trustedRecord(clone->publicIdentity(clone->loadOrCreateRecord())));
    h.restartAs(clone);
    const RemoteEndpoint endpoint = h.endpoint(h.port);
    h.saveMac({endpoint});

    EXPECT_EQ(expectFailure<Failure>(h.failedConnect()), Failure::identityMismatch());
    EXPECT_EQ(h.tablet.terminations, (std::vector<SessionTerminationReason>{SessionTerminationReason::localDisconnect()}));
    EXPECT_EQ(expectFailure<Failure>(h.run(outcome(h.service->testEndpoint(h.mac.id, endpoint, 2s)))),
              Failure::identityMismatch());
}

TEST(LoopbackRemoteConnection, CallersJoinOneAttemptWhichCancellationEndsForAll) {
    RemoteRig h;
    h.saveMac({h.endpoint(h.port)});
    auto first = h.spawn(h.connect());
    auto second = h.spawn(h.connect());
    const Outcome a = h.wait(first);
    const Outcome b = h.wait(second);
    EXPECT_EQ(a.session, b.session);
    EXPECT_EQ(h.sessions().size(), 1u);
    h.run(a.session->disconnect("done"));

    SilentServer silent(h.io);
    h.saveMac({h.endpoint(silent.port())});
    auto joined = h.spawn(outcome(h.connect()));
    auto joiner = h.spawn(outcome(h.connect()));
    h.until([&] { return silent.accepted.size() == 1; });
    // A new attempt starts in the same loop turn as the cancellation, before
    // the cancelled one's callers have resumed; they must leave it in place,
    // so a third caller joins it.
    std::future<std::exception_ptr> newer;
    h.call([&] {
        h.service->cancelConnect(h.mac.id);
        newer = h.spawn(outcome(h.connect())); // on the loop: runs up to its first wait at once
    });
    EXPECT_EQ(expectFailure<Failure>(h.wait(joined)), Failure::cancelled());
    EXPECT_EQ(expectFailure<Failure>(h.wait(joiner)), Failure::cancelled());
    h.until([&] { return silent.accepted.size() == 2; });
    auto third = h.spawn(outcome(h.connect()));
    h.settle(100ms);
    EXPECT_EQ(silent.accepted.size(), 2u);
    h.call([&] { h.service->cancelAllConnects(); });
    EXPECT_EQ(expectFailure<Failure>(h.wait(newer)), Failure::cancelled());
    EXPECT_EQ(expectFailure<Failure>(h.wait(third)), Failure::cancelled());
}

TEST(LoopbackRemoteConnection, ACallerThatGivesUpLeavesTheAttemptToThoseStillWaiting) {
    RemoteRig h;
    h.saveMac({h.endpoint(h.port)});
    // The caller that started the attempt is cancelled; the one that joined it still gets the session.
    asio::cancellation_signal creatorGivesUp;
    auto creator = h.spawn(outcome(h.connect()), creatorGivesUp.slot());
    auto joiner = h.spawn(h.connect());
    h.call([&] { creatorGivesUp.emit(asio::cancellation_type::terminal); });
    EXPECT_EQ(expectFailure<Failure>(h.wait(creator)), Failure::cancelled());
    const Outcome joined = h.wait(joiner);
    EXPECT_EQ(joined.verifiedEndpointID, h.mac.remoteEndpoints[0].id);
    EXPECT_EQ(h.sessions().size(), 1u);
    h.run(joined.session->disconnect("done"));

    // Once the last caller has left, the attempt ends: the next connect starts another.
    SilentServer silent(h.io);
    h.saveMac({h.endpoint(silent.port())});
    asio::cancellation_signal loneGivesUp;
    auto lone = h.spawn(outcome(h.connect()), loneGivesUp.slot());
    h.until([&] { return silent.accepted.size() == 1; });
    h.call([&] { loneGivesUp.emit(asio::cancellation_type::terminal); });
    EXPECT_EQ(expectFailure<Failure>(h.wait(lone)), Failure::cancelled());
    auto next = h.spawn(outcome(h.connect()));
    h.until([&] { return silent.accepted.size() == 2; });
    h.call([&] { h.service->cancelConnect(h.mac.id); });
    EXPECT_EQ(expectFailure<Failure>(h.wait(next)), Failure::cancelled());
}

TEST(LoopbackRemoteConnection, AnEndpointTestRecordsAVerificationNotAConnection) {
    RemoteRig h;
    const RemoteEndpoint endpoint = h.endpoint(h.port);
    h.saveMac({endpoint});
    const RemoteConnectionTestResult result = h.run(h.service->testEndpoint(h.mac.id, endpoint, 2s));
    EXPECT_EQ(result.resolvedAddresses, (std::vector<ResolvedIPAddress>{{"127.0.0.1", false}}));
    EXPECT_EQ(result.verifiedMacIdentity, h.macIdentity());
    EXPECT_EQ(result.negotiatedProtocolVersion, 1);
    EXPECT_EQ(result.endpoint.lastVerifiedAt, result.verifiedAt);
    EXPECT_FALSE(result.endpoint.lastConnectedAt.has_value());
    const TrustedDevice record = *h.tablet.trust->device(h.mac.id);
    EXPECT_EQ(record.remoteEndpoints[0], result.endpoint);
    EXPECT_FALSE(record.lastSuccessfulEndpointID.has_value());
    h.until([&] { return h.sessions().empty(); }); // ended by the test itself

    RemoteEndpoint unsaved = h.endpoint(h.port);
    unsaved.host = "http://x";
    EXPECT_EQ(expectFailure<Failure>(h.run(outcome(h.service->testEndpoint(h.mac.id, unsaved, 2s)))).kind(),
              Failure::Case::invalidEndpointConfiguration);
}

} // namespace
