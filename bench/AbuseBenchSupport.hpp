#pragma once

// What AbuseBench needs beside SessionBench's helpers: this process's
// resident memory, descriptors and CPU time, waits cut at a deadline, and
// attacking connections bound to a chosen loopback source address.

#include "SessionBenchSupport.hpp"

#include "core/Constants.hpp"
#include "platform/tls/TLSDeviceIdentity.hpp"
#include "platform/tls/TLSTransportSecurity.hpp"
#include "platform/tls/TLSVerificationBox.hpp"
#include "transport/security/NetworkFramedConnection.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace velorinth::bench {

using namespace asio::experimental::awaitable_operators;

// ---- this process's own counters

inline long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

inline long openDescriptors() {
    long count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

inline double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// ---- bounded waits

inline asio::awaitable<void> sleepUntil(Clock::time_point deadline) {
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
    asio::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

// True when `operation` ended (either way) before `deadline`; it is cancelled otherwise.
template <class T>
asio::awaitable<bool> endsBefore(asio::awaitable<T> operation, Clock::time_point deadline) {
    auto guarded = [](asio::awaitable<T> inner) -> asio::awaitable<void> {
        try {
            co_await std::move(inner);
        } catch (...) {
        }
    }(std::move(operation));
    auto wait = sleepUntil(deadline);
    const auto first = co_await (std::move(guarded) || std::move(wait));
    co_return first.index() == 0;
}

// ---- attacking connections from a chosen source address

inline asio::awaitable<asio::ip::tcp::socket> boundSocket(std::string source, std::uint16_t port) {
    asio::ip::tcp::socket socket(co_await asio::this_coro::executor);
    socket.open(asio::ip::tcp::v4());
    socket.bind({asio::ip::make_address(source), 0});
    co_await socket.async_connect({asio::ip::make_address("127.0.0.1"), port}, asio::use_awaitable);
    co_return socket;
}

// A framed connection whose TLS (with `identity`, self-signed) completed from `source`.
inline asio::awaitable<std::shared_ptr<NetworkFramedConnection>> boundTLS(std::string source, std::uint16_t port,
                                                                         const TLSDeviceIdentity& identity) {
    auto box = std::make_shared<TLSVerificationBox>();
    auto tls = TLSTransportSecurity::makeContext(TLSRole::client, identity, VelorinthService::applicationProtocol,
                                                 std::nullopt, box);
    NetworkFramedConnection::Stream stream(co_await boundSocket(std::move(source), port), *tls);
    co_await stream.async_handshake(NetworkFramedConnection::Stream::client, asio::use_awaitable);
    auto connection = std::make_shared<NetworkFramedConnection>(std::move(stream), VelorinthService::maximumFrameSize,
                                                                true, box);
    co_await connection->start();
    co_return connection;
}

} // namespace velorinth::bench
