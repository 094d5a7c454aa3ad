#pragma once

// What AbuseBench needs beside SessionBench's helpers: this process's
// resident memory, descriptors and CPU time, waits cut at a deadline,
// attacking connections bound to a chosen loopback source address, and the
// attacks on a bare door (silent sockets, floods of new connections) that
// RelayBench aims at the wake relay too.

#include "SessionBenchSupport.hpp"

#include "core/Constants.hpp"
#include "platform/MemoryReleaseScheduler.hpp"
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
#include <asio/write.hpp>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The allocator's live heap: chunks in use in every arena and the blocks it mapped apart.
inline long liveHeapKiB() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// A server's returns of freed memory (returnFreedMemoryToSystem), counted
// and timed where they run; any thread.
class TimedReleases {
public:
    struct Sample {
        std::size_t count = 0; // so far
        double longestMs = 0;  // since the last sample that reset it
    };

    MemoryReleaseScheduler::Release timed() {
        return [this] {
            const auto start = Clock::now();
            returnFreedMemoryToSystem();
            const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
            std::lock_guard lock(mutex_);
            ++sample_.count;
            sample_.longestMs = std::max(sample_.longestMs, static_cast<double>(took) / 1000);
        };
    }
    Sample sample(bool resetLongest = false) {
        std::lock_guard lock(mutex_);
        const Sample taken = sample_;
        if (resetLongest) sample_.longestMs = 0;
        return taken;
    }

private:
    std::mutex mutex_;
    Sample sample_;
};

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

// A TCP connection from `from` that sends one byte, a TLS record's type as a
// ClientHello starts, and nothing more until the server closes it: it ranks
// as having spoken, and the server has begun its TLS.
inline asio::awaitable<void> holdAfterOneByte(std::string from, std::uint16_t port) {
    auto connecting = boundSocket(std::move(from), port);
    auto socket = co_await std::move(connecting);
    const std::array<std::uint8_t, 1> handshakeRecord{0x16};
    co_await asio::async_write(socket, asio::buffer(handshakeRecord), asio::use_awaitable);
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

// The flood with each connection held until the server closes it or the
// attack ends, silent or after `hold`'s first byte: the worker opens the next
// on time, whatever became of the last.
using Hold = asio::awaitable<void> (*)(std::string, std::uint16_t);

inline asio::awaitable<void> heldChurnOf(Hold hold, AttackTarget* target, Sources sources, Clock::time_point until) {
    const auto executor = co_await asio::this_coro::executor;
    const Clock::duration interval = churnInterval();
    auto next = Clock::now();
    while (Clock::now() < until) {
        if (target->held < kHeldLimit) {
            if (!target->another(until)) break;
            ++target->held;
            auto one = [](Hold h, AttackTarget* t, std::string from, Clock::time_point end) -> asio::awaitable<void> {
                co_await endsBefore(h(std::move(from), t->port), end);
                --t->held;
            }(hold, target, sources.take(), until);
            asio::co_spawn(executor, std::move(one), asio::detached);
        }
        next = std::max(next + interval, Clock::now() - 10 * interval);
        co_await sleepUntil(next);
    }
}

inline asio::awaitable<void> heldChurn(AttackTarget* target, Sources sources, Clock::time_point until) {
    return heldChurnOf(holdSilent, target, sources, until);
}

// The same flood, each connection sending one byte first: every one the
// server admits has a TLS engine waiting for the rest of its ClientHello.
inline asio::awaitable<void> heldChurnAfterOneByte(AttackTarget* target, Sources sources, Clock::time_point until) {
    return heldChurnOf(holdAfterOneByte, target, sources, until);
}

// ---- attackers in a process of their own, so that the RSS a row reads is the
// target's: never the attackers' sockets and coroutines, nor the allocator's
// holes they leave

inline constexpr const char* kAttackerProcessFlag = "--attacker-process";

struct NamedAttacker {
    std::string_view name;
    Attacker attacker;
};

inline const std::array<NamedAttacker, 4>& namedAttackers() {
    static const std::array<NamedAttacker, 4> attackers{{{"silentTCP", silentTCP},
                                                         {"churn", churn},
                                                         {"heldChurn", heldChurn},
                                                         {"heldChurnAfterOneByte", heldChurnAfterOneByte}}};
    return attackers;
}

// Called first in main(): with kAttackerProcessFlag NAME PORT WORKERS SOURCES
// MILLISECONDS, runs that attack on a loop of its own, prints how many
// connections it opened and ends the process.
inline void runAttackerProcessIfAsked(int argc, char** argv) {
    if (argc != 7 || std::string_view(argv[1]) != kAttackerProcessFlag) return;
    const auto named = std::find_if(namedAttackers().begin(), namedAttackers().end(),
                                    [&](const NamedAttacker& a) { return a.name == argv[2]; });
    if (named == namedAttackers().end()) fail(std::string("no attacker named ") + argv[2]);
    AttackTarget target;
    target.port = static_cast<std::uint16_t>(std::atoi(argv[3]));
    const auto workers = static_cast<std::size_t>(std::atol(argv[4]));
    const auto sources = static_cast<std::size_t>(std::atol(argv[5]));
    const auto until = Clock::now() + std::chrono::milliseconds(std::atol(argv[6]));
    {
        Loop loop;
        std::vector<std::future<void>> running;
        for (std::size_t i = 0; i < workers; ++i) {
            auto attack = named->attacker(&target, Sources{i, workers, sources}, until);
            running.push_back(asio::co_spawn(loop.io, std::move(attack), asio::use_future));
        }
        for (auto& future : running) waitFor(future, until + kStepLimit, "an attacker to stop");
    }
    std::printf("%zu\n", target.count.load());
    std::fflush(stdout);
    std::_Exit(0);
}

// One attack run by a child process of this very program (which must call
// runAttackerProcessIfAsked), from now for `length`.
class AttackerProcess {
public:
    AttackerProcess(std::string_view name, std::uint16_t port, std::size_t workers, std::size_t sources,
                    Clock::duration length) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) fail("a pipe for the attacker process");
        const std::vector<std::string> arguments{
            "/proc/self/exe", kAttackerProcessFlag, std::string(name), std::to_string(port), std::to_string(workers),
            std::to_string(sources),
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(length).count())};
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            ::close(out[0]);
            fail("the attacker process did not start");
        }
        output_ = out[0];
    }
    AttackerProcess(const AttackerProcess&) = delete;
    AttackerProcess& operator=(const AttackerProcess&) = delete;
    ~AttackerProcess() {
        if (output_ >= 0) ::close(output_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Waits for the attack's end (it stops by itself within its length and a
    // step limit); the connections it opened.
    std::size_t finish() {
        std::string text;
        char buffer[64];
        for (ssize_t n; (n = ::read(output_, buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno != EINTR) break;
            if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(std::exchange(output_, -1));
        int status = 0;
        ::waitpid(std::exchange(pid_, -1), &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) fail("the attacker process");
        return static_cast<std::size_t>(std::atol(text.c_str()));
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

} // namespace velorinth::bench
