#include "transport/security/LoopbackHarness.hpp"

#include "support/TLSTestIdentities.hpp"

#include <asio/read.hpp>
#include <asio/write.hpp>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Stream = NetworkFramedConnection::Stream;
using TLSCase = TLSSecurityError::Case;
using NetCase = NetworkConnectionError::Case;

struct StartOutcome {
    std::exception_ptr server;
    std::exception_ptr client;
};

// Our server on the next accepted socket and `client`, started together.
asio::awaitable<StartOutcome> startBoth(LoopbackHarness& h, asio::ssl::context& serverTLS,
                                        std::shared_ptr<NetworkFramedConnection>& server,
                                        std::shared_ptr<NetworkFramedConnection> client) {
    auto serverSide = [&]() -> asio::awaitable<void> {
        server = std::make_shared<NetworkFramedConnection>(co_await h.accept(), serverTLS, kTestFrameLimit, true);
        co_await server->start();
    };
    auto [serverResult, clientResult] = co_await (outcome(serverSide()) && outcome(client->start()));
    co_return StartOutcome{serverResult, clientResult};
}

// Our server against a hand-configured client; the client's handshake result
// and then the result of its first read.
struct RawClientOutcome {
    std::exception_ptr server;
    asio::error_code handshake;
    asio::error_code firstRead;
};

asio::awaitable<RawClientOutcome> serveRawClient(LoopbackHarness& h, asio::ssl::context& serverTLS,
                                                 std::shared_ptr<NetworkFramedConnection>& server,
                                                 asio::ssl::context& clientTLS) {
    Stream peer(h.io, clientTLS);
    RawClientOutcome result;
    auto clientSide = [&]() -> asio::awaitable<void> {
        co_await peer.next_layer().async_connect(h.acceptor.local_endpoint(), asio::use_awaitable);
        co_await peer.async_handshake(Stream::client, asio::redirect_error(asio::use_awaitable, result.handshake));
        if (result.handshake) co_return;
        std::array<std::uint8_t, 1> byte{};
        co_await asio::async_read(peer, asio::buffer(byte), asio::redirect_error(asio::use_awaitable, result.firstRead));
    };
    auto serverSide = [&]() -> asio::awaitable<void> {
        server = std::make_shared<NetworkFramedConnection>(co_await h.accept(), serverTLS, kTestFrameLimit, true);
        co_await server->start();
    };
    auto [serverResult, clientResult] = co_await (outcome(serverSide()) && outcome(clientSide()));
    result.server = serverResult;
    if (clientResult) std::rethrow_exception(clientResult);
    co_return result;
}

// Our client against a hand-configured server; the server's handshake result.
asio::awaitable<asio::error_code> connectToRawServer(LoopbackHarness& h, asio::ssl::context& serverTLS,
                                                     std::shared_ptr<NetworkFramedConnection> client,
                                                     std::exception_ptr& clientFailure) {
    asio::error_code handshake;
    auto serverSide = [&]() -> asio::awaitable<void> {
        Stream peer(co_await h.accept(), serverTLS);
        co_await peer.async_handshake(Stream::server, asio::redirect_error(asio::use_awaitable, handshake));
    };
    auto [serverResult, clientResult] = co_await (outcome(serverSide()) && outcome(client->start()));
    if (serverResult) std::rethrow_exception(serverResult);
    clientFailure = clientResult;
    co_return handshake;
}

class LoopbackTLS : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto* connection : {&server, &client}) {
            if (*connection) (*connection)->cancel();
        }
        h.settle();
    }

    std::shared_ptr<NetworkFramedConnection> connectClient(const TLSDeviceIdentity& identity,
                                                           std::optional<DeviceFingerprint> pin = std::nullopt,
                                                           const char* protocol = kProtocol) {
        client = NetworkFramedConnection::connect(h.io.get_executor(), h.endpoint(), identity, std::move(pin),
                                                  kTestFrameLimit, protocol);
        return client;
    }

    LoopbackHarness h;
    TLSDeviceIdentity hostIdentity = makeTestIdentity("Host");
    TLSDeviceIdentity tabletIdentity = makeTestIdentity("Tablet");
    std::shared_ptr<asio::ssl::context> hostTLS =
        TLSTransportSecurity::makeContext(TLSRole::server, hostIdentity, kProtocol);
    std::shared_ptr<NetworkFramedConnection> server;
    std::shared_ptr<NetworkFramedConnection> client;
};

} // namespace

TEST(NetworkConnectionError, TextsAreExact) {
    EXPECT_STREQ(NetworkConnectionError::network("Connection refused").what(),
                 "Network connection failed: Connection refused");
    EXPECT_EQ(NetworkConnectionError::network("x").kind, NetCase::network);
    const std::vector<std::pair<NetCase, std::string>> expected = {
        {NetCase::localNetworkPermissionDenied,
         "Local Network access is disabled for Velorinth. Enable Local Network permission in Settings."},
        {NetCase::cancelled, "The connection was cancelled."},
        {NetCase::closed, "The remote device closed the connection."},
        {NetCase::oversizedFrame, "A message exceeded the maximum allowed frame size and was blocked."},
        {NetCase::malformedFrame, "A malformed network message was received and rejected."},
    };
    for (const auto& [kind, text] : expected) EXPECT_EQ(NetworkConnectionError(kind).what(), text);
}

TEST_F(LoopbackTLS, BothEndsShareTheExporterAndSeeEachOther) {
    connectClient(tabletIdentity, hostIdentity.publicIdentity.fingerprint);
    const StartOutcome started = h.run(startBoth(h, *hostTLS, server, client));
    ASSERT_FALSE(started.server);
    ASSERT_FALSE(started.client);

    const auto hostView = server->capturedTLSContext();
    const auto tabletView = client->capturedTLSContext();
    ASSERT_TRUE(hostView && tabletView);
    EXPECT_EQ(hostView->exporterChannelBinding.size(), 32u);
    EXPECT_EQ(hostView->exporterChannelBinding, tabletView->exporterChannelBinding);
    EXPECT_EQ(hostView->peerSigningPublicKey, tabletIdentity.publicIdentity.signingPublicKey);
    EXPECT_EQ(hostView->peerFingerprint, tabletIdentity.publicIdentity.fingerprint);
    EXPECT_EQ(tabletView->peerSigningPublicKey, hostIdentity.publicIdentity.signingPublicKey);
    EXPECT_EQ(tabletView->peerFingerprint, hostIdentity.publicIdentity.fingerprint);
    EXPECT_FALSE(server->lastObservedNWError());
    EXPECT_FALSE(client->lastObservedNWError());

    // A second session between the same devices binds to a different secret.
    std::shared_ptr<NetworkFramedConnection> secondServer;
    auto secondClient = NetworkFramedConnection::connect(h.io.get_executor(), h.endpoint(), tabletIdentity,
                                                         std::nullopt, kTestFrameLimit, kProtocol);
    const StartOutcome again = h.run(startBoth(h, *hostTLS, secondServer, secondClient));
    ASSERT_FALSE(again.server || again.client);
    EXPECT_NE(secondClient->capturedTLSContext()->exporterChannelBinding, tabletView->exporterChannelBinding);
    secondServer->cancel();
    secondClient->cancel();
}

TEST_F(LoopbackTLS, AStreamHandshakenByTheListenerOnlyCapturesOnStart) {
    connectClient(tabletIdentity);
    const auto clientFailure = h.run([&]() -> asio::awaitable<std::exception_ptr> {
        auto serverSide = [&]() -> asio::awaitable<void> {
            Stream stream(co_await h.accept(), *hostTLS);
            co_await stream.async_handshake(Stream::server, asio::use_awaitable);
            server = std::make_shared<NetworkFramedConnection>(std::move(stream), kTestFrameLimit, true);
            co_await server->start();
        };
        auto [serverResult, clientResult] = co_await (outcome(serverSide()) && outcome(client->start()));
        if (serverResult) std::rethrow_exception(serverResult);
        co_return clientResult;
    }());
    ASSERT_FALSE(clientFailure);
    ASSERT_TRUE(server->capturedTLSContext());
    EXPECT_EQ(server->capturedTLSContext()->exporterChannelBinding,
              client->capturedTLSContext()->exporterChannelBinding);
    EXPECT_EQ(server->capturedTLSContext()->peerFingerprint, tabletIdentity.publicIdentity.fingerprint);
    const Bytes payload{1, 2, 3};
    const Bytes received = h.run([&]() -> asio::awaitable<Bytes> {
        co_await client->sendRawFrame(payload);
        co_return co_await server->receiveFrame();
    }());
    EXPECT_EQ(received, payload);
}

TEST_F(LoopbackTLS, RefusesATLS12OnlyClient) {
    auto legacy = makeRawContext(TLSRole::client, {&tabletIdentity, TLS1_2_VERSION, kProtocol});
    const RawClientOutcome result = h.run(serveRawClient(h, *hostTLS, server, *legacy));
    EXPECT_EQ(expectFailure<NetworkConnectionError>(result.server).kind, NetCase::network);
    ASSERT_TRUE(server->lastObservedNWError());
    EXPECT_EQ(server->lastObservedNWError()->kind, ObservedNetworkError::Kind::tls);
    EXPECT_TRUE(result.handshake);
    EXPECT_FALSE(server->capturedTLSContext());
}

TEST_F(LoopbackTLS, RefusesATLS12OnlyServer) {
    auto legacy = makeRawContext(TLSRole::server, {&hostIdentity, TLS1_2_VERSION, nullptr});
    connectClient(tabletIdentity);
    std::exception_ptr clientFailure;
    const asio::error_code serverHandshake = h.run(connectToRawServer(h, *legacy, client, clientFailure));
    EXPECT_TRUE(serverHandshake);
    EXPECT_EQ(expectFailure<NetworkConnectionError>(clientFailure).kind, NetCase::network);
    ASSERT_TRUE(client->lastObservedNWError());
    EXPECT_EQ(client->lastObservedNWError()->kind, ObservedNetworkError::Kind::tls);
    EXPECT_TRUE(client->didClose());
}

TEST_F(LoopbackTLS, AClientWithoutCertificateIsRefusedAndFailsOnItsFirstRead) {
    auto anonymous = makeRawContext(TLSRole::client, {nullptr, TLS1_3_VERSION, kProtocol});
    const RawClientOutcome result = h.run(serveRawClient(h, *hostTLS, server, *anonymous));
    EXPECT_EQ(expectFailure<NetworkConnectionError>(result.server).kind, NetCase::network);
    // TLS 1.3: the client's handshake is over before the server judges it.
    EXPECT_FALSE(result.handshake) << result.handshake.message();
    EXPECT_TRUE(result.firstRead);
}

TEST_F(LoopbackTLS, AServerCertificateNotSignedByItsOwnKeyIsRefused) {
    const TLSDeviceIdentity misbound = makeMisboundIdentity();
    auto forgedTLS = TLSTransportSecurity::makeContext(TLSRole::server, misbound, kProtocol);
    connectClient(tabletIdentity);
    const StartOutcome started = h.run(startBoth(h, *forgedTLS, server, client));
    EXPECT_EQ(expectFailure<TLSSecurityError>(started.client).kind, TLSCase::invalidCertificateBinding);
    EXPECT_EQ(expectFailure<NetworkConnectionError>(started.server).kind, NetCase::network);
    EXPECT_FALSE(client->capturedTLSContext());
}

TEST_F(LoopbackTLS, AClientCertificateNotSignedByItsOwnKeyFailsTheClientOnItsFirstRead) {
    connectClient(makeMisboundIdentity());
    const StartOutcome started = h.run(startBoth(h, *hostTLS, server, client));
    EXPECT_EQ(expectFailure<NetworkConnectionError>(started.server).kind, NetCase::network);
    // The client's start succeeds: it cannot know yet. Its first read cannot.
    ASSERT_FALSE(started.client);
    const std::exception_ptr firstRead = h.run(outcome(client->receiveFrame()));
    EXPECT_EQ(expectFailure<NetworkConnectionError>(firstRead).kind, NetCase::network);
    EXPECT_TRUE(client->didClose());
    ASSERT_TRUE(client->lastObservedNWError());
    EXPECT_EQ(client->lastObservedNWError()->kind, ObservedNetworkError::Kind::tls);
}

TEST_F(LoopbackTLS, APinnedFingerprintThatDiffersFailsWithThePinError) {
    const DeviceFingerprint someoneElse = makeTestIdentity().publicIdentity.fingerprint;
    connectClient(tabletIdentity, someoneElse);
    const StartOutcome started = h.run(startBoth(h, *hostTLS, server, client));
    EXPECT_EQ(expectFailure<TLSSecurityError>(started.client).kind, TLSCase::pinnedFingerprintMismatch);
    EXPECT_TRUE(started.server);
    ASSERT_TRUE(client->lastObservedNWError());
    EXPECT_EQ(client->lastObservedNWError()->kind, ObservedNetworkError::Kind::tls);
}

TEST_F(LoopbackTLS, AnotherApplicationProtocolIsRefusedByBothSides) {
    connectClient(tabletIdentity, std::nullopt, "velorinth-relay/1");
    const StartOutcome started = h.run(startBoth(h, *hostTLS, server, client));
    EXPECT_EQ(expectFailure<NetworkConnectionError>(started.server).kind, NetCase::network);
    EXPECT_EQ(expectFailure<NetworkConnectionError>(started.client).kind, NetCase::network);
}

TEST_F(LoopbackTLS, AClientOfferingNoApplicationProtocolIsClosed) {
    auto silent = makeRawContext(TLSRole::client, {&tabletIdentity, TLS1_3_VERSION, nullptr});
    const RawClientOutcome result = h.run(serveRawClient(h, *hostTLS, server, *silent));
    const auto failure = expectFailure<NetworkConnectionError>(result.server);
    EXPECT_EQ(failure.kind, NetCase::network);
    EXPECT_EQ(failure.text, "no application protocol");
    EXPECT_FALSE(result.handshake) << result.handshake.message();
    EXPECT_TRUE(result.firstRead);
    EXPECT_FALSE(server->capturedTLSContext());
}

TEST_F(LoopbackTLS, AServerSelectingNoApplicationProtocolFailsTheClient) {
    auto silent = makeRawContext(TLSRole::server, {&hostIdentity, TLS1_3_VERSION, nullptr});
    SSL_CTX_set_verify(silent->native_handle(), SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    connectClient(tabletIdentity);
    std::exception_ptr clientFailure;
    const asio::error_code serverHandshake = h.run(connectToRawServer(h, *silent, client, clientFailure));
    EXPECT_FALSE(serverHandshake) << serverHandshake.message();
    EXPECT_EQ(expectFailure<NetworkConnectionError>(clientFailure).text, "no application protocol");
    EXPECT_EQ(client->lastObservedNWError(),
              (ObservedNetworkError{ObservedNetworkError::Kind::tls, SSL_R_NO_APPLICATION_PROTOCOL,
                                    "no application protocol"}));
    EXPECT_FALSE(client->capturedTLSContext());
}

TEST_F(LoopbackTLS, ARefusedConnectionIsObservedAsAPosixError) {
    const auto endpoint = h.endpoint();
    h.acceptor.close();
    client = NetworkFramedConnection::connect(h.io.get_executor(), endpoint, tabletIdentity, std::nullopt,
                                              kTestFrameLimit, kProtocol);
    const auto failure = expectFailure<NetworkConnectionError>(h.run(outcome(client->start())));
    EXPECT_EQ(failure, NetworkConnectionError::network("Connection refused"));
    EXPECT_EQ(client->lastObservedNWError(),
              (ObservedNetworkError{ObservedNetworkError::Kind::posix, ECONNREFUSED, "Connection refused"}));
}

TEST_F(LoopbackTLS, AHostNameIsResolvedAndItsAddressesTriedInOrder) {
    // "localhost" may name ::1 before 127.0.0.1; only the latter listens here.
    client = NetworkFramedConnection::connect(h.io.get_executor(), {"localhost", h.port()}, tabletIdentity,
                                              std::nullopt, kTestFrameLimit, kProtocol);
    const StartOutcome started = h.run(startBoth(h, *hostTLS, server, client));
    EXPECT_FALSE(started.server);
    EXPECT_FALSE(started.client);
}

TEST_F(LoopbackTLS, CancellingAStalledStartFailsItWithCancelled) {
    connectClient(tabletIdentity);
    asio::ip::tcp::socket silentPeer(h.io); // accepts TCP, never answers TLS
    const std::exception_ptr failure = h.run([&]() -> asio::awaitable<std::exception_ptr> {
        auto started = co_await (outcome(client->start()) && [&]() -> asio::awaitable<void> {
            silentPeer = co_await h.accept();
            co_await sleepFor(20ms);
            client->cancel();
        }());
        co_return started;
    }());
    EXPECT_EQ(expectFailure<NetworkConnectionError>(failure).kind, NetCase::cancelled);
    EXPECT_TRUE(client->didClose());
}

TEST_F(LoopbackTLS, AStartAbandonedByItsTaskCancelsTheConnection) {
    connectClient(tabletIdentity);
    asio::ip::tcp::socket silentPeer(h.io);
    const auto winner = h.run([&]() -> asio::awaitable<std::size_t> {
        auto result = co_await (client->start() || [&]() -> asio::awaitable<void> {
            silentPeer = co_await h.accept();
            co_await sleepFor(20ms);
        }());
        co_return result.index();
    }());
    EXPECT_EQ(winner, 1u);
    EXPECT_TRUE(client->didClose());
    EXPECT_EQ(expectFailure<NetworkConnectionError>(h.run(outcome(client->receiveFrame()))).kind, NetCase::cancelled);
}
