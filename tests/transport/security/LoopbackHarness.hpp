#pragma once

// A loop, a listening socket on 127.0.0.1 and bounded runs for loopback tests
// of the framed connection.

#include "support/TLSTestIdentities.hpp"
#include "transport/security/NetworkFramedConnection.hpp"

#include <asio/co_spawn.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>

namespace velorinth::testing {

using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;

inline constexpr std::size_t kTestFrameLimit = 65'536;
inline constexpr const char* kProtocol = "velorinth/1";

struct LoopbackHarness {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor{io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};

    std::uint16_t port() const { return acceptor.local_endpoint().port(); }
    NetworkFramedConnection::Endpoint endpoint() const { return {"127.0.0.1", port()}; }

    asio::awaitable<asio::ip::tcp::socket> accept() { co_return co_await acceptor.async_accept(asio::use_awaitable); }

    // Runs `body` on the loop until it finishes, for at most `limit` (a guard
    // against hangs, not a timing check), and returns or rethrows its outcome.
    template <class T>
    T run(asio::awaitable<T> body, std::chrono::steady_clock::duration limit = 10s) {
        auto future = asio::co_spawn(io, std::move(body), asio::use_future);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (future.wait_for(0s) != std::future_status::ready) {
            if (std::chrono::steady_clock::now() >= deadline) {
                io.stop();
                throw std::runtime_error("the loopback test did not finish in time");
            }
            io.restart();
            io.run_one_for(20ms);
        }
        return future.get();
    }

    // Lets handlers already due run (for example a detached close), briefly.
    void settle() {
        io.restart();
        io.run_for(50ms);
    }
};

// The outcome of an operation as a value, so two sides can run to completion together.
template <class T>
asio::awaitable<std::exception_ptr> outcome(asio::awaitable<T> operation) {
    try {
        co_await std::move(operation);
    } catch (...) {
        co_return std::current_exception();
    }
    co_return nullptr;
}

// Checks that `failure` holds an E and returns it.
template <class E>
E expectFailure(const std::exception_ptr& failure) {
    if (!failure) throw std::runtime_error("expected a failure, got success");
    try {
        std::rethrow_exception(failure);
    } catch (const E& error) {
        return error;
    } catch (const std::exception& other) {
        throw std::runtime_error(std::string("unexpected failure: ") + other.what());
    }
}

inline asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

// A TLS context configured by hand, for peers our own policy would never build.
struct RawContextOptions {
    const TLSDeviceIdentity* identity = nullptr; // no certificate when null
    int maxVersion = TLS1_3_VERSION;
    const char* offeredProtocol = nullptr;       // client side ALPN
};

inline std::unique_ptr<asio::ssl::context> makeRawContext(TLSRole role, const RawContextOptions& options) {
    auto context = std::make_unique<asio::ssl::context>(role == TLSRole::server ? asio::ssl::context::tls_server
                                                                                 : asio::ssl::context::tls_client);
    SSL_CTX* ctx = context->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, options.maxVersion);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    if (options.identity != nullptr) {
        SSL_CTX_use_certificate(ctx, options.identity->secIdentity.certificate());
        SSL_CTX_use_PrivateKey(ctx, options.identity->secIdentity.privateKey());
    }
    if (options.offeredProtocol != nullptr) {
        std::basic_string<unsigned char> wire;
        wire.push_back(static_cast<unsigned char>(std::strlen(options.offeredProtocol)));
        wire.append(options.offeredProtocol, options.offeredProtocol + std::strlen(options.offeredProtocol));
        SSL_CTX_set_alpn_protos(ctx, wire.data(), static_cast<unsigned int>(wire.size()));
    }
    return context;
}

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

// Our host and tablet identities and the host's context; cancels whatever a test connected.
class LoopbackConnectionTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& connection : {server, client}) {
            if (connection) connection->cancel();
        }
        h.settle();
    }

    void connectClient(const TLSDeviceIdentity& identity, std::optional<DeviceFingerprint> pin = std::nullopt,
                       const char* protocol = kProtocol, std::string host = "127.0.0.1") {
        client = NetworkFramedConnection::connect(h.io.get_executor(), {std::move(host), h.port()}, identity,
                                                  std::move(pin), kTestFrameLimit, protocol);
    }

    // Our server on the next accepted socket, started.
    asio::awaitable<void> startServer(asio::ssl::context& tls) {
        server = std::make_shared<NetworkFramedConnection>(co_await h.accept(), tls, kTestFrameLimit, true);
        co_await server->start();
    }

    // The case `operation` fails with.
    template <class T>
    NetworkConnectionError::Case failed(asio::awaitable<T> operation) {
        return expectFailure<NetworkConnectionError>(h.run(outcome(std::move(operation)))).kind;
    }

    LoopbackHarness h;
    TLSDeviceIdentity hostIdentity = makeTestIdentity("Host");
    TLSDeviceIdentity tabletIdentity = makeTestIdentity("Tablet");
    std::shared_ptr<asio::ssl::context> hostTLS =
        TLSTransportSecurity::makeContext(TLSRole::server, hostIdentity, kProtocol);
    std::shared_ptr<NetworkFramedConnection> server;
    std::shared_ptr<NetworkFramedConnection> client;
};

} // namespace velorinth::testing
