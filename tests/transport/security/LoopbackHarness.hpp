#pragma once

// A loop, a listening socket on 127.0.0.1 and bounded runs for loopback tests
// of the framed connection.

#include "transport/security/NetworkFramedConnection.hpp"

#include <asio/co_spawn.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstring>
#include <string>
#include <exception>
#include <future>
#include <stdexcept>

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

} // namespace velorinth::testing
