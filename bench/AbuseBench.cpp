// Attacks the host's session server on 127.0.0.1, with the production
// admission options, while one paired tablet keeps a session with heartbeats
// and four others reconnect once a second: one on loopback and three behind
// relays that add 5, 20 and 60 ms of round trip. Prints per attack the
// reconnects of each that succeeded with their p95, and this process's RSS,
// descriptors (before, peak during, after) and CPU. Attackers connect from
// 127.0.0.2, from 127.0.0.2-9 or from 127.0.0.2-254, each connection from the
// next address of its worker's turn; the relayed tablets from addresses of
// their own in 127.0.1.0/24. Three attacks open 5,000 connections a second
// from 4,000 addresses in 127.1.0.0/16: one closes each as soon as it is open,
// the others hold each, silent or after one byte (its TLS engine made), until
// the host closes it; the one-byte flood runs once more with the reconnecting
// tablets paused and its attackers in a process of their own, for the host's
// memory after it. Under 32 silent sockets a new tablet also pairs, its user
// taking 6 s to compare the code. Last come a
// paired tablet that floods pings without reading, a frozen viewer, and, as
// root, a tablet that vanishes behind a veth in a network namespace the bench
// makes. Every loop stops by itself at its deadline or count.
// Usage: AbuseBench [--seconds N] [--after N] [--only TEXT]
// (--only, repeatable: just the attacks whose name holds TEXT, and the closing lines)

#include "AbuseBenchSupport.hpp"
#include "DelayRelay.hpp"
#include "VanishedTablet.hpp"

#include "support/HostRig.hpp"
#include "support/TLSTestIdentities.hpp"

#include <asio/detached.hpp>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <string_view>

using namespace velorinth;
namespace rigs = velorinth::testing;
using namespace std::chrono_literals;
using namespace velorinth::bench;

namespace {

using Peer = rigs::ScriptedTabletPeer;
using Command = SessionControlCommand;

constexpr auto kStepTimeout = 15s;
constexpr auto kApprovalTimeout = 90s;
constexpr auto kReconnectLimit = 5s;            // a reconnect slower than this counts as failed
constexpr auto kCodeCheck = 6s;                 // the pairing tablet's user comparing the code
constexpr std::size_t kPingLimit = 20'000'000;  // pings of the flooding tablet
constexpr std::array<int, 4> kExtraMs{0, 5, 20, 60};

struct Attempt {
    Clock::time_point at;
    bool ok = false;
    double ms = 0;
};

// A paired tablet that reconnects once a second, directly or through a relay.
struct Reconnecting {
    int extraMs = 0;
    std::unique_ptr<Peer> peer;
    std::unique_ptr<DelayRelay> relay; // relay loop
    std::uint16_t port = 0;
    std::vector<Attempt> attempts; // tablet loop
};

struct Bench {
    Bench(int seconds, int after) : attackTime(std::chrono::seconds(seconds)), afterWait(std::chrono::seconds(after)) {
        host.call([&] {
            host.server = std::make_shared<HostSessionServer>(
                host.io.get_executor(), host.hostIdentity, host.trust, host.replayGuard,
                std::make_shared<PairingAttemptLimiter>(5, std::chrono::seconds(60)), host.hostKdf, host.hostStore,
                kStepTimeout, kApprovalTimeout,
                CapabilitySet{Capability::h264, Capability::pointer, Capability::keyboard}, DevicePermissions::connect,
                productionOptions(releases.timed()));
            HostSessionServer::Callbacks callbacks = host.recordingCallbacks();
            callbacks.onSessionsChanged = nullptr; // the rig's records would grow with every heartbeat
            callbacks.onError = [this](std::exception_ptr) { ++errors; };
            // Only the bench's own pairings are approved; attackers' are refused.
            callbacks.onPromptChanged = [this](const std::optional<IncomingPairingPrompt>& prompt) {
                if (prompt) host.server->resolvePendingPairing(prompt->peerIdentity.id == approvedDevice, prompt->id);
            };
            host.server->setCallbacks(callbacks);
            host.server->startListening(0, false);
        });
        host.port = host.run(host.server->waitForListeningPort(5s));
        target.port = host.port;
        hostLoop = std::make_unique<Loop>(host.io);
    }
    ~Bench() {
        hostLoop->halt();
        tabletLoop.halt();
        relayLoop.halt();
        attackLoop.halt();
    }

    static HostSessionServer::Options productionOptions(MemoryReleaseScheduler::Release release = {}) {
        HostSessionServer::Options options; // admission as shipped
        options.listenerFactory = rigs::loopbackListener;
        options.releaseFreedMemory = std::move(release);
        return options;
    }

    std::unique_ptr<Peer> peer(Loop& loop, asio::thread_pool& kdf, std::string name) {
        return std::make_unique<Peer>(loop.io.get_executor(), kdf, std::move(name));
    }

    // A relay on the relay loop to the host, from `source`.
    std::unique_ptr<DelayRelay> relay(const char* source, int extraMs) {
        return await(relayLoop, [&]() -> asio::awaitable<std::unique_ptr<DelayRelay>> {
            co_return std::make_unique<DelayRelay>(
                relayLoop.io.get_executor(), asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), host.port),
                asio::ip::make_address(source), std::chrono::milliseconds(extraMs));
        }(), "a relay");
    }

    Clock::duration attackTime, afterWait;
    TimedReleases releases; // the server's returns of freed memory, which outlive it
    rigs::HostRig host{productionOptions(), kApprovalTimeout, false};
    std::unique_ptr<Loop> hostLoop;
    Loop tabletLoop, relayLoop, attackLoop;
    asio::thread_pool tabletKdf{1}, attackKdf{2};
    std::atomic<std::uint64_t> errors{0};
    Uuid approvedDevice; // host loop
    std::unique_ptr<Peer> resident, flooder;
    std::vector<Reconnecting> reconnecting;
    std::vector<std::string> only; // runs only the attacks whose name holds one, when set
    std::uint64_t pongs = 0;    // tablet loop
    bool residentEnded = false; // tablet loop
    bool stopping = false;      // tablet loop
    bool reconnectsPaused = false; // tablet loop
    AttackTarget target;        // the host's port once it listens
    double floodCutAfter = -1; // attack loop: when the host ended the first flooding session, s
    std::size_t floodSessions = 0;   // attack loop
    std::uint16_t floodPort = 0;
    std::unique_ptr<DelayRelay> floodRelay; // relay loop
    long baselineRSS = 0;
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

asio::awaitable<void> reconnectEverySecond(Bench* b, Reconnecting* tablet) {
    while (!b->stopping) {
        if (b->reconnectsPaused) {
            co_await sleepUntil(Clock::now() + 100ms);
            continue;
        }
        const auto start = Clock::now();
        bool ok = false;
        auto open = [](Reconnecting* t, bool* done) -> asio::awaitable<void> {
            co_await t->peer->openSession(t->port, HandshakePurpose::reconnect);
            *done = true;
        }(tablet, &ok);
        co_await endsBefore(std::move(open), start + kReconnectLimit);
        tablet->attempts.push_back({start, ok, milliseconds(Clock::now() - start)});
        tablet->peer->close();
        co_await sleepUntil(start + 1s);
    }
}

// A new tablet pairs through a relay 60 ms away; the host approves at once,
// the tablet's user compares the code for `check` before the tablet reads the
// decision. The outcome as a cell of the row.
std::string pairWithCodeCheck(Bench& b, Clock::duration check) {
    auto tablet = b.peer(b.tabletLoop, b.tabletKdf, "Pairing iPad");
    const Uuid id = tablet->identity().id;
    await(*b.hostLoop, [&]() -> asio::awaitable<void> {
        b.approvedDevice = id;
        co_return;
    }(), "the approved device");
    auto relay = b.relay("127.0.1.100", 60);
    const auto start = Clock::now();
    std::string failure;
    const bool ended = await(b.tabletLoop, [&]() -> asio::awaitable<bool> {
        auto pair = [](Peer* peer, std::uint16_t port, Clock::duration wait,
                       std::string* why) -> asio::awaitable<void> {
            try {
                co_await peer->startHandshake(port, HandshakePurpose::pair);
                co_await sleepUntil(Clock::now() + wait);
                const PairingDecision decision = co_await peer->receiveDecision();
                if (!decision.approved) throw std::runtime_error("refused: " + decision.reason.value_or("?"));
                co_await peer->sendClientReady();
                co_await peer->receiveServerReady();
            } catch (const std::exception& e) {
                *why = e.what();
            }
        }(tablet.get(), relay->port(), check, &failure);
        co_return co_await endsBefore(std::move(pair), Clock::now() + check + kStepLimit);
    }(), "the pairing", check + 2 * kStepLimit);
    const double seconds = milliseconds(Clock::now() - start) / 1000;
    await(b.tabletLoop, [&]() -> asio::awaitable<void> {
        tablet->close();
        co_return;
    }(), "the pairing's close");
    await(b.relayLoop, [&]() -> asio::awaitable<void> {
        relay->close();
        co_return;
    }(), "the pairing relay's close");
    char cell[96];
    if (!ended) {
        std::snprintf(cell, sizeof cell, "pairing: no end in %.1f s", seconds);
    } else if (failure.empty()) {
        std::snprintf(cell, sizeof cell, "pairing: done in %.1f s", seconds);
    } else {
        std::snprintf(cell, sizeof cell, "pairing FAILED after %.1f s (%s)", seconds, failure.c_str());
    }
    return cell;
}

// ---- the attacks: each worker loops until the deadline or the count

using Worker = std::function<asio::awaitable<void>(Bench*, Sources, Clock::time_point)>;

// An attacker of the support header, aimed at the host.
Worker atHost(Attacker attacker) {
    return [attacker = std::move(attacker)](Bench* b, Sources sources, Clock::time_point until) {
        return attacker(&b->target, sources, until);
    };
}

// Attack loop only.
bool another(Bench* b, Clock::time_point until) { return b->target.another(until); }

// Closes an attacker's connection however its coroutine ends (a cut at the
// deadline included), as a real client's exit would.
struct CloseOnExit {
    std::shared_ptr<NetworkFramedConnection> connection;
    ~CloseOnExit() {
        if (connection) connection->cancel();
    }
};

asio::awaitable<void> silentTLS(Bench* b, Sources sources, Clock::time_point until) {
    const TLSDeviceIdentity identity = rigs::makeTestIdentity("Silent");
    while (another(b, until)) {
        auto hold = [](std::string from, std::uint16_t port, const TLSDeviceIdentity* id) -> asio::awaitable<void> {
            auto connecting = boundTLS(std::move(from), port, *id);
            auto connection = co_await std::move(connecting);
            const CloseOnExit guard{connection};
            for (;;) (void)co_await connection->receiveFrame();
        }(sources.take(), b->host.port, &identity);
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
    return [=](Bench* b, Sources sources, Clock::time_point until) -> asio::awaitable<void> {
        while (another(b, until)) {
            auto one = requestFrom(b, sources.take(), purpose, answer, linger);
            if (!co_await endsBefore(std::move(one), until)) break;
            co_await sleepUntil(Clock::now() + 2ms); // refused connections are not retried in a spin
        }
    };
}

asio::awaitable<void> noAttack(Bench*, Sources, Clock::time_point until) { co_await sleepUntil(until); }

// A paired tablet that stops reading and keeps pinging, from an address of
// its own (a relay without delay), and opens a new session whenever the host
// ends its last.
asio::awaitable<void> pingFlood(Bench* b, Sources, Clock::time_point until) {
    auto flood = [](Bench* bench, Clock::time_point start) -> asio::awaitable<void> {
        while (bench->target.count < kPingLimit) {
            try {
                co_await bench->flooder->openSession(bench->floodPort, HandshakePurpose::reconnect);
                ++bench->floodSessions;
                for (std::uint64_t sequence = 2; bench->target.count < kPingLimit; ++sequence) {
                    co_await bench->flooder->send(Peer::message(Command::ping, sequence));
                    ++bench->target.count;
                }
            } catch (const std::exception&) {
            }
            bench->flooder->close();
            if (bench->floodSessions > 0 && bench->floodCutAfter < 0) {
                bench->floodCutAfter = milliseconds(Clock::now() - start) / 1000;
            }
            co_await sleepUntil(Clock::now() + 10ms); // a refused session is not retried in a spin
        }
    }(b, Clock::now());
    co_await endsBefore(std::move(flood), until);
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

// "ok/tried p95" of each reconnecting tablet's attempts that began in [start, until).
std::string reconnectCells(Bench& b, Clock::time_point start, Clock::time_point until) {
    return await(b.tabletLoop, [&]() -> asio::awaitable<std::string> {
        std::string cells;
        for (const Reconnecting& tablet : b.reconnecting) {
            std::vector<double> latencies;
            std::size_t tried = 0;
            for (const Attempt& a : tablet.attempts) {
                if (a.at < start || a.at >= until) continue;
                ++tried;
                if (a.ok) latencies.push_back(a.ms);
            }
            char cell[40];
            std::snprintf(cell, sizeof cell, " %3zu/%-3zu %5.0f |", latencies.size(), tried,
                          percentile(latencies, 0.95));
            cells += cell;
        }
        co_return cells;
    }(), "the reconnect records");
}

// With `ownLoop`, the attackers run on a loop of their own that ends with the
// row, as an attacker's own process would: the allocator keeps the records of
// a loop's sockets at their high-water mark, and those of the attackers' are
// not the host's to count.
void attack(Bench& b, const char* name, const Worker& worker, std::size_t workers, std::size_t sources,
            bool withPairing = false, bool ownLoop = false) {
    if (!b.only.empty() && std::none_of(b.only.begin(), b.only.end(), [&](const std::string& text) {
            return std::string_view(name).find(text) != std::string_view::npos;
        })) {
        return;
    }
    const Sample before = sample();
    b.target.count = 0;
    const auto start = Clock::now(), until = start + b.attackTime;
    const double cpuStart = cpuSeconds();
    std::optional<Loop> own;
    Loop& attackers = ownLoop ? own.emplace() : b.attackLoop;
    std::vector<std::future<void>> running;
    for (std::size_t i = 0; i < workers; ++i) {
        running.push_back(
            asio::co_spawn(attackers.io, worker(&b, Sources{i, workers, sources}, until), asio::use_future));
    }
    std::string pairing;
    std::atomic<long> peakRSS = before.rss, peakFds = before.fds;
    std::atomic<bool> sampling = true;
    std::thread sampler([&] {
        while (sampling) {
            std::this_thread::sleep_for(250ms);
            const Sample now = sample();
            peakRSS = std::max(peakRSS.load(), now.rss);
            peakFds = std::max(peakFds.load(), now.fds);
        }
    });
    if (withPairing) {
        std::this_thread::sleep_for(2s); // the attack has filled its places
        pairing = pairWithCodeCheck(b, kCodeCheck);
    }
    while (Clock::now() < until) std::this_thread::sleep_for(50ms);
    for (auto& future : running) {
        try {
            waitFor(future, Clock::now() + kStepLimit, "an attacker to stop");
        } catch (...) {
        }
    }
    own.reset();
    sampling = false;
    sampler.join();
    const double cpu = 100 * (cpuSeconds() - cpuStart) / std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(b.afterWait);
    const Sample after = sample();
    std::printf("%-34s %4zu |%s %6ld %6ld %6ld %+5ld | %5ld %5ld %5ld | %5.0f | %7zu %s\n", name, sources,
                reconnectCells(b, start, until).c_str(), before.rss / 1024, peakRSS.load() / 1024, after.rss / 1024,
                (after.rss - b.baselineRSS) / 1024, before.fds, peakFds.load(), after.fds, cpu, b.target.count.load(),
                pairing.c_str());
    std::fflush(stdout);
}

// What the host keeps after a flood when nothing else happens: the
// reconnecting tablets pause (their sessions' ends would release memory of
// their own accord), only the resident session's heartbeats go on, and the
// attackers run in a process of their own. Prints this process's RSS and live
// heap (mallinfo2: allocated chunks and mappings) before, at the peak, and
// after the after-wait.
void floodMemoryRow(Bench& b, const char* name, std::string_view attacker) {
    if (!b.only.empty() && std::none_of(b.only.begin(), b.only.end(), [&](const std::string& text) {
            return std::string_view(name).find(text) != std::string_view::npos;
        })) {
        return;
    }
    const auto pause = [&](bool paused) {
        await(b.tabletLoop, [&]() -> asio::awaitable<void> {
            b.reconnectsPaused = paused;
            co_return;
        }(), "the reconnects' pause");
    };
    pause(true);
    std::this_thread::sleep_for(kReconnectLimit + 1s); // the last reconnect's session has ended
    std::this_thread::sleep_for(3s);                   // and what its end releases is done
    const long rssBefore = residentKiB(), heapBefore = liveHeapKiB();
    const TimedReleases::Sample releasesBefore = b.releases.sample(true);
    std::atomic<long> peakRSS = rssBefore, peakHeap = heapBefore;
    std::atomic<bool> sampling = true;
    std::thread sampler([&] {
        while (sampling) {
            std::this_thread::sleep_for(250ms);
            peakRSS = std::max(peakRSS.load(), residentKiB());
            peakHeap = std::max(peakHeap.load(), liveHeapKiB());
        }
    });
    const std::size_t count =
        AttackerProcess(attacker, b.host.port, kChurnWorkers, kChurnSources, b.attackTime).finish();
    sampling = false;
    sampler.join();
    std::vector<long> rssAfter;
    for (const auto end = Clock::now() + b.afterWait; Clock::now() < end;) {
        std::this_thread::sleep_for(1s);
        rssAfter.push_back(residentKiB());
    }
    const long heapAfter = liveHeapKiB();
    const TimedReleases::Sample releases = b.releases.sample();
    std::printf("%s, no session ending, attackers in a process of their own: RSS MiB %ld before, %ld peak, "
                "after 1 s %ld, after %zu s %ld (%+ld); live heap MiB %ld before, %ld peak, %ld after; "
                "%zu connections; the server returned freed memory %zu times, the longest %.1f ms on its store "
                "worker\n",
                name, rssBefore / 1024, peakRSS.load() / 1024, rssAfter.front() / 1024, rssAfter.size(),
                rssAfter.back() / 1024, (rssAfter.back() - rssBefore) / 1024, heapBefore / 1024, peakHeap.load() / 1024,
                heapAfter / 1024, count, releases.count - releasesBefore.count, releases.longestMs);
    std::fflush(stdout);
    pause(false);
}

int parse(int argc, char** argv, const char* flag, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) return std::clamp(std::atoi(argv[i + 1]), 1, 600);
    }
    return fallback;
}

void setUp(Bench& b) {
    b.resident = b.peer(b.tabletLoop, b.tabletKdf, "Resident iPad");
    await(*b.hostLoop, [&]() -> asio::awaitable<void> {
        b.approvedDevice = b.resident->identity().id;
        co_return;
    }(), "the approved device");
    await(b.tabletLoop, b.resident->openSession(b.host.port, HandshakePurpose::pair), "a pairing", 60s);
    // The others are trusted as a pairing would: the limiter's five a minute are for the rows.
    b.flooder = b.peer(b.attackLoop, b.attackKdf, "Flooding iPad"); // driven by the attack loop
    b.host.trustTablet(*b.flooder);
    b.floodRelay = b.relay("127.0.1.200", 0);
    b.floodPort = b.floodRelay->port();
    b.reconnecting.resize(kExtraMs.size());
    for (std::size_t i = 0; i < kExtraMs.size(); ++i) {
        Reconnecting& tablet = b.reconnecting[i];
        tablet.extraMs = kExtraMs[i];
        tablet.peer = b.peer(b.tabletLoop, b.tabletKdf, "Reconnecting iPad " + std::to_string(tablet.extraMs));
        b.host.trustTablet(*tablet.peer);
        tablet.port = b.host.port;
        if (tablet.extraMs > 0) {
            const std::string source = "127.0.1." + std::to_string(tablet.extraMs);
            tablet.relay = b.relay(source.c_str(), tablet.extraMs);
            tablet.port = tablet.relay->port();
        }
    }
    asio::co_spawn(b.tabletLoop.io, heartbeat(&b), asio::detached);
    std::this_thread::sleep_for(2s);
    for (Reconnecting& tablet : b.reconnecting) {
        asio::co_spawn(b.tabletLoop.io, reconnectEverySecond(&b, &tablet), asio::detached);
    }
    std::this_thread::sleep_for(3s);
}

void printHeader(const Bench& b) {
    const auto count = [](Clock::duration d) {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
    };
    std::printf("AbuseBench: host on 127.0.0.1 with production admission; %lld s per attack, after-wait %lld s\n",
                count(b.attackTime), count(b.afterWait));
    std::printf("%-34s %4s |", "attack", "srcs");
    for (const int extra : kExtraMs) std::printf(" %2d ms ok/try p95 |", extra);
    std::printf(" %-27s | %-17s | %5s | %7s\n", "RSS MiB bef/peak/aft dBase", "fds bef/peak/aft", "CPU%", "count");
    std::printf("  ok/try p95: a paired tablet that many ms further away than loopback (a relay), its reconnects once\n"
                "  a second that succeeded within %lld s / tried, and their p95 in ms; dBase: RSS after against the\n"
                "  RSS before the first row; count: attacking connections opened (pings sent for the flood)\n",
                count(kReconnectLimit));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    runAttackerProcessIfAsked(argc, argv);
    // Run again inside the namespaces the vanished tablet's row makes.
    if (argc > 1 && std::strncmp(argv[1], "--gtest_filter=", 15) == 0) {
        vanishedTabletRow();
        return 1;
    }
    try {
        Bench b(parse(argc, argv, "--seconds", 10), parse(argc, argv, "--after", 10));
        for (int i = 1; i + 1 < argc; ++i) {
            if (std::strcmp(argv[i], "--only") == 0) b.only.emplace_back(argv[i + 1]);
        }
        setUp(b);
        printHeader(b);
        b.baselineRSS = residentKiB();
        constexpr std::array<std::size_t, 3> kSources{1, 8, 253};
        attack(b, "no attack", noAttack, 1, 1);
        for (const std::size_t sources : kSources) {
            attack(b, "32 silent TCP, a 6 s pairing", atHost(silentTCP), 32, sources, true, true);
        }
        for (const std::size_t sources : kSources) {
            const std::size_t fewer = std::min<std::size_t>(4 * sources, 32);
            attack(b, "64 silent TCP", atHost(silentTCP), 64, sources, false, true);
            attack(b, "256 silent TCP", atHost(silentTCP), 256, sources, false, true);
            attack(b, "32 silent after TLS", silentTLS, 32, sources);
            attack(b, "trickling request (14 s)", requests(HandshakePurpose::pair, true, kStepTimeout - 1s), fewer,
                   sources);
            attack(b, "unpaired reconnects, 8 at once", requests(HandshakePurpose::reconnect, true, {}), 8, sources);
            attack(b, "fresh pairing requests", requests(HandshakePurpose::pair, false, {}), fewer, sources);
        }
        attack(b, "5,000 connections/s", atHost(churn), kChurnWorkers, kChurnSources, false, true);
        attack(b, "5,000 connections/s, held", atHost(heldChurn), kChurnWorkers, kChurnSources, false, true);
        attack(b, "5,000 connections/s, 1 byte, held", atHost(heldChurnAfterOneByte), kChurnWorkers, kChurnSources,
               false, true);
        floodMemoryRow(b, "5,000 connections/s, 1 byte, held", "heldChurnAfterOneByte");
        attack(b, "paired tablet stops reading", pingFlood, 1, 1);
        if (b.only.empty()) frozenViewer(b, 60s);

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
            std::printf("flooding tablet: the host ended its first session %.1f s into the attack; "
                        "%zu sessions in all\n",
                        b.floodCutAfter, b.floodSessions);
        }
        std::printf("host sessions at the end: %zu (the resident tablet's, and reconnecting ones' when open)\n",
                    sessionsLeft);
        std::printf("resident session held throughout: %s; pongs %llu; host onError calls %llu\n", held ? "yes" : "NO",
                    static_cast<unsigned long long>(await(b.tabletLoop, [&]() -> asio::awaitable<std::uint64_t> {
                        co_return b.pongs;
                    }(), "pongs")),
                    static_cast<unsigned long long>(b.errors.load()));
        if (b.only.empty()) std::printf("vanished tablet: %s\n", vanishedTabletRow().c_str());
        std::printf("(RSS, descriptors and CPU are the whole process: host, tablets, relays and attackers)\n");
        std::fflush(stdout);
        std::_Exit(0); // the detached loops still refer to the bench
    } catch (const std::exception& e) {
        fail(e.what());
    }
}
