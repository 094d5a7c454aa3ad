#include "transport/security/LoopbackConnectionTest.hpp"

#include <asio/detached.hpp>
#include <asio/write.hpp>

#include <set>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Stream = NetworkFramedConnection::Stream;
using NetCase = NetworkConnectionError::Case;

// A length header announcing `length`, followed by `body` (which may be shorter).
Bytes header(std::uint32_t length, const Bytes& body = {}) {
    Bytes out(4 + body.size());
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    std::copy(body.begin(), body.end(), out.begin() + 4);
    return out;
}

Bytes filled(std::size_t size, std::uint8_t value) { return Bytes(size, value); }

class LoopbackFramedConnection : public LoopbackConnectionTest {
protected:
    // Our server and a TLS peer that writes whatever bytes a test wants.
    void connectRawPeer() {
        rawPeer = std::make_unique<Stream>(h.io, *tabletTLS);
        h.run([&]() -> asio::awaitable<void> {
            auto peerSide = [&]() -> asio::awaitable<void> {
                co_await rawPeer->next_layer().async_connect({asio::ip::make_address("127.0.0.1"), hostEnd.port()},
                                                             asio::use_awaitable);
                co_await rawPeer->async_handshake(Stream::client, asio::use_awaitable);
            };
            co_await (acceptServer() && peerSide());
        }());
    }

    void peerWrites(const Bytes& bytes) { h.run(asio::async_write(*rawPeer, asio::buffer(bytes), asio::use_awaitable)); }

    std::shared_ptr<asio::ssl::context> tabletTLS =
        TLSTransportSecurity::makeContext(TLSRole::client, tabletIdentity, kProtocol);
    std::unique_ptr<Stream> rawPeer;
};

} // namespace

TEST(FramedConnection, CloseHandlerRunsExactlyOnce) {
    asio::io_context io;
    auto open = [&] {
        return NetworkFramedConnection::connect(io.get_executor(), {"127.0.0.1", 9}, makeTestIdentity(),
                                                std::nullopt, kTestFrameLimit, kProtocol);
    };
    auto connection = open();
    int calls = 0;
    EXPECT_FALSE(connection->didClose());
    EXPECT_TRUE(connection->setCloseHandler([&] { ++calls; }));
    connection->notifyClosed();
    connection->notifyClosed();
    connection->cancel();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(connection->didClose());
    EXPECT_FALSE(connection->setCloseHandler([&] { ++calls; })) << "installed on a closed connection";
    connection->notifyClosed();
    EXPECT_EQ(calls, 1);

    auto cleared = open();
    ASSERT_TRUE(cleared->setCloseHandler([&] { ++calls; }));
    cleared->clearCloseHandler();
    cleared->cancel();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(cleared->didClose());
}

TEST_F(LoopbackFramedConnection, ZeroAndOversizedLengthsAreRefusedAndStaySo) {
    connectRawPeer();
    peerWrites(header(0));
    EXPECT_EQ(failed(server->receiveFrame()), NetCase::malformedFrame);
    peerWrites(header(1)); // a well-formed frame can no longer be trusted to start here
    EXPECT_EQ(failed(server->receiveFrame()), NetCase::malformedFrame);
    EXPECT_FALSE(server->didClose()) << "a framing error is the caller's to act on";

    TearDown();
    connectRawPeer();
    peerWrites(header(kTestFrameLimit + 1)); // and nothing more: a read of the body would never end
    EXPECT_EQ(failed(server->receiveFrame()), NetCase::oversizedFrame);
    EXPECT_EQ(failed(server->receiveFrame()), NetCase::oversizedFrame);
}

TEST_F(LoopbackFramedConnection, SendsUpToTheLimitAndRefusedSendsSendNothing) {
    connectBoth();
    EXPECT_EQ(failed(client->sendRawFrame(Bytes(kTestFrameLimit + 1))), NetCase::oversizedFrame);
    EXPECT_EQ(failed(client->sendRawFrame(Bytes{})), NetCase::malformedFrame);
    const Bytes largest = filled(kTestFrameLimit, 0xEE);
    h.run(client->sendRawFrame(largest));
    EXPECT_EQ(h.run(server->receiveFrame()), largest);
    h.run(server->sendRawFrame(Bytes{42}));
    EXPECT_EQ(h.run(client->receiveFrame()), Bytes{42});
    EXPECT_FALSE(client->didClose());
}

TEST_F(LoopbackFramedConnection, APeerClosingMidFrameEndsWithClosed) {
    for (const bool closeNotify : {true, false}) {
        SCOPED_TRACE(closeNotify ? "close_notify" : "bare FIN");
        connectRawPeer();
        int closeCalls = 0;
        server->setCloseHandler([&] { ++closeCalls; });
        peerWrites(header(10, Bytes{1, 2, 3}));
        if (closeNotify) {
            SSL_set_shutdown(rawPeer->native_handle(), SSL_RECEIVED_SHUTDOWN);
            h.run(rawPeer->async_shutdown(asio::use_awaitable));
        }
        rawPeer->next_layer().close();
        EXPECT_EQ(failed(server->receiveFrame()), NetCase::closed);
        EXPECT_EQ(failed(server->receiveFrame()), NetCase::closed);
        EXPECT_EQ(closeCalls, 1);
        EXPECT_TRUE(server->didClose());
        TearDown();
    }
}

TEST_F(LoopbackFramedConnection, FramesSentBeforeThePeerClosedAreDeliveredFirst) {
    connectBoth();
    h.run([&]() -> asio::awaitable<void> {
        co_await client->sendRawFrame(Bytes(3, 1));
        co_await client->sendRawFrame(Bytes(5, 2));
        client->cancel();
    }());
    h.settle();
    // The inbox holds one frame and the reader the next, so the close is
    // noticed once the first is taken.
    EXPECT_EQ(h.run(server->receiveFrame()), filled(3, 1));
    h.settle();
    EXPECT_TRUE(server->didClose()) << "the close was seen while a frame still waited";
    EXPECT_EQ(h.run(server->receiveFrame()), filled(5, 2));
    EXPECT_EQ(failed(server->receiveFrame()), NetCase::closed);
}

TEST_F(LoopbackFramedConnection, ConcurrentSendsStayWholeFrames) {
    connectBoth();
    constexpr int kSenders = 16;
    const std::set<int> seen = h.run([&]() -> asio::awaitable<std::set<int>> {
        auto executor = co_await asio::this_coro::executor;
        for (int i = 0; i < kSenders; ++i) {
            // Sizes spanning several TLS records, so interleaved writes would show.
            asio::co_spawn(executor, client->sendRawFrame(filled(4000 * (i + 1), static_cast<std::uint8_t>(i))),
                           asio::detached);
        }
        std::set<int> indices;
        for (int n = 0; n < kSenders; ++n) {
            const Bytes frame = co_await server->receiveFrame();
            const int index = frame.front();
            EXPECT_EQ(frame, filled(4000 * (index + 1), static_cast<std::uint8_t>(index)));
            indices.insert(index);
        }
        co_return indices;
    }());
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kSenders));
}

TEST_F(LoopbackFramedConnection, CancelFailsPendingAndLaterOperationsAndTellsThePeer) {
    connectBoth();
    const std::exception_ptr pending = h.run([&]() -> asio::awaitable<std::exception_ptr> {
        auto canceller = [&]() -> asio::awaitable<void> {
            co_await sleepFor(10ms);
            server->cancel();
        };
        co_return co_await (outcome(server->receiveFrame()) && canceller());
    }());
    EXPECT_EQ(expectFailure<NetworkConnectionError>(pending).kind, NetCase::cancelled);
    EXPECT_EQ(failed(server->sendRawFrame(Bytes{1})), NetCase::cancelled);
    EXPECT_EQ(failed(server->receiveFrame()), NetCase::cancelled);
    // The peer sees an orderly end (close_notify), not an error.
    EXPECT_EQ(failed(client->receiveFrame()), NetCase::closed);
    EXPECT_TRUE(client->didClose());
}

TEST_F(LoopbackFramedConnection, AReceiveAbandonedByItsTaskLosesNoFrame) {
    connectBoth();
    EXPECT_EQ(h.run([&]() -> asio::awaitable<std::size_t> {
        co_return (co_await (server->receiveFrame() || sleepFor(10ms))).index();
    }()), 1u);
    h.run(client->sendRawFrame(Bytes{7, 7}));
    EXPECT_EQ(h.run(server->receiveFrame()), (Bytes{7, 7}));
    EXPECT_FALSE(server->didClose());
}

TEST_F(LoopbackFramedConnection, ASendAbandonedMidWriteCancelsTheConnection) {
    connectBoth();
    // The server reads nothing: once its inbox and the socket buffers are
    // full, a send cannot finish and loses its race against the timer.
    const int sent = h.run([&]() -> asio::awaitable<int> {
        for (int frames = 0; frames < 100'000; ++frames) {
            auto result = co_await (client->sendRawFrame(filled(kTestFrameLimit, 0x33)) || sleepFor(50ms));
            if (result.index() == 1) co_return frames;
        }
        co_return -1;
    }());
    EXPECT_GT(sent, 1);
    // A frame may have been left half written, so the connection is gone.
    EXPECT_TRUE(client->didClose());
    EXPECT_EQ(failed(client->sendRawFrame(Bytes{1})), NetCase::cancelled);
}
