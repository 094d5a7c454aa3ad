#include "transport/security/LoopbackHarness.hpp"

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Stream = NetworkFramedConnection::Stream;
using TLSCase = TLSSecurityError::Case;
using NetCase = NetworkConnectionError::Case;
using ObservedKind = ObservedNetworkError::Kind;

class LoopbackTLS : public LoopbackConnectionTest {
protected:
    struct Started {
        std::exception_ptr server;
        std::exception_ptr client;
    };

    // Our server on `serverTLS` and our client, started together.
    Started startBoth(asio::ssl::context& serverTLS) {
        return h.run([&]() -> asio::awaitable<Started> {
            auto [serverResult, clientResult] = co_await (outcome(startServer(serverTLS)) && outcome(client->start()));
            co_return Started{serverResult, clientResult};
        }());
    }

    // Our server against a hand-configured client: the server's outcome and the client's.
    std::pair<std::exception_ptr, RawClientResult> serveRawClient(const RawContextOptions& options) {
        return h.run([&]() -> asio::awaitable<std::pair<std::exception_ptr, RawClientResult>> {
            auto [serverResult, clientResult] =
                co_await (outcome(startServer(*hostTLS)) && rawClient(h.acceptor.local_endpoint(), options));
            co_return std::pair{serverResult, clientResult};
        }());
    }

    // Our client against a hand-configured server: the server's handshake result.
    asio::error_code connectToRawServer(asio::ssl::context& serverTLS, std::exception_ptr& clientFailure) {
        connectClient(tabletIdentity);
        asio::error_code handshake;
        auto serverSide = [&]() -> asio::awaitable<void> {
            Stream peer(co_await h.accept(), serverTLS);
            co_await peer.async_handshake(Stream::server, asio::redirect_error(asio::use_awaitable, handshake));
        };
        clientFailure = h.run([&]() -> asio::awaitable<std::exception_ptr> {
            auto [serverResult, clientResult] = co_await (outcome(serverSide()) && outcome(client->start()));
            if (serverResult) std::rethrow_exception(serverResult);
            co_return clientResult;
        }());
        return handshake;
    }
};

} // namespace

TEST(NetworkConnectionError, TextsAreExact) {
    EXPECT_STREQ(NetworkConnectionError::network("Connection refused").what(),
                 "Network connection failed: Connection refused");
    EXPECT_STREQ(NetworkConnectionError(NetCase::oversizedFrame).what(),
                 "A message exceeded the maximum allowed frame size and was blocked.");
}

TEST_F(LoopbackTLS, BothEndsShareTheExporterAndSeeEachOther) {
    connectClient(tabletIdentity, hostIdentity.publicIdentity.fingerprint);
    const Started started = startBoth(*hostTLS);
    ASSERT_FALSE(started.server || started.client);
    const auto hostView = server->capturedTLSContext();
    const auto tabletView = client->capturedTLSContext();
    ASSERT_TRUE(hostView && tabletView);
    EXPECT_EQ(hostView->exporterChannelBinding.size(), 32u);
    EXPECT_EQ(hostView->exporterChannelBinding, tabletView->exporterChannelBinding);
    EXPECT_EQ(hostView->peerSigningPublicKey, tabletIdentity.publicIdentity.signingPublicKey);
    EXPECT_EQ(hostView->peerFingerprint, tabletIdentity.publicIdentity.fingerprint);
    EXPECT_EQ(tabletView->peerSigningPublicKey, hostIdentity.publicIdentity.signingPublicKey);
    EXPECT_EQ(tabletView->peerFingerprint, hostIdentity.publicIdentity.fingerprint);
    EXPECT_FALSE(server->lastObservedNWError() || client->lastObservedNWError());

    // A second session between the same devices binds to a different secret.
    TearDown();
    connectClient(tabletIdentity);
    ASSERT_FALSE(startBoth(*hostTLS).client);
    EXPECT_NE(client->capturedTLSContext()->exporterChannelBinding, tabletView->exporterChannelBinding);
}

// Clients our policy refuses: TLS 1.2 fails the handshake; in TLS 1.3 the
// client's handshake is over before the server judges it, so its first read fails.
TEST_F(LoopbackTLS, RefusesClientsOutsideThePolicy) {
    struct Row {
        const char* name;
        RawContextOptions options;
        bool handshakeFails;
        const char* text; // the server's failure text, when fixed
    };
    const Row rows[] = {
        {"TLS 1.2 only", {&tabletIdentity, TLS1_2_VERSION, kProtocol}, true, nullptr},
        {"no certificate", {nullptr, TLS1_3_VERSION, kProtocol}, false, nullptr},
        {"no application protocol", {&tabletIdentity, TLS1_3_VERSION, nullptr}, false, "no application protocol"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto [serverFailure, result] = serveRawClient(row.options);
        const auto failure = expectFailure<NetworkConnectionError>(serverFailure);
        EXPECT_EQ(failure.kind, NetCase::network);
        EXPECT_EQ(failure.text, row.text != nullptr ? row.text : failure.text);
        EXPECT_EQ(static_cast<bool>(result.handshake), row.handshakeFails) << result.handshake.message();
        EXPECT_TRUE(row.handshakeFails || result.firstRead);
        EXPECT_FALSE(server->capturedTLSContext());
        ASSERT_TRUE(server->lastObservedNWError());
        EXPECT_EQ(server->lastObservedNWError()->kind, ObservedKind::tls);
        TearDown();
    }
}

TEST_F(LoopbackTLS, RefusesATLS12OnlyServer) {
    auto legacy = makeRawContext(TLSRole::server, {&hostIdentity, TLS1_2_VERSION, nullptr});
    std::exception_ptr clientFailure;
    EXPECT_TRUE(connectToRawServer(*legacy, clientFailure));
    EXPECT_EQ(expectFailure<NetworkConnectionError>(clientFailure).kind, NetCase::network);
    ASSERT_TRUE(client->lastObservedNWError());
    EXPECT_EQ(client->lastObservedNWError()->kind, ObservedKind::tls);
    EXPECT_TRUE(client->didClose());
}

TEST_F(LoopbackTLS, AServerSelectingNoApplicationProtocolFailsTheClient) {
    auto silent = makeRawContext(TLSRole::server, {&hostIdentity, TLS1_3_VERSION, nullptr});
    SSL_CTX_set_verify(silent->native_handle(), SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    std::exception_ptr clientFailure;
    const asio::error_code serverHandshake = connectToRawServer(*silent, clientFailure);
    EXPECT_FALSE(serverHandshake) << serverHandshake.message();
    EXPECT_EQ(expectFailure<NetworkConnectionError>(clientFailure).text, "no application protocol");
    EXPECT_EQ(client->lastObservedNWError(),
              (ObservedNetworkError{ObservedKind::tls, SSL_R_NO_APPLICATION_PROTOCOL, "no application protocol"}));
    EXPECT_FALSE(client->capturedTLSContext());
}

TEST_F(LoopbackTLS, ACertificateNotSignedByItsOwnKeyIsRefusedOnEitherSide) {
    const TLSDeviceIdentity misbound = makeMisboundIdentity();
    auto forgedTLS = TLSTransportSecurity::makeContext(TLSRole::server, misbound, kProtocol);
    connectClient(tabletIdentity);
    Started started = startBoth(*forgedTLS);
    EXPECT_EQ(expectFailure<TLSSecurityError>(started.client).kind, TLSCase::invalidCertificateBinding);
    EXPECT_EQ(expectFailure<NetworkConnectionError>(started.server).kind, NetCase::network);
    EXPECT_FALSE(client->capturedTLSContext());
    TearDown();

    // The client's start succeeds: it cannot know yet. Its first read fails.
    connectClient(misbound);
    started = startBoth(*hostTLS);
    EXPECT_EQ(expectFailure<NetworkConnectionError>(started.server).kind, NetCase::network);
    ASSERT_FALSE(started.client);
    EXPECT_EQ(failed(client->receiveFrame()), NetCase::network);
    EXPECT_TRUE(client->didClose());
    ASSERT_TRUE(client->lastObservedNWError());
    EXPECT_EQ(client->lastObservedNWError()->kind, ObservedKind::tls);
}

TEST_F(LoopbackTLS, APinnedFingerprintThatDiffersFailsWithThePinError) {
    connectClient(tabletIdentity, makeTestIdentity().publicIdentity.fingerprint);
    const Started started = startBoth(*hostTLS);
    EXPECT_EQ(expectFailure<TLSSecurityError>(started.client).kind, TLSCase::pinnedFingerprintMismatch);
    EXPECT_TRUE(started.server);
    ASSERT_TRUE(client->lastObservedNWError());
    EXPECT_EQ(client->lastObservedNWError()->kind, ObservedKind::tls);
}

TEST_F(LoopbackTLS, AnotherApplicationProtocolIsRefusedByBothSides) {
    connectClient(tabletIdentity, std::nullopt, "velorinth-relay/1");
    const Started started = startBoth(*hostTLS);
    EXPECT_EQ(expectFailure<NetworkConnectionError>(started.server).kind, NetCase::network);
    EXPECT_EQ(expectFailure<NetworkConnectionError>(started.client).kind, NetCase::network);
}

TEST_F(LoopbackTLS, ARefusedConnectionIsObservedAsAPosixError) {
    connectClient(tabletIdentity);
    h.acceptor.close();
    const auto failure = expectFailure<NetworkConnectionError>(h.run(outcome(client->start())));
    EXPECT_EQ(failure, NetworkConnectionError::network("Connection refused"));
    EXPECT_EQ(client->lastObservedNWError(),
              (ObservedNetworkError{ObservedKind::posix, ECONNREFUSED, "Connection refused"}));
}

TEST_F(LoopbackTLS, AHostNameIsResolvedAndItsAddressesTriedInOrder) {
    // "localhost" may name ::1 before 127.0.0.1; only the latter listens here.
    connectClient(tabletIdentity, std::nullopt, kProtocol, "localhost");
    const Started started = startBoth(*hostTLS);
    EXPECT_FALSE(started.server || started.client);
}

TEST_F(LoopbackTLS, AStalledStartCancelledOrAbandonedFailsWithCancelled) {
    asio::ip::tcp::socket silentPeer(h.io); // accepts TCP, never answers TLS
    auto acceptAndWait = [&]() -> asio::awaitable<void> {
        silentPeer = co_await h.accept();
        co_await sleepFor(20ms);
    };
    connectClient(tabletIdentity);
    const std::exception_ptr cancelled = h.run([&]() -> asio::awaitable<std::exception_ptr> {
        co_return co_await (outcome(client->start()) && [&]() -> asio::awaitable<void> {
            co_await acceptAndWait();
            client->cancel();
        }());
    }());
    EXPECT_EQ(expectFailure<NetworkConnectionError>(cancelled).kind, NetCase::cancelled);
    EXPECT_TRUE(client->didClose());

    // A start whose task gives up on it cancels the connection.
    connectClient(tabletIdentity);
    EXPECT_EQ(h.run([&]() -> asio::awaitable<std::size_t> {
        co_return (co_await (client->start() || acceptAndWait())).index();
    }()), 1u);
    EXPECT_TRUE(client->didClose());
    EXPECT_EQ(failed(client->receiveFrame()), NetCase::cancelled);
}
