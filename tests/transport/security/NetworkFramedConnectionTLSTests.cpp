#include "transport/security/LoopbackConnectionTest.hpp"

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Stream = NetworkFramedConnection::Stream;
using TLSCase = TLSSecurityError::Case;
using NetCase = NetworkConnectionError::Case;
using ObservedKind = ObservedNetworkError::Kind;

class LoopbackTLS : public LoopbackConnectionTest {
protected:
    // Our client against a hand-configured server: the server's handshake result.
    asio::error_code connectToRawServer(asio::ssl::context& serverTLS, std::exception_ptr& clientFailure) {
        connectClient(tabletIdentity, std::nullopt, kProtocol, "127.0.0.1", raw.local_endpoint().port());
        asio::error_code handshake;
        auto serverSide = [&]() -> asio::awaitable<void> {
            Stream peer(co_await raw.async_accept(asio::use_awaitable), serverTLS);
            co_await peer.async_handshake(Stream::server, asio::redirect_error(asio::use_awaitable, handshake));
        };
        clientFailure = h.run([&]() -> asio::awaitable<std::exception_ptr> {
            auto [serverResult, clientResult] = co_await (outcome(serverSide()) && outcome(client->start()));
            if (serverResult) std::rethrow_exception(serverResult);
            co_return clientResult;
        }());
        return handshake;
    }

    // A plain socket on 127.0.0.1 for servers our policy would never build.
    asio::ip::tcp::acceptor raw{h.io, {asio::ip::make_address("127.0.0.1"), 0}};
};

} // namespace

TEST_F(LoopbackTLS, BothEndsShareTheExporterAndSeeEachOther) {
    connectClient(tabletIdentity, hostIdentity.publicIdentity.fingerprint);
    connectBoth();
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
    connectBoth();
    EXPECT_NE(client->capturedTLSContext()->exporterChannelBinding, tabletView->exporterChannelBinding);
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

// The server side of these refusals is the listener's (its own tests); here, the client's.
TEST_F(LoopbackTLS, ACertificateNotSignedByItsOwnKeyIsRefusedOnEitherSide) {
    const TLSDeviceIdentity misbound = makeMisboundIdentity();
    LoopbackAcceptor forged(h.io.get_executor(), misbound);
    connectClient(tabletIdentity, std::nullopt, kProtocol, "127.0.0.1", forged.port());
    EXPECT_EQ(expectFailure<TLSSecurityError>(h.run(outcome(client->start()))).kind,
              TLSCase::invalidCertificateBinding);
    EXPECT_FALSE(client->capturedTLSContext());
    TearDown();

    // The client's start succeeds: it cannot know yet. Its first read fails.
    connectClient(misbound);
    ASSERT_FALSE(h.run(outcome(client->start())));
    EXPECT_EQ(failed(client->receiveFrame()), NetCase::network);
    EXPECT_TRUE(client->didClose());
    ASSERT_TRUE(client->lastObservedNWError());
    EXPECT_EQ(client->lastObservedNWError()->kind, ObservedKind::tls);
    EXPECT_EQ(hostEnd.handedOver(), 0u);
}

TEST_F(LoopbackTLS, APinnedFingerprintThatDiffersOrAnotherProtocolFailsTheClient) {
    connectClient(tabletIdentity, makeTestIdentity().publicIdentity.fingerprint);
    EXPECT_EQ(expectFailure<TLSSecurityError>(h.run(outcome(client->start()))).kind,
              TLSCase::pinnedFingerprintMismatch);
    ASSERT_TRUE(client->lastObservedNWError());
    EXPECT_EQ(client->lastObservedNWError()->kind, ObservedKind::tls);
    TearDown();

    connectClient(tabletIdentity, std::nullopt, "velorinth-relay/1");
    EXPECT_EQ(expectFailure<NetworkConnectionError>(h.run(outcome(client->start()))).kind, NetCase::network);
    h.settle();
    EXPECT_EQ(hostEnd.handedOver(), 0u);
}

TEST_F(LoopbackTLS, ARefusedConnectionIsObservedAsAPosixError) {
    connectClient(tabletIdentity, std::nullopt, kProtocol, "127.0.0.1", raw.local_endpoint().port());
    raw.close();
    const auto failure = expectFailure<NetworkConnectionError>(h.run(outcome(client->start())));
    EXPECT_EQ(failure, NetworkConnectionError::network("Connection refused"));
    EXPECT_EQ(client->lastObservedNWError(),
              (ObservedNetworkError{ObservedKind::posix, ECONNREFUSED, "Connection refused"}));
}

TEST_F(LoopbackTLS, AHostNameIsResolvedAndItsAddressesTriedInOrder) {
    // "localhost" may name ::1 before 127.0.0.1; only the latter listens here.
    connectClient(tabletIdentity, std::nullopt, kProtocol, "localhost");
    connectBoth();
}

TEST_F(LoopbackTLS, AStalledStartCancelledOrAbandonedFailsWithCancelled) {
    asio::ip::tcp::socket silentPeer(h.io); // accepts TCP, never answers TLS
    auto acceptAndWait = [&]() -> asio::awaitable<void> {
        silentPeer = co_await raw.async_accept(asio::use_awaitable);
        co_await sleepFor(20ms);
    };
    connectClient(tabletIdentity, std::nullopt, kProtocol, "127.0.0.1", raw.local_endpoint().port());
    const std::exception_ptr cancelled = h.run([&]() -> asio::awaitable<std::exception_ptr> {
        co_return co_await (outcome(client->start()) && [&]() -> asio::awaitable<void> {
            co_await acceptAndWait();
            client->cancel();
        }());
    }());
    EXPECT_EQ(expectFailure<NetworkConnectionError>(cancelled).kind, NetCase::cancelled);
    EXPECT_TRUE(client->didClose());

    // A start whose task gives up on it cancels the connection.
    connectClient(tabletIdentity, std::nullopt, kProtocol, "127.0.0.1", raw.local_endpoint().port());
    EXPECT_EQ(h.run([&]() -> asio::awaitable<std::size_t> {
        co_return (co_await (client->start() || acceptAndWait())).index();
    }()), 1u);
    EXPECT_TRUE(client->didClose());
    EXPECT_EQ(failed(client->receiveFrame()), NetCase::cancelled);
}
