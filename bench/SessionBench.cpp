// Runs the host's session server on 127.0.0.1 (behind a loopback-only
// listener) against real tablet clients and prints: handshake latencies
// measured on the tablets (reconnect, 1, 4 and 16 tablets at a time, and
// pairing approved at once, one tablet at a time); the outbound scheduler's fragment throughput per peer
// with 1 MiB frames; the bytes the host allocates to hand one frame to 1, 4
// and 16 viewers, in the hand-off and until every viewer has it; and a tablet
// session's receive throughput of 1 MiB frames.
// Each throughput stands beside OpenSSL's EVP ChaCha20-Poly1305 on the same
// fragment size, measured in the same run on one thread. Nothing is asserted;
// every wait is bounded.

#include "LoopbackBenchRig.hpp"
#include "SessionBenchSupport.hpp"

#include "core/Constants.hpp"
#include "support/HostRig.hpp"
#include "support/LoopbackListener.hpp"
#include "support/TabletRig.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "platform/tls/TLSTransportSecurity.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "transport/client/ClientSessionConnector.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/PairingKeyDerivation.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/server/HostSessionServer.hpp"
#include "transport/server/PeerOutboundScheduler.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"
#include "transport/video/VideoFragmentPacket.hpp"
#include "transport/video/VideoFrameFragmenter.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Bytes allocated by the thread that counts, while it counts: what the host's
// loop allocates to hand a frame on.
namespace {
thread_local bool tCountingAllocations = false;
thread_local std::uint64_t tAllocatedBytes = 0;
} // namespace

void* operator new(std::size_t size) {
    if (tCountingAllocations) tAllocatedBytes += size;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

using namespace velorinth;
namespace rigs = velorinth::testing; // the test rigs: host, tablet, loopback listener
using namespace std::chrono_literals;
using namespace velorinth::bench;

namespace {

using Connection = NetworkFramedConnection;

constexpr std::array<std::size_t, 3> kTabletCounts{1, 4, 16};
constexpr std::array<int, 3> kReconnectRounds{16, 5, 3};
constexpr std::size_t kTabletLoops = 4;      // the tablets' event loops, and their KDF threads
constexpr std::size_t kFrameBytes = 1 << 20; // one encoded frame
constexpr std::int64_t kChunkBytes = 32'768; // the default stream's fragment payload
constexpr std::size_t kFragmentBytes = VideoFragmentPacket::headerLength + kChunkBytes; // one seal (not the first)

// ---- the host's server, the tablets' connectors, and plain links for the video measurements

struct Link {
    std::shared_ptr<Connection> host;   // on the host loop
    std::shared_ptr<Connection> tablet; // on a tablet loop
};

// Everything that outlives one measurement; the loops halt before the rest goes.
struct Rig {
    Rig() {
        // Approved inside the prompt callback: no approval time is counted, and
        // no other pairing can take the one prompt over before it is answered.
        host.autoAnswer = true;
        host.answerInline = true;
        hostID = host.hostIdentity->publicIdentity(host.hostIdentity->loadOrCreateRecord()).id;
        linkHost = await(hostLoop, [this]() -> asio::awaitable<std::unique_ptr<rigs::LoopbackAcceptor>> {
            co_return std::make_unique<rigs::LoopbackAcceptor>(
                hostLoop.io.get_executor(), identityNamed("Bench Mac links")->tlsIdentity(),
                std::string(VelorinthService::applicationProtocol), VelorinthService::maximumFrameSize);
        }(), "the link listener");
        for (std::size_t i = 0; i < kTabletLoops; ++i) tabletLoops.push_back(std::make_unique<Loop>());
        for (std::size_t i = 0; i < kTabletCounts.back(); ++i) {
            tablets.push_back(makeTablet(*tabletLoops[i % kTabletLoops], tabletKdf, tabletStore));
        }
    }
    ~Rig() {
        hostLoop.halt();
        for (auto& loop : tabletLoops) loop->halt();
    }

    // A loopback link with the product's TLS policy, outside the server, for the video measurements.
    Link link(Loop& tabletLoop) {
        auto accepted = asio::co_spawn(hostLoop.io, linkHost->accept(), asio::use_future);
        Link made{nullptr, Connection::connect(tabletLoop.io.get_executor(), linkHost->endpoint(),
                                               linkIdentity->tlsIdentity(), std::nullopt,
                                               VelorinthService::maximumFrameSize,
                                               VelorinthService::applicationProtocol)};
        auto started = asio::co_spawn(tabletLoop.io, made.tablet->start(), asio::use_future);
        const auto deadline = Clock::now() + kStepLimit;
        waitFor(started, deadline, "a tablet's TLS start");
        made.host = waitFor(accepted, deadline, "the host's TLS start");
        return made;
    }

    // The test rig's host, listening on 127.0.0.1; the production limit (5 pairings a minute)
    // would refuse most of the benchmark's pairings.
    rigs::HostRig host{rigs::HostRig::fastOptions(), 90s, true, 1'000'000};
    Loop hostLoop{host.io};
    std::vector<std::unique_ptr<Loop>> tabletLoops;
    asio::thread_pool tabletKdf{kTabletLoops};
    asio::thread_pool tabletStore{1};
    Uuid hostID;
    std::vector<std::unique_ptr<Tablet>> tablets;
    // The far ends of the video measurements' links, behind the product's listener on 127.0.0.1.
    std::unique_ptr<rigs::LoopbackAcceptor> linkHost;
    std::shared_ptr<DeviceIdentityService> linkIdentity = identityNamed("Bench iPad links");
};

// `rounds` times: `count` tablets connect at once, then all disconnect and the host empties.
std::vector<double> handshakes(Rig& rig, std::size_t count, HandshakePurpose purpose, int rounds) {
    std::vector<double> latencies;
    const std::span<std::unique_ptr<Tablet>> tablets(rig.tablets.data(), count);
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::future<double>> connecting;
        std::vector<std::future<void>> closing;
        for (auto& t : tablets) {
            connecting.push_back(asio::co_spawn(t->loop->io, connectOnce(t.get(), rig.host.port, rig.hostID, purpose),
                                                asio::use_future));
        }
        const auto deadline = Clock::now() + 40s; // concurrent handshakes queue on the host's one KDF thread
        for (auto& future : connecting) latencies.push_back(waitFor(future, deadline, "a handshake"));
        for (auto& t : tablets) {
            closing.push_back(asio::co_spawn(t->loop->io, disconnectOnce(t.get()), asio::use_future));
        }
        for (auto& future : closing) waitFor(future, Clock::now() + kStepLimit, "a disconnect");
        const bool emptied = await(rig.hostLoop, [&]() -> asio::awaitable<bool> {
            asio::steady_timer timer(rig.hostLoop.io);
            for (int i = 0; i < 2500 && !rig.host.server->sessionDescriptors().empty(); ++i) {
                timer.expires_after(2ms);
                co_await timer.async_wait(asio::use_awaitable);
            }
            co_return rig.host.server->sessionDescriptors().empty();
        }(), "the host's sessions to end");
        if (!emptied) fail("the host kept a finished session");
    }
    return latencies;
}

asio::awaitable<void> cancelConnection(std::shared_ptr<Connection> connection) {
    connection->cancel();
    co_return;
}

EncodedVideoFrame benchFrame() {
    EncodedVideoFrame frame;
    frame.streamID = Uuid::random();
    frame.generation = 1;
    frame.durationUs = 16'667;
    frame.payload = randomBytes(kFrameBytes);
    frame.width = frame.sourceDisplayWidth = 1280;
    frame.height = frame.sourceDisplayHeight = 720;
    return frame;
}

// ---- the outbound scheduler, driven directly on the host loop, each peer a link

// The bytes allocated by `call` on this thread.
template <class F>
std::uint64_t allocatedBy(F&& call) {
    const std::uint64_t before = tAllocatedBytes;
    tCountingAllocations = true;
    call();
    tCountingAllocations = false;
    return tAllocatedBytes - before;
}

struct Stream {
    Link link;
    std::shared_ptr<PeerOutboundScheduler> scheduler;
    std::uint64_t nextSequence = 0;
    std::future<void> reader;
};

// Reads and discards every frame until the connection ends.
asio::awaitable<void> discardIncoming(std::shared_ptr<Connection> connection) {
    try {
        for (;;) (void)co_await connection->receiveFrame();
    } catch (const std::exception&) {
    }
}

// Keeps every queue at its two frames (one being sent, one waiting), as a
// source faster than the link would, without overflowing it. Every peer is
// handed the one shared frame, as the server hands it out.
asio::awaitable<void> feedFrames(std::vector<Stream>* streams, std::shared_ptr<const EncodedVideoFrame> frame,
                                 const bool* stop) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    while (!*stop) {
        for (Stream& stream : *streams) {
            PeerOutboundScheduler& scheduler = *stream.scheduler;
            while (scheduler.videoStatistics().queuedVideoFrames < PeerOutboundScheduler::maxQueuedVideoFrames) {
                ++stream.nextSequence;
                if (!scheduler.enqueueVideo(frame, frame->generation, kChunkBytes).accepted) break;
            }
        }
        timer.expires_after(200us);
        co_await timer.async_wait(asio::use_awaitable);
    }
}

struct SchedulerFigures {
    double perPeer = 0;   // median over the slices of the mean per peer, MB/s
    double aggregate = 0; // median over the slices of the sum over peers
    std::uint64_t dropped = 0;
};

SchedulerFigures measureScheduler(Rig& rig, std::size_t peers, const EncodedVideoFrame& frame) {
    std::vector<Stream> streams(peers);
    for (std::size_t i = 0; i < peers; ++i) {
        Loop& tabletLoop = *rig.tabletLoops[i % kTabletLoops];
        streams[i].link = rig.link(tabletLoop);
        streams[i].reader = asio::co_spawn(tabletLoop.io, discardIncoming(streams[i].link.tablet), asio::use_future);
    }
    bool stop = false; // host loop only
    struct Sample { Clock::time_point at; std::uint64_t dropped = 0; std::vector<std::uint64_t> sent; };
    auto sample = [&]() -> asio::awaitable<Sample> {
        Sample s{Clock::now(), 0, {}};
        for (const Stream& stream : streams) {
            const auto statistics = stream.scheduler->videoStatistics();
            s.sent.push_back(statistics.sentVideoFramesCount);
            s.dropped += statistics.droppedVideoFramesCount;
        }
        co_return s;
    };
    await(rig.hostLoop, [&]() -> asio::awaitable<void> {
        for (Stream& stream : streams) {
            stream.scheduler = std::make_shared<PeerOutboundScheduler>(
                rig.hostLoop.io.get_executor(), stream.link.host,
                std::make_shared<SessionCipher>(randomBytes(32), SessionRole::responder), randomBytes(32), [] {});
            stream.scheduler->startDraining();
        }
        co_return;
    }(), "the schedulers to start");
    auto shared = std::make_shared<const EncodedVideoFrame>(frame);
    auto feeding = asio::co_spawn(rig.hostLoop.io, feedFrames(&streams, shared, &stop), asio::use_future);

    std::this_thread::sleep_for(200ms); // warm-up
    std::vector<Sample> samples{await(rig.hostLoop, sample(), "a sample")};
    for (int slice = 0; slice < 3; ++slice) {
        std::this_thread::sleep_for(500ms);
        samples.push_back(await(rig.hostLoop, sample(), "a sample"));
    }
    await(rig.hostLoop, [&]() -> asio::awaitable<void> {
        stop = true;
        for (Stream& stream : streams) stream.scheduler->close();
        co_return;
    }(), "the schedulers to close");
    waitFor(feeding, Clock::now() + kStepLimit, "the feeder");
    for (std::size_t i = 0; i < peers; ++i) {
        await(*rig.tabletLoops[i % kTabletLoops], cancelConnection(streams[i].link.tablet), "a link to close");
        waitFor(streams[i].reader, Clock::now() + kStepLimit, "a reader to end");
    }

    std::vector<double> means, sums;
    for (std::size_t s = 1; s < samples.size(); ++s) {
        std::uint64_t frames = 0;
        for (std::size_t i = 0; i < peers; ++i) frames += samples[s].sent[i] - samples[s - 1].sent[i];
        sums.push_back(megabytesPerSecond(double(frames * kFrameBytes), samples[s].at - samples[s - 1].at));
        means.push_back(sums.back() / double(peers));
    }
    return {median(means), median(sums), samples.back().dropped};
}

// ---- the server's hand-off of one frame to every viewer

struct FanOutFigures {
    double handOff = 0;        // bytes allocated by the distributeVideoFrame call, per frame
    double untilDelivered = 0; // bytes allocated on the host loop from that call until every viewer has the frame
};

// `viewers` tablets (paired earlier) reconnect and ask for a stream, each
// under a generation of its own; the host then hands the server one frame at
// a time, once every viewer has the one before, and counts the bytes its
// loop allocates: in the hand-off itself, and from the hand-off until every
// viewer has the frame (each viewer's fragments sealed and written).
FanOutFigures measureFanOut(Rig& rig, std::size_t viewers, const EncodedVideoFrame& frame) {
    constexpr std::uint64_t kFrames = 8;
    const std::span<std::unique_ptr<Tablet>> tablets(rig.tablets.data(), viewers);
    std::vector<std::shared_ptr<std::atomic<std::uint64_t>>> received;
    for (std::size_t i = 0; i < viewers; ++i) {
        Tablet* tablet = tablets[i].get();
        auto count = std::make_shared<std::atomic<std::uint64_t>>(0);
        received.push_back(count);
        await(
            *tablet->loop,
            [&rig, tablet, count, i]() -> asio::awaitable<void> {
                co_await connectOnce(tablet, rig.host.port, rig.hostID, HandshakePurpose::reconnect);
                tablet->session->setVideoHandlers([count](const EncodedVideoFrame&) { ++*count; }, {});
                co_await tablet->session->configureVideoStream(
                    VideoStreamConfiguration::clamped(Capability::h264, 1280, 720, 30, 3'500'000, 60, 2'097'152,
                                                      kChunkBytes),
                    100 + i);
            }(),
            "a viewer to start streaming");
    }
    const bool streaming = await(
        rig.hostLoop,
        [&]() -> asio::awaitable<bool> {
            asio::steady_timer timer(rig.hostLoop.io);
            for (int i = 0; i < 2500; ++i) {
                const auto sessions = rig.host.server->sessionDescriptors();
                if (std::count_if(sessions.begin(), sessions.end(), [](const auto& d) { return d.isVideoStreaming; }) ==
                    static_cast<std::ptrdiff_t>(viewers)) {
                    co_return true;
                }
                timer.expires_after(2ms);
                co_await timer.async_wait(asio::use_awaitable);
            }
            co_return false;
        }(),
        "the viewers to stream");
    if (!streaming) fail("a viewer never streamed");

    std::uint64_t handOff = 0, untilDelivered = 0;
    for (std::uint64_t n = 1; n <= kFrames; ++n) {
        auto next = std::make_shared<EncodedVideoFrame>(frame);
        next->sequence = n;
        const std::uint64_t start = await(
            rig.hostLoop,
            [&]() -> asio::awaitable<std::uint64_t> {
                const std::uint64_t before = tAllocatedBytes;
                handOff += allocatedBy([&] { rig.host.server->distributeVideoFrame(next); });
                tCountingAllocations = true; // on, until every viewer has the frame
                co_return before;
            }(),
            "a hand-off");
        const auto deadline = Clock::now() + kStepLimit;
        while (Clock::now() < deadline &&
               std::any_of(received.begin(), received.end(), [n](const auto& count) { return *count < n; })) {
            std::this_thread::sleep_for(200us);
        }
        untilDelivered += await(
            rig.hostLoop,
            [&]() -> asio::awaitable<std::uint64_t> {
                tCountingAllocations = false;
                co_return tAllocatedBytes - start;
            }(),
            "the count");
        if (std::any_of(received.begin(), received.end(), [n](const auto& count) { return *count < n; })) {
            fail("a viewer did not receive a frame");
        }
    }
    for (auto& tablet : tablets) {
        await(*tablet->loop, disconnectOnce(tablet.get()), "a viewer to leave");
    }
    return {double(handOff) / double(kFrames), double(untilDelivered) / double(kFrames)};
}

// ---- the tablet session receiving pre-sealed frames

// Frames are sealed ahead of each round, so what is timed is the host's
// writes and the tablet's TLS read, open, reassembly and frame callback.
std::vector<double> measureClientReceive(Rig& rig, EncodedVideoFrame frame) {
    constexpr int kRounds = 5;
    constexpr std::size_t kFramesPerRound = 24;
    constexpr std::int64_t kHostMaxFrameBytes = VideoFrameFragmenter::hostMaxFrameBytes;
    Loop& tabletLoop = *rig.tabletLoops[0];
    const Bytes key = randomBytes(32), transcript = randomBytes(32);
    const Link link = rig.link(tabletLoop);
    std::shared_ptr<AuthenticatedClientSession> session;
    std::atomic<std::uint64_t> received{0};
    std::atomic<Clock::rep> lastFrameAt{0};
    std::atomic<bool> ended{false};
    await(tabletLoop, [&]() -> asio::awaitable<void> {
        ActiveSessionDescriptor descriptor; // a session allowed to view the screen
        descriptor.id = Uuid::random();
        descriptor.acceptedCapabilities = {Capability::h264};
        descriptor.grantedPermissions = DevicePermissions::all;
        AuthenticatedClientSession::Handlers handlers;
        handlers.onVideoFrameReceived = [&](const EncodedVideoFrame&) {
            lastFrameAt = Clock::now().time_since_epoch().count();
            ++received;
        };
        handlers.onTerminated = [&](const SessionTerminationReason&) { ended = true; };
        session =
            std::make_shared<AuthenticatedClientSession>(tabletLoop.io.get_executor(), descriptor, link.tablet,
                                                         std::make_shared<SessionCipher>(key, SessionRole::initiator),
                                                         transcript, nullptr, rig.tabletStore, handlers);
        session->start(60s); // one ping, then quiet
        co_return;
    }(), "the tablet session to start");

    SessionCipher hostCipher(key, SessionRole::responder);
    std::vector<double> rounds;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<Bytes> wire;
        for (std::size_t i = 0; i < kFramesPerRound; ++i) {
            frame.sequence += 1;
            for (const Bytes& packet : VideoFrameFragmenter::fragment(frame, kChunkBytes, kHostMaxFrameBytes,
                                                                      VideoFrameFragmenter::hostMaxFragmentsPerFrame)) {
                const EncryptedSessionMessage sealed = hostCipher.seal(packet, transcript);
                wire.push_back(SessionWireFrameCodec::encode(SessionBinaryChannel::videoFragment, sealed.sequence,
                                                             sealed.ciphertext));
            }
        }
        const std::uint64_t target = received + kFramesPerRound;
        const auto start = Clock::now();
        await(rig.hostLoop, [&]() -> asio::awaitable<void> {
            for (Bytes& frameBytes : wire) co_await link.host->sendRawFrame(std::move(frameBytes));
        }(), "the host's writes");
        const auto deadline = Clock::now() + kStepLimit;
        while (received < target && !ended && Clock::now() < deadline) std::this_thread::sleep_for(200us);
        if (received < target) fail("the tablet session did not receive every frame");
        const auto end = Clock::time_point(Clock::duration(lastFrameAt.load()));
        rounds.push_back(megabytesPerSecond(double(kFramesPerRound * kFrameBytes), end - start));
    }
    await(tabletLoop, [&]() -> asio::awaitable<void> {
        co_await session->disconnect("Benchmark over.");
        session.reset();
    }(), "the tablet session to end");
    await(rig.hostLoop, cancelConnection(link.host), "the host link to close");
    return rounds;
}

void run(Rig& rig) {
    const auto began = Clock::now();
    std::printf("SessionBench on 127.0.0.1, %u hardware threads. Host: 1 loop thread + 1 KDF thread; "
                "tablets: %zu loops + %zu KDF threads.\n\n",
                std::thread::hardware_concurrency(), kTabletLoops, kTabletLoops);

    // Pairing first, one tablet after another (the host holds its one prompt for
    // a pairing from its request on and refuses others meanwhile as busy): it
    // leaves every tablet trusted on both sides for the reconnections.
    std::array<std::vector<double>, 3> reconnections;
    std::vector<double> pairings;
    handshakes(rig, 1, HandshakePurpose::pair, 1); // warm-up
    for (std::size_t t = 0; t < rig.tablets.size(); ++t) {
        std::swap(rig.tablets[0], rig.tablets[t]);
        const std::vector<double> one = handshakes(rig, 1, HandshakePurpose::pair, 1);
        pairings.insert(pairings.end(), one.begin(), one.end());
        std::swap(rig.tablets[0], rig.tablets[t]);
    }
    for (std::size_t c = 0; c < kTabletCounts.size(); ++c) {
        reconnections[c] = handshakes(rig, kTabletCounts[c], HandshakePurpose::reconnect, kReconnectRounds[c]);
    }
    std::vector<double> derivations;
    for (int i = 0; i < 5; ++i) {
        const Bytes secret = randomBytes(32), transcript = randomBytes(32);
        const auto start = Clock::now();
        (void)PairingKeyDerivation::verificationCode(secret, transcript);
        derivations.push_back(milliseconds(Clock::now() - start));
    }
    std::printf("Handshake latency on each tablet, connect call (TCP connect) to running session:\n");
    std::printf("  reconnections, tablets at once |  p50       p95    n\n");
    for (std::size_t c = 0; c < kTabletCounts.size(); ++c) {
        std::printf("  %30zu | %5.1f ms %6.1f ms %4zu\n", kTabletCounts[c], percentile(reconnections[c], 0.5),
                    percentile(reconnections[c], 0.95), reconnections[c].size());
    }
    std::printf("  pairings, one at a time        | %5.1f ms %6.1f ms %4zu\n", percentile(pairings, 0.5),
                percentile(pairings, 0.95), pairings.size());
    std::printf("  Pairings are approved inside the prompt callback (no approval time). The verification-code\n"
                "  derivation alone (scrypt N=%llu r=%u) takes %.1f ms (median); only a pairing runs it, on both\n"
                "  devices at once; the host's one KDF thread takes concurrent pairings in turn.\n\n",
                static_cast<unsigned long long>(PairingKeyDerivation::kScryptN), PairingKeyDerivation::kScryptR,
                median(derivations));

    const EncodedVideoFrame frame = benchFrame();
    std::printf("Host outbound scheduler, 1 MiB frames, %lld B chunks (%zu B sealed per fragment, then TLS-written);\n"
                "PeerOutboundScheduler driven directly on the host loop, one loopback TLS link per peer whose far\n"
                "end reads and discards:\n",
                static_cast<long long>(kChunkBytes), kFragmentBytes);
    std::printf("  peers | per peer MB/s | all peers MB/s | drops\n");
    for (std::size_t peers : kTabletCounts) {
        const SchedulerFigures f = measureScheduler(rig, peers, frame);
        std::printf("  %5zu | %13.0f | %14.0f | %5llu\n", peers, f.perPeer, f.aggregate,
                    static_cast<unsigned long long>(f.dropped));
    }
    const EvpFigures evp = evpReference(kFragmentBytes);
    std::printf("  reference: EVP ChaCha20-Poly1305 seal of %zu B on one thread: %.0f MB/s\n\n", kFragmentBytes,
                evp.seal);

    std::printf("Host hand-off of one 1 MiB frame to every streaming viewer (each viewer under a generation of\n"
                "its own), bytes allocated per frame on the host loop: by the distributeVideoFrame call, and from\n"
                "that call until every viewer has the frame (its fragments sealed and written for each viewer):\n");
    std::printf("  viewers | in the call | per viewer | until delivered | per viewer\n");
    for (std::size_t viewers : kTabletCounts) {
        const FanOutFigures f = measureFanOut(rig, viewers, frame);
        std::printf("  %7zu | %11.0f | %10.0f | %15.0f | %10.0f\n", viewers, f.handOff, f.handOff / double(viewers),
                    f.untilDelivered, f.untilDelivered / double(viewers));
    }
    std::printf("\n");

    const std::vector<double> receive = measureClientReceive(rig, frame);
    std::printf("Tablet session receive, 1 MiB frames through TLS read, open and reassembly (5 rounds of 24\n"
                "pre-sealed frames): median %.0f MB/s (min %.0f, max %.0f)\n",
                median(receive), percentile(receive, 0), percentile(receive, 1));
    std::printf("  reference: EVP ChaCha20-Poly1305 open of %zu B on one thread: %.0f MB/s\n", kFragmentBytes,
                evp.open);

    await(rig.hostLoop, rig.host.server->stop(), "the server to stop");
    rig.hostLoop.halt();
    if (!rig.host.errors.empty()) std::printf("\nThe host reported %zu connection error(s).\n", rig.host.errors.size());
    std::printf("\n(MB = 10^6 bytes; the whole run took %.1f s)\n",
                std::chrono::duration<double>(Clock::now() - began).count());
}

} // namespace

int main() {
    try {
        auto rig = std::make_unique<Rig>();
        run(*rig);
        return 0;
    } catch (const std::exception& e) {
        fail(e.what());
    }
}
