#pragma once

// The framed connection over loopback TLS: our server end behind the real
// listener, our client, and hand-configured TLS peers our policy would never build.

#include "support/LoopRunner.hpp"
#include "support/LoopbackListener.hpp"
#include "support/TLSTestIdentities.hpp"
#include "transport/security/NetworkFramedConnection.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl/stream.hpp>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>

namespace velorinth::testing {

using namespace asio::experimental::awaitable_operators;

// A hand-configured TLS client: its handshake result, then (after a
// successful handshake) the result of its first read of one byte.
struct RawClientResult {
    asio::error_code handshake;
    asio::error_code firstRead;
};

inline asio::awaitable<RawClientResult> rawClient(asio::ip::tcp::endpoint at, RawContextOptions options) {
    auto context = makeRawContext(TLSRole::client, options);
    NetworkFramedConnection::Stream peer(co_await asio::this_coro::executor, *context);
    co_await peer.next_layer().async_connect(at, asio::use_awaitable);
    RawClientResult result;
    co_await peer.async_handshake(asio::ssl::stream_base::client,
                                  asio::redirect_error(asio::use_awaitable, result.handshake));
    if (result.handshake) co_return result;
    std::array<std::uint8_t, 1> byte{};
    co_await asio::async_read(peer, asio::buffer(byte), asio::redirect_error(asio::use_awaitable, result.firstRead));
    co_return result;
}

// Our host and tablet identities and our server end; cancels whatever a test connected.
class LoopbackConnectionTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& connection : {server, client}) {
            if (connection) connection->cancel();
        }
        server = client = nullptr;
        h.settle();
    }

    // Our client towards our server end, unless another port is given.
    void connectClient(const TLSDeviceIdentity& identity, std::optional<DeviceFingerprint> pin = std::nullopt,
                       const char* protocol = kProtocol, std::string host = "127.0.0.1", std::uint16_t port = 0) {
        client = NetworkFramedConnection::connect(h.io.get_executor(), {std::move(host), port ? port : hostEnd.port()},
                                                  identity, std::move(pin), kTestFrameLimit, protocol);
    }

    asio::awaitable<void> acceptServer() { server = co_await hostEnd.accept(); }

    // Our client started against our server end, both sides accepted.
    void connectBoth() {
        if (!client) connectClient(tabletIdentity);
        h.run([&]() -> asio::awaitable<void> { co_await (acceptServer() && client->start()); }());
    }

    // The case `operation` fails with.
    template <class T>
    NetworkConnectionError::Case failed(asio::awaitable<T> operation) {
        return expectFailure<NetworkConnectionError>(h.run(outcome(std::move(operation)))).kind;
    }

    LoopRunner h;
    TLSDeviceIdentity hostIdentity = makeTestIdentity("Host");
    TLSDeviceIdentity tabletIdentity = makeTestIdentity("Tablet");
    LoopbackAcceptor hostEnd{h.io.get_executor(), hostIdentity};
    std::shared_ptr<NetworkFramedConnection> server;
    std::shared_ptr<NetworkFramedConnection> client;
};

} // namespace velorinth::testing
