#pragma once

// What AbuseBench needs beside SessionBench's helpers: this process's
// resident memory, descriptors and CPU time, waits cut at a deadline,
// attacking connections bound to a chosen loopback source address, and the
// attacks on a bare door (silent sockets, floods of new connections) that
// RelayBench aims at the wake relay too.

#include "SessionBenchSupport.hpp"

#include "core/Constants.hpp"
#include "platform/tls/TLSDeviceIdentity.hpp"
#include "platform/tls/TLSTransportSecurity.hpp"
#include "platform/tls/TLSVerificationBox.hpp"
#include "transport/security/NetworkFramedConnection.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <sys/resource.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
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

// ---- attacks that need no more than a port: each worker loops until the deadline or the count

// Where an attack aims, and how many connections it opened. The attack
// loop's alone but for `count`, which the row reads when the attack is over.
struct AttackTarget {
    static constexpr std::size_t kLimit = 2'000'000; // connections per attack, whatever the time
    std::uint16_t port = 0;
    std::atomic<std::size_t> count{0};
    std::size_t held = 0; // connections a holding flood keeps open now

    bool another(Clock::time_point until) {
        if (Clock::now() >= until || count >= kLimit) return false;
        ++count;
        return true;
    }
};

// The source addresses of one worker: each connection from the next of its
// turn; up to 253 in 127.0.0.2-254, more in 127.1.0.0/16 (250 of each /24).
struct Sources {
    std::size_t next = 0, step = 1, count = 1;
    std::string take() {
        const std::size_t n = next % count;
        next += step;
        if (count <= 253) return "127.0.0." + std::to_string(2 + n);
        return "127.1." + std::to_string(n / 250) + "." + std::to_string(1 + n % 250);
    }
};

using Attacker = std::function<asio::awaitable<void>(AttackTarget*, Sources, Clock::time_point)>;

// Reads until the peer closes the socket.
template <class S>
asio::awaitable<void> readUntilClosed(S& stream) {
    std::array<std::uint8_t, 64> buffer{};
    for (;;) co_await stream.async_read_some(asio::buffer(buffer), asio::use_awaitable);
}

// A TCP connection from `from` that sends nothing until the server closes it.
inline asio::awaitable<void> holdSilent(std::string from, std::uint16_t port) {
    auto connecting = boundSocket(std::move(from), port);
    auto socket = co_await std::move(connecting);
    co_await readUntilClosed(socket);
}

// One silent connection at a time per worker, reopened 5 ms after the server closes it.
inline asio::awaitable<void> silentTCP(AttackTarget* target, Sources sources, Clock::time_point until) {
    while (target->another(until)) {
        auto hold = holdSilent(sources.take(), target->port);
        if (!co_await endsBefore(std::move(hold), until)) break;
        co_await sleepUntil(Clock::now() + 5ms); // refused connections are not retried in a spin
    }
}

// New connections at a steady `kChurnRate` a second across `kChurnWorkers`,
// from more sources than a rate table remembers.
inline constexpr std::size_t kChurnRate = 5'000, kChurnWorkers = 16, kChurnSources = 4'000;
// Held connections open at once, beyond which the holding flood waits: the
// bench's own descriptors stay bounded whatever the server does.
inline constexpr std::size_t kHeldLimit = 8'000;

inline Clock::duration churnInterval() {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(kChurnWorkers) / static_cast<double>(kChurnRate)));
}

// The flood with each connection closed as soon as it is open.
inline asio::awaitable<void> churn(AttackTarget* target, Sources sources, Clock::time_point until) {
    const Clock::duration interval = churnInterval();
    auto next = Clock::now();
    while (target->another(until)) {
        auto one = [](std::string from, std::uint16_t port) -> asio::awaitable<void> {
            auto connecting = boundSocket(std::move(from), port);
            auto socket = co_await std::move(connecting);
            socket.close();
        }(sources.take(), target->port);
        if (!co_await endsBefore(std::move(one), until)) break;
        next = std::max(next + interval, Clock::now() - 10 * interval); // a stall is not made up in a burst
        co_await sleepUntil(next);
    }
}

// The flood with each connection held, silent, until the server closes it or
// the attack ends: the worker opens the next on time, whatever became of the last.
inline asio::awaitable<void> heldChurn(AttackTarget* target, Sources sources, Clock::time_point until) {
    const auto executor = co_await asio::this_coro::executor;
    const Clock::duration interval = churnInterval();
    auto next = Clock::now();
    while (Clock::now() < until) {
        if (target->held < kHeldLimit) {
            if (!target->another(until)) break;
            ++target->held;
            auto one = [](AttackTarget* t, std::string from, Clock::time_point end) -> asio::awaitable<void> {
                auto hold = holdSilent(std::move(from), t->port);
                co_await endsBefore(std::move(hold), end);
                --t->held;
            }(target, sources.take(), until);
            asio::co_spawn(executor, std::move(one), asio::detached);
        }
        next = std::max(next + interval, Clock::now() - 10 * interval);
        co_await sleepUntil(next);
    }
}

} // namespace velorinth::bench
