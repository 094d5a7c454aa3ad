// The host listener over loopback with real TLS peers.

#include "transport/discovery/BonjourHostListener.hpp"

#include "transport/security/LoopbackConnectionTest.hpp"

#include <asio/redirect_error.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <vector>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::RawContextOptions;
using tcp = asio::ip::tcp;

class LoopbackListener : public ::testing::Test {
protected:
    testing::LoopRunner harness;
    TLSDeviceIdentity hostIdentity = testing::makeTestIdentity("Host");
    TLSDeviceIdentity tabletIdentity = testing::makeTestIdentity("Tablet");

    std::vector<ListenerStatus> statuses;
    std::vector<std::shared_ptr<NetworkFramedConnection>> connections;
    std::vector<HandshakeSlot> slots;
    std::vector<std::string> publicationErrors;
    int publications = 0;

    std::unique_ptr<BonjourHostListener> makeListener(std::uint16_t port = 0, BonjourHostListenerOptions options = {},
                                                      bool publishesService = false,
                                                      std::vector<ListenerStatus>* into = nullptr) {
        std::vector<ListenerStatus>* sink = into != nullptr ? into : &statuses;
        return std::make_unique<BonjourHostListener>(
            harness.io.get_executor(), hostIdentity, port, publishesService,
            [this](std::shared_ptr<NetworkFramedConnection> connection, HandshakeSlot slot) {
                connections.push_back(std::move(connection));
                slots.push_back(std::move(slot));
            },
            [sink](ListenerStatus status) { sink->push_back(std::move(status)); },
            [this](const ListenerPublicationError& error) { publicationErrors.emplace_back(error.what()); },
            [this] { ++publications; }, std::move(options), testing::loopbackListener);
    }

    // Starts and waits for "advertising".
    std::uint16_t startAndWaitForPort(BonjourHostListener& listener) {
        listener.start();
        harness.until([&] { return listener.port().has_value() && statuses.size() >= 2; });
        return *listener.port();
    }

    // A client built from our own TLS policy, as a tablet connects.
    asio::awaitable<std::shared_ptr<NetworkFramedConnection>> tablet(std::string host, std::uint16_t port) {
        auto connection = NetworkFramedConnection::connect(harness.io.get_executor(), {std::move(host), port},
                                                           tabletIdentity, std::nullopt, 65'536, "velorinth/1");
        co_await connection->start();
        co_return connection;
    }

};

TEST_F(LoopbackListener, AnyPortStartReportsTheRealPortAndBindsOnlyItsAddress) {
    auto listener = makeListener();
    EXPECT_TRUE(statuses.empty()); // nothing before start
    const std::uint16_t port = startAndWaitForPort(*listener);
    ASSERT_NE(port, 0);
    EXPECT_EQ(statuses, (std::vector{ListenerStatus::starting(), ListenerStatus::advertising(port)}));

    auto client = harness.run(tablet("127.0.0.1", port));
    harness.until([&] { return connections.size() == 1; });
    // The connection arrives handshaken: start only captures the channel context.
    auto server = connections.front();
    harness.run(server->start());
    ASSERT_TRUE(server->capturedTLSContext().has_value());
    EXPECT_EQ(server->capturedTLSContext()->peerFingerprint, tabletIdentity.publicIdentity.fingerprint);
    harness.run(server->sendRawFrame(Bytes{1, 2, 3}));
    EXPECT_EQ(harness.run(client->receiveFrame()), (Bytes{1, 2, 3}));

    // Bound to 127.0.0.1 only: the IPv6 loopback finds nobody listening.
    if (::access("/proc/net/if_inet6", F_OK) == 0) {
        EXPECT_TRUE(harness.run(testing::outcome(tablet("::1", port))));
    }
    EXPECT_TRUE(publicationErrors.empty());
}

TEST_F(LoopbackListener, PeersFailingTheTLSPolicyAreClosedAndNeverHandedOver) {
    auto listener = makeListener();
    const std::uint16_t port = startAndWaitForPort(*listener);
    const TLSDeviceIdentity misbound = testing::makeMisboundIdentity();
    const std::pair<const char*, RawContextOptions> cases[] = {
        {"TLS 1.2", {&tabletIdentity, TLS1_2_VERSION, "velorinth/1"}},
        {"no certificate", {nullptr, TLS1_3_VERSION, "velorinth/1"}},
        {"certificate not bound to its key", {&misbound, TLS1_3_VERSION, "velorinth/1"}},
        {"another protocol", {&tabletIdentity, TLS1_3_VERSION, "other/1"}},
        {"no protocol", {&tabletIdentity, TLS1_3_VERSION, nullptr}},
    };
    for (const auto& [name, options] : cases) {
        // Turned away: the handshake fails, or the connection is closed right after it.
        const auto peer = harness.run(testing::rawClient({asio::ip::make_address("127.0.0.1"), port}, options));
        EXPECT_TRUE(peer.handshake || peer.firstRead) << name;
    }
    harness.settle();
    EXPECT_TRUE(connections.empty());
    EXPECT_EQ(statuses.size(), 2u); // no failure for any of them
    EXPECT_EQ(statuses.back(), ListenerStatus::advertising(port));
}

TEST_F(LoopbackListener, StallingPeerIsClosedAtTheHandshakeTimeoutAndFreesItsSlot) {
    BonjourHostListenerOptions options;
    options.handshakeTimeout = 30ms;
    auto budget = options.handshakeBudget;
    auto listener = makeListener(0, options);
    const std::uint16_t port = startAndWaitForPort(*listener);
    const std::error_code closedByServer = harness.run([&]() -> asio::awaitable<std::error_code> {
        tcp::socket staller(harness.io);
        co_await staller.async_connect({asio::ip::make_address("127.0.0.1"), port}, asio::use_awaitable);
        std::array<char, 1> byte{};
        std::error_code error;
        co_await staller.async_read_some(asio::buffer(byte), asio::redirect_error(asio::use_awaitable, error));
        co_return error;
    }());
    EXPECT_TRUE(closedByServer);
    EXPECT_EQ(budget->inUse(), 0u);
    EXPECT_TRUE(connections.empty());
}

TEST_F(LoopbackListener, ConnectionsBeyondTheHandshakeCapAreClosedBeforeTLS) {
    BonjourHostListenerOptions options;
    options.handshakeBudget = std::make_shared<HandshakeBudget>(1);
    auto budget = options.handshakeBudget;
    auto listener = makeListener(0, options);
    const std::uint16_t port = startAndWaitForPort(*listener);

    // A silent peer takes the only place; a well-behaved tablet finds the door shut.
    tcp::socket staller(harness.io);
    staller.connect({asio::ip::make_address("127.0.0.1"), port});
    harness.until([&] { return budget->inUse() == 1; });
    EXPECT_TRUE(harness.run(testing::outcome(tablet("127.0.0.1", port))));
    EXPECT_TRUE(connections.empty());

    staller.close();
    harness.until([&] { return budget->inUse() == 0; });
    harness.run(tablet("127.0.0.1", port));
    harness.until([&] { return connections.size() == 1; });
    // A handed-over connection keeps its slot until its owner lets go.
    EXPECT_EQ(budget->inUse(), 1u);
    slots.clear();
    EXPECT_EQ(budget->inUse(), 0u);
    EXPECT_EQ(statuses.size(), 2u);
}

TEST_F(LoopbackListener, EachStopReportsStoppedExactlyOnceEvenAfterAFailure) {
    auto listener = makeListener();
    const std::uint16_t port = startAndWaitForPort(*listener);

    // The port is taken: the system's text, no port.
    std::vector<ListenerStatus> secondStatuses;
    auto second = makeListener(port, {}, false, &secondStatuses);
    second->start();
    harness.until([&] { return secondStatuses.size() == 2; });
    EXPECT_EQ(secondStatuses,
              (std::vector{ListenerStatus::starting(), ListenerStatus::failed("Address already in use")}));
    EXPECT_EQ(second->port(), std::nullopt);
    second->stop();
    harness.until([&] { return secondStatuses.size() == 3; });
    EXPECT_EQ(secondStatuses.back(), ListenerStatus::stopped());

    listener->stop();
    listener->stop();
    listener.reset(); // the one stop still arrives after destruction
    harness.settle();
    EXPECT_EQ(statuses, (std::vector{ListenerStatus::starting(), ListenerStatus::advertising(port),
                                     ListenerStatus::stopped()}));
    EXPECT_TRUE(harness.run(testing::outcome(tablet("127.0.0.1", port)))) << "the port is closed";

    // A listener dropped without a stop goes silently.
    std::vector<ListenerStatus> silent;
    auto dropped = makeListener(0, {}, false, &silent);
    dropped->start();
    dropped.reset();
    harness.settle();
    EXPECT_EQ(silent, std::vector{ListenerStatus::starting()});
}

// Without a reachable Avahi daemon, publication reports itself unavailable
// once while the listener advertises and accepts as usual.
TEST_F(LoopbackListener, MissingAvahiIsReportedOnceAndConnectionsStillArrive) {
    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velorinth-test/system_bus_socket", 1);

    auto listener = makeListener(0, {}, true);
    const std::uint16_t port = startAndWaitForPort(*listener);
    harness.until([&] { return !publicationErrors.empty(); });
    EXPECT_EQ(publicationErrors, std::vector<std::string>{"Local network discovery is unavailable because the Avahi "
                                                          "daemon is not running. Tablets can still connect by "
                                                          "address."});
    harness.run(tablet("127.0.0.1", port));
    harness.until([&] { return connections.size() == 1; });
    harness.settle();
    EXPECT_EQ(publicationErrors.size(), 1u);
    EXPECT_EQ(publications, 0);
    EXPECT_EQ(statuses, (std::vector{ListenerStatus::starting(), ListenerStatus::advertising(port)}));

    listener.reset();
    saved ? ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved->c_str(), 1) : ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

} // namespace
} // namespace velorinth
