// Attacks the host's session server on 127.0.0.1, with the production
// admission options, while one paired tablet keeps a session with heartbeats
// and another reconnects once a second, and prints per attack: the
// reconnects that succeeded, their latency, and this process's RSS,
// descriptors (before, during, after) and CPU. Attackers connect from
// 127.0.0.2 or from 127.0.0.2-9. Every loop stops by itself at its deadline.
// Usage: AbuseBench [--seconds N] [--after N]

#include "AbuseBenchSupport.hpp"

#include "support/HostRig.hpp"
#include "support/TLSTestIdentities.hpp"

#include <asio/detached.hpp>
#include <asio/read.hpp>

#include <atomic>
#include <cstring>
#include <functional>

using namespace velorinth;
namespace rigs = velorinth::testing;
using namespace std::chrono_literals;
using namespace velorinth::bench;

namespace {

using Peer = rigs::ScriptedTabletPeer;
using Command = SessionControlCommand;

constexpr auto kStepTimeout = 15s;
constexpr auto kApprovalTimeout = 90s;
constexpr auto kReconnectLimit = 5s;      // a reconnect slower than this counts as failed
constexpr std::size_t kAttackLimit = 200'000; // connections per attack, whatever the time
constexpr std::size_t kPingLimit = 20'000'000;  // pings of the flooding tablet

struct Attempt {
    Clock::time_point at;
    bool ok = false;
    double ms = 0;
};

struct Bench {
    Bench(int seconds, int after) : attackTime(std::chrono::seconds(seconds)), afterWait(std::chrono::seconds(after)) {
        host.autoAnswer = true; // the bench's own tablets only; attackers are refused
        host.answerInline = true;
        host.call([&] {
            host.server = std::make_shared<HostSessionServer>(
                host.io.get_executor(), host.hostIdentity, host.trust, host.replayGuard,
                std::make_shared<PairingAttemptLimiter>(5, std::chrono::seconds(60)), host.hostKdf, host.hostStore,
                kStepTimeout, kApprovalTimeout,
                CapabilitySet{Capability::h264, Capability::pointer, Capability::keyboard},
                DevicePermissions::connect, productionOptions());
            HostSessionServer::Callbacks callbacks = host.recordingCallbacks();
            callbacks.onSessionsChanged = nullptr; // the rig's records would grow with every heartbeat
            callbacks.onError = [this](std::exception_ptr) { ++errors; };
            host.server->setCallbacks(callbacks);
            host.server->startListening(0, false);
        });
        host.port = host.run(host.server->waitForListeningPort(5s));
        hostLoop = std::make_unique<Loop>(host.io);
    }
    ~Bench() {
        hostLoop->halt();
        tabletLoop.halt();
        attackLoop.halt();
    }

    static HostSessionServer::Options productionOptions() {
        HostSessionServer::Options options; // admission as shipped
        options.listenerFactory = rigs::loopbackListener;
        return options;
    }

    std::unique_ptr<Peer> peer(Loop& loop, asio::thread_pool& kdf, std::string name) {
        return std::make_unique<Peer>(loop.io.get_executor(), kdf, std::move(name));
    }

    Clock::duration attackTime, afterWait;
    rigs::HostRig host{productionOptions(), kApprovalTimeout, false};
    std::unique_ptr<Loop> hostLoop;
    Loop tabletLoop, attackLoop;
    asio::thread_pool tabletKdf{1}, attackKdf{2};
    std::atomic<std::uint64_t> errors{0};
    std::unique_ptr<Peer> resident, reconnecting, flooder;
    std::vector<Attempt> attempts; // tablet loop
    std::uint64_t pongs = 0;       // tablet loop
    bool residentEnded = false;    // tablet loop
    bool stopping = false;         // tablet loop
    std::atomic<std::size_t> attackCount{0};
    double floodCutAfter = -1; // attack loop: when the host ended the flooding session, s
};

// ---- the bench's own tablets

asio::awaitable<void> heartbeat(Bench* b) {
    auto reader = [](Bench* bench) -> asio::awaitable<void> {
        for (;;) {
            if ((co_await bench->resident->receiveControl()).command == Command::pong) ++bench->pongs;
        }
    };
    const auto executor = co_await asio::this_coro::executor;
    asio::co_spawn(executor, reader(b), [b](std::exception_ptr) { b->residentEnded = true; });
    for (std::uint64_t sequence = 2; !b->stopping && !b->residentEnded; ++sequence) {
        co_await b->resident->send(Peer::message(Command::ping, sequence));
        co_await sleepUntil(Clock::now() + 1s);
    }
}

asio::awaitable<void> reconnectEverySecond(Bench* b) {
    while (!b->stopping) {
        const auto start = Clock::now();
        bool ok = false;
        auto open = [](Bench* bench, bool* done) -> asio::awaitable<void> {
            co_await bench->reconnecting->openSession(bench->host.port, HandshakePurpose::reconnect);
            *done = true;
        }(b, &ok);
        co_await endsBefore(std::move(open), start + kReconnectLimit);
        b->attempts.push_back({start, ok, milliseconds(Clock::now() - start)});
        b->reconnecting->close();
        co_await sleepUntil(start + 1s);
    }
}

// ---- the attacks: each worker loops until the deadline or the count

using Worker = std::function<asio::awaitable<void>(Bench*, std::string, Clock::time_point)>;

// Attack loop only.
bool another(Bench* b, Clock::time_point until) {
    if (Clock::now() >= until || b->attackCount >= kAttackLimit) return false;
    ++b->attackCount;
    return true;
}

// Closes an attacker's connection however its coroutine ends (a cut at the
// deadline included), as a real client's exit would.
struct CloseOnExit {
    std::shared_ptr<NetworkFramedConnection> connection;
    ~CloseOnExit() {
        if (connection) connection->cancel();
    }
};

// Reads until the host closes the socket.
template <class S>
asio::awaitable<void> readUntilClosed(S& stream) {
    std::array<std::uint8_t, 64> buffer{};
    for (;;) co_await stream.async_read_some(asio::buffer(buffer), asio::use_awaitable);
}

asio::awaitable<void> silentTCP(Bench* b, std::string source, Clock::time_point until) {
    while (another(b, until)) {
        auto hold = [](std::string from, std::uint16_t port) -> asio::awaitable<void> {
            auto connecting = boundSocket(std::move(from), port);
            auto socket = co_await std::move(connecting);
            co_await readUntilClosed(socket);
        }(source, b->host.port);
        if (!co_await endsBefore(std::move(hold), until)) break;
        co_await sleepUntil(Clock::now() + 5ms); // refused connections are not retried in a spin
    }
}

asio::awaitable<void> silentTLS(Bench* b, std::string source, Clock::time_point until) {
    const TLSDeviceIdentity identity = rigs::makeTestIdentity("Silent");
    while (another(b, until)) {
        auto hold = [](std::string from, std::uint16_t port, const TLSDeviceIdentity* id) -> asio::awaitable<void> {
            auto connecting = boundTLS(std::move(from), port, *id);
            auto connection = co_await std::move(connecting);
            const CloseOnExit guard{connection};
            for (;;) (void)co_await connection->receiveFrame();
        }(source, b->host.port, &identity);
        if (!co_await endsBefore(std::move(hold), until)) break;
        co_await sleepUntil(Clock::now() + 5ms);
    }
}

// A fresh identity's connection from `source`, its request sent; then `then`.
asio::awaitable<void> requestFrom(Bench* b, std::string source, HandshakePurpose purpose, bool answer,
                                  Clock::duration linger) {
    auto attacker = b->peer(b->attackLoop, b->attackKdf, "Attacker");
    const TLSDeviceIdentity identity = attacker->identityService->tlsIdentity();
    auto connecting = boundTLS(std::move(source), b->host.port, identity);
    attacker->connection = co_await std::move(connecting);
    const CloseOnExit guard{attacker->connection};
    co_await attacker->sendRequest(purpose);
    if (linger > Clock::duration::zero()) co_await sleepUntil(Clock::now() + linger);
    if (answer) co_await attacker->answerResponse();
    attacker->close();
}

Worker requests(HandshakePurpose purpose, bool answer, Clock::duration linger) {
    return [=](Bench* b, std::string source, Clock::time_point until) -> asio::awaitable<void> {
        while (another(b, until)) {
            auto one = requestFrom(b, source, purpose, answer, linger);
            if (!co_await endsBefore(std::move(one), until)) break;
            co_await sleepUntil(Clock::now() + 2ms); // refused connections are not retried in a spin
        }
    };
}

// A paired tablet that stops reading and keeps pinging.
asio::awaitable<void> pingFlood(Bench* b, std::string, Clock::time_point until) {
    auto flood = [](Bench* bench) -> asio::awaitable<void> {
        co_await bench->flooder->openSession(bench->host.port, HandshakePurpose::reconnect);
        for (std::uint64_t sequence = 2; bench->attackCount < kPingLimit; ++sequence) {
            co_await bench->flooder->send(Peer::message(Command::ping, sequence));
            ++bench->attackCount;
        }
    }(b);
    const auto start = Clock::now();
    const bool ended = co_await endsBefore(std::move(flood), until);
    if (ended && b->attackCount < kPingLimit) b->floodCutAfter = milliseconds(Clock::now() - start) / 1000;
    b->flooder->close();
}

// A paired tablet whose process freezes while it watches: its kernel keeps the
// connection and acknowledges nothing new once its buffer is full. Frames go
// out at 30 a second until the host removes the session or `bound` passes.
void frozenViewer(Bench& b, Clock::duration bound) {
    const long rssBefore = residentKiB();
    await(b.attackLoop, [&]() -> asio::awaitable<void> {
        co_await b.flooder->openSession(b.host.port, HandshakePurpose::reconnect);
        SessionControlMessage request = Peer::message(Command::configureVideoStream, 2);
        request.streamGeneration = 1;
        co_await b.flooder->send(request);
        co_await b.flooder->receiveControl(); // the stream is on; from here on nothing is read
    }(), "the frozen viewer's stream");
    const Uuid viewer = b.flooder->identity().id;
    const std::size_t requestsBefore = await(*b.hostLoop, [&]() -> asio::awaitable<std::size_t> {
        co_return b.host.keyframeRequests.size();
    }(), "the keyframe requests");
    const auto start = Clock::now();
    std::uint64_t frames = 0;
    bool removed = false;
    while (!removed && Clock::now() < start + bound) {
        ++frames;
        removed = await(*b.hostLoop, [&]() -> asio::awaitable<bool> {
            EncodedVideoFrame frame;
            frame.sequence = frames;
            frame.isKeyframe = frames == 1;
            frame.payload = Bytes(frame.isKeyframe ? 120'000 : 30'000, 0x5A);
            frame.width = frame.height = frame.sourceDisplayWidth = frame.sourceDisplayHeight = 640;
            b.host.server->distributeVideoFrame(std::make_shared<const EncodedVideoFrame>(frame));
            const auto sessions = b.host.server->sessionDescriptors();
            co_return std::none_of(sessions.begin(), sessions.end(),
                                   [&](const ActiveSessionDescriptor& d) { return d.peerIdentity.id == viewer; });
        }(), "a frame");
        std::this_thread::sleep_for(33ms);
    }
    const double seconds = milliseconds(Clock::now() - start) / 1000;
    const std::size_t requests = await(*b.hostLoop, [&]() -> asio::awaitable<std::size_t> {
        co_return b.host.keyframeRequests.size();
    }(), "the keyframe requests");
    b.flooder->close();
    std::this_thread::sleep_for(b.afterWait);
    if (removed) {
        std::printf("frozen viewer: removed by the host %.1f s after it stopped reading; ", seconds);
    } else {
        std::printf("frozen viewer: still registered after %.1f s; ", seconds);
    }
    std::printf("%llu frames offered, %zu keyframe requests; RSS %ld MiB before, %ld MiB %lld s after\n",
                static_cast<unsigned long long>(frames), requests - requestsBefore, rssBefore / 1024,
                residentKiB() / 1024,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(b.afterWait).count()));
    std::fflush(stdout);
}

// ---- one row

struct Sample {
    long rss = 0, fds = 0;
};
Sample sample() { return {residentKiB(), openDescriptors()}; }

void attack(Bench& b, const char* name, const Worker& worker, std::size_t workers, std::size_t sources) {
    const Sample before = sample();
    b.attackCount = 0;
    const auto start = Clock::now(), until = start + b.attackTime;
    const double cpuStart = cpuSeconds();
    std::vector<std::future<void>> running;
    for (std::size_t i = 0; i < workers; ++i) {
        const std::string source = "127.0.0." + std::to_string(2 + i % sources);
        running.push_back(asio::co_spawn(b.attackLoop.io, worker(&b, source, until), asio::use_future));
    }
    Sample peak = before;
    while (Clock::now() < until) {
        std::this_thread::sleep_for(250ms);
        const Sample now = sample();
        peak = {std::max(peak.rss, now.rss), std::max(peak.fds, now.fds)};
    }
    for (auto& future : running) {
        try {
            waitFor(future, Clock::now() + kStepLimit, "an attacker to stop");
        } catch (...) {
        }
    }
    const double cpu = 100 * (cpuSeconds() - cpuStart) / std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(b.afterWait);
    const Sample after = sample();
    std::vector<double> latencies;
    std::size_t tried = 0;
    await(b.tabletLoop, [&]() -> asio::awaitable<void> {
        for (const Attempt& a : b.attempts) {
            if (a.at < start || a.at >= until) continue;
            ++tried;
            if (a.ok) latencies.push_back(a.ms);
        }
        co_return;
    }(), "the reconnect records");
    std::printf("%-30s %4zu | %3zu/%-3zu | %7.1f %7.1f | %6ld %6ld %6ld | %5ld %5ld %5ld | %5.0f | %7zu\n", name,
                sources, latencies.size(), tried, percentile(latencies, 0.5), percentile(latencies, 0.95),
                before.rss / 1024, peak.rss / 1024, after.rss / 1024, before.fds, peak.fds, after.fds, cpu,
                b.attackCount.load());
    std::fflush(stdout);
}

int parse(int argc, char** argv, const char* flag, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) return std::clamp(std::atoi(argv[i + 1]), 1, 600);
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    try {
        Bench b(parse(argc, argv, "--seconds", 10), parse(argc, argv, "--after", 10));
        auto pair = [&](Loop& loop, asio::thread_pool& kdf, std::string name, bool keep) {
            auto tablet = b.peer(loop, kdf, std::move(name));
            await(loop, tablet->openSession(b.host.port, HandshakePurpose::pair), "a pairing", 60s);
            await(loop, [&]() -> asio::awaitable<void> {
                if (!keep) tablet->close();
                co_return;
            }(), "a close");
            return tablet;
        };
        b.resident = pair(b.tabletLoop, b.tabletKdf, "Resident iPad", true);
        b.reconnecting = pair(b.tabletLoop, b.tabletKdf, "Reconnecting iPad", false);
        b.flooder = pair(b.attackLoop, b.attackKdf, "Flooding iPad", false); // driven by the attack loop
        await(*b.hostLoop, [&]() -> asio::awaitable<void> {
            b.host.autoAnswer = false; // from here on, every prompt is refused inline
            co_return;
        }(), "the prompt rule");
        asio::co_spawn(b.tabletLoop.io, heartbeat(&b), asio::detached);
        std::this_thread::sleep_for(2s);
        asio::co_spawn(b.tabletLoop.io, reconnectEverySecond(&b), asio::detached);
        std::this_thread::sleep_for(3s);

        std::printf("AbuseBench: host on 127.0.0.1 with production admission; %lld s per attack, after-wait %lld s\n",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(b.attackTime).count()),
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(b.afterWait).count()));
        std::printf("%-30s %4s | %-7s | %-15s | %-20s | %-17s | %5s | %7s\n", "attack", "srcs", "recon",
                    "p50/p95 ms", "RSS MiB bef/dur/aft", "fds bef/dur/aft", "CPU%", "count");
        std::printf("  recon: the paired tablet's reconnects that succeeded / tried; count: attacking connections\n"
                    "  opened (pings sent for the last row); RSS and fds: before, the peak during, %lld s after\n",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(b.afterWait).count()));
        for (const std::size_t sources : {1u, 8u}) {
            attack(b, "32 silent TCP", silentTCP, 32, sources);
            attack(b, "32 silent after TLS", silentTLS, 32, sources);
            attack(b, "trickling request (14 s)", requests(HandshakePurpose::pair, true, kStepTimeout - 1s),
                   4 * sources, sources);
            attack(b, "unpaired reconnects, 8 at once", requests(HandshakePurpose::reconnect, true, {}), 8, sources);
            attack(b, "fresh pairing requests", requests(HandshakePurpose::pair, false, {}), 4 * sources, sources);
        }
        attack(b, "paired tablet stops reading", pingFlood, 1, 1);
        frozenViewer(b, 60s);

        const bool held = await(b.tabletLoop, [&]() -> asio::awaitable<bool> {
            b.stopping = true;
            co_return !b.residentEnded;
        }(), "the resident session");
        const std::size_t sessionsLeft = await(*b.hostLoop, [&]() -> asio::awaitable<std::size_t> {
            co_return b.host.server->sessionDescriptors().size();
        }(), "the host's sessions");
        if (b.floodCutAfter < 0) {
            std::printf("flooding tablet: the host had not ended its session when the attack stopped\n");
        } else {
            std::printf("flooding tablet: the host ended its session %.1f s into the attack\n", b.floodCutAfter);
        }
        std::printf("host sessions at the end: %zu (the resident tablet's, and the reconnecting one's when open)\n",
                    sessionsLeft);
        std::printf("resident session held throughout: %s; pongs %llu; host onError calls %llu\n", held ? "yes" : "NO",
                    static_cast<unsigned long long>(await(b.tabletLoop, [&]() -> asio::awaitable<std::uint64_t> {
                        co_return b.pongs;
                    }(), "pongs")),
                    static_cast<unsigned long long>(b.errors.load()));
        std::printf("(RSS, descriptors and CPU are the whole process: host, tablets and attackers)\n");
        std::fflush(stdout);
        std::_Exit(0); // the detached loops still refer to the bench
    } catch (const std::exception& e) {
        fail(e.what());
    }
}
