// Runs the host's session server on 127.0.0.1 (behind a loopback-only
// listener) against real tablet clients and prints: handshake latencies
// measured on the tablets (reconnect, and pairing approved at once, 1, 4 and 16
// tablets at a time); the outbound scheduler's fragment throughput per peer
// with 1 MiB frames; and a tablet session's receive throughput of 1 MiB frames.
// Each throughput stands beside OpenSSL's EVP ChaCha20-Poly1305 on the same
// fragment size, measured in the same run on one thread. Nothing is asserted;
// every wait is bounded.

#include "core/Constants.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/SessionSocket.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "platform/tls/TLSTransportSecurity.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "transport/client/ClientSessionConnector.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingKeyDerivation.hpp"
#include "transport/security/PairingReplayGuard.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/server/HostSessionServer.hpp"
#include "transport/server/PeerOutboundScheduler.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"
#include "transport/video/VideoFragmentPacket.hpp"
#include "transport/video/VideoFrameFragmenter.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace velorinth;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
using Connection = NetworkFramedConnection;

constexpr std::array<std::size_t, 3> kTabletCounts{1, 4, 16};
constexpr std::array<int, 3> kPairRounds{5, 3, 2}, kReconnectRounds{16, 5, 3};
constexpr std::size_t kTabletLoops = 4;      // the tablets' event loops, and their KDF threads
constexpr std::size_t kFrameBytes = 1 << 20; // one encoded frame
constexpr std::int64_t kChunkBytes = 32'768; // the default stream's fragment payload
constexpr std::size_t kFragmentBytes = VideoFragmentPacket::headerLength + kChunkBytes; // one seal (not the first)
constexpr Clock::duration kStepLimit = 10s;  // the bound of any one wait

volatile std::uint8_t gSink = 0;

// The loops may still run work that refers to the caller's state: leave at once.
[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "SessionBench failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

// One event loop on its own thread.
struct Loop {
    Loop() : thread([this] { io.run(); }) {}
    ~Loop() { halt(); }
    void halt() {
        work.reset();
        io.stop();
        if (thread.joinable()) thread.join();
    }
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread;
};

template <class T>
T waitFor(std::future<T>& future, Clock::time_point deadline, const char* what) {
    if (future.wait_until(deadline) != std::future_status::ready) fail(std::string("timed out waiting for ") + what);
    try {
        return future.get();
    } catch (const std::exception& e) {
        fail(std::string(what) + ": " + e.what());
    }
}

// Runs `body` on `loop` and waits for it, for at most `limit`.
template <class T>
T await(Loop& loop, asio::awaitable<T> body, const char* what, Clock::duration limit = kStepLimit) {
    auto future = asio::co_spawn(loop.io, std::move(body), asio::use_future);
    return waitFor(future, Clock::now() + limit, what);
}

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double megabytesPerSecond(double bytes, Clock::duration d) {
    return bytes / std::chrono::duration<double>(d).count() / 1e6;
}

// Nearest rank.
double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}
double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

std::shared_ptr<DeviceIdentityService> identityNamed(std::string name) {
    return std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(),
                                                   [name = std::move(name)] { return name; });
}

// ---- the reference: EVP ChaCha20-Poly1305, one reused context per direction

struct EvpFigures {
    double seal = 0, open = 0; // MB/s
};

// One message either way; the tag is written (seal) or checked (open) at `tag`.
bool evpCrypt(EVP_CIPHER_CTX* c, bool seal, std::uint64_t counter, ByteView ad, ByteView in, std::uint8_t* out,
              std::uint8_t* tag) {
    std::array<std::uint8_t, 12> iv{};
    for (int i = 0; i < 8; ++i) iv[4 + i] = static_cast<std::uint8_t>(counter >> (56 - 8 * i));
    int n = 0;
    return EVP_CipherInit_ex(c, nullptr, nullptr, nullptr, iv.data(), seal ? 1 : 0) == 1 &&
           EVP_CipherUpdate(c, nullptr, &n, ad.data(), static_cast<int>(ad.size())) == 1 &&
           EVP_CipherUpdate(c, out, &n, in.data(), static_cast<int>(in.size())) == 1 &&
           (seal || EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_SET_TAG, 16, tag) == 1) &&
           EVP_CipherFinal_ex(c, out + n, &n) == 1 &&
           (!seal || EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_GET_TAG, 16, tag) == 1);
}

EvpFigures evpReference(std::size_t size) {
    struct Free {
        void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
    };
    const Bytes key = randomBytes(32), ad = randomBytes(32), plaintext = randomBytes(size);
    std::unique_ptr<EVP_CIPHER_CTX, Free> enc(EVP_CIPHER_CTX_new()), dec(EVP_CIPHER_CTX_new());
    if (!enc || !dec || EVP_CipherInit_ex(enc.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nullptr, 1) != 1 ||
        EVP_CipherInit_ex(dec.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nullptr, 0) != 1) {
        fail("EVP init");
    }
    constexpr std::size_t kBatch = 32;
    std::vector<Bytes> sealed(kBatch, Bytes(size + 16));
    Bytes out(size);
    std::vector<double> seals, opens;
    for (std::uint64_t slice = 0; slice < 7; ++slice) {
        for (const bool seal : {true, false}) {
            const auto start = Clock::now();
            for (std::size_t i = 0; i < kBatch; ++i) {
                std::uint8_t* tag = sealed[i].data() + size;
                if (seal ? !evpCrypt(enc.get(), true, slice * kBatch + i, ad, plaintext, sealed[i].data(), tag)
                         : !evpCrypt(dec.get(), false, slice * kBatch + i, ad, ByteView(sealed[i]).first(size),
                                     out.data(), tag)) {
                    fail("EVP ChaCha20-Poly1305");
                }
                gSink = gSink ^ out[0];
            }
            (seal ? seals : opens).push_back(megabytesPerSecond(double(kBatch * size), Clock::now() - start));
        }
    }
    return {median(seals), median(opens)};
}

// ---- the host's server, the tablets' connectors, and plain links for the video measurements

struct Link {
    std::shared_ptr<Connection> host;   // on the host loop
    std::shared_ptr<Connection> tablet; // on a tablet loop
};

asio::awaitable<std::shared_ptr<Connection>> acceptTLS(asio::ip::tcp::acceptor* acceptor, asio::ssl::context* tls) {
    asio::ip::tcp::socket socket = co_await acceptor->async_accept(asio::use_awaitable);
    configureSessionSocket(socket);
    auto connection =
        std::make_shared<Connection>(std::move(socket), *tls, VelorinthService::maximumFrameSize, true);
    co_await connection->start();
    co_return connection;
}

// The production listener binds every interface; this one binds 127.0.0.1 only
// and otherwise does its work: TLS with the product's server context under the
// handshake timeout, within the handshake budget, then the stream to the server.
class LoopbackListener final : public SessionListener {
public:
    static std::unique_ptr<SessionListener> create(const asio::any_io_executor& executor,
                                                   const TLSDeviceIdentity& identity, Options options,
                                                   Handlers handlers) {
        auto listener = std::make_unique<LoopbackListener>();
        listener->state_ = std::make_shared<State>(State{
            executor, TLSTransportSecurity::makeContext(TLSRole::server, identity, options.applicationProtocol),
            std::move(options), std::move(handlers), asio::ip::tcp::acceptor(executor), std::nullopt});
        return listener;
    }
    ~LoopbackListener() override { close(); }

    void start() override {
        auto s = state_;
        std::error_code error;
        s->acceptor.open(asio::ip::tcp::v4(), error);
        if (!error) s->acceptor.bind({asio::ip::address_v4::loopback(), s->options.port}, error);
        if (!error) s->acceptor.listen(asio::socket_base::max_listen_connections, error);
        if (!error) s->port = s->acceptor.local_endpoint(error).port();
        asio::post(s->executor, [s, error] {
            if (error && s->handlers.onFailed) s->handlers.onFailed(error);
            if (!error && s->handlers.onReady) s->handlers.onReady(*s->port);
        });
        if (!error) asio::co_spawn(s->executor, acceptLoop(s), asio::detached);
    }
    void stop() override {
        close();
        asio::post(state_->executor, [done = state_->handlers.onCancelled] {
            if (done) done();
        });
    }
    std::optional<std::uint16_t> port() const override { return state_->port; }

private:
    struct State {
        asio::any_io_executor executor;
        std::shared_ptr<asio::ssl::context> tls;
        Options options;
        Handlers handlers;
        asio::ip::tcp::acceptor acceptor;
        std::optional<std::uint16_t> port;
    };

    void close() {
        std::error_code ignored;
        state_->port.reset();
        state_->acceptor.close(ignored);
    }

    static asio::awaitable<void> acceptLoop(std::shared_ptr<State> s) {
        for (;;) {
            std::error_code error;
            auto socket = co_await s->acceptor.async_accept(asio::redirect_error(asio::use_awaitable, error));
            if (error || !s->acceptor.is_open()) co_return;
            std::optional<HandshakeSlot> slot = s->options.handshakeBudget->tryAcquire();
            if (!slot) continue; // over the budget: closed before any TLS work
            configureSessionSocket(socket);
            asio::co_spawn(s->executor, handshake(s, std::move(socket), std::move(*slot)), asio::detached);
        }
    }

    static asio::awaitable<void> handshake(std::shared_ptr<State> s, asio::ip::tcp::socket socket, HandshakeSlot slot) {
        Stream stream(std::move(socket), *s->tls);
        auto finished = std::make_shared<bool>(false); // the timer's handler may run after this frame is gone
        asio::steady_timer deadline(s->executor, s->options.handshakeTimeout);
        deadline.async_wait([&stream, finished](std::error_code expired) {
            std::error_code ignored;
            if (!expired && !*finished) stream.lowest_layer().close(ignored);
        });
        std::error_code error;
        co_await stream.async_handshake(Stream::server, asio::redirect_error(asio::use_awaitable, error));
        *finished = true;
        deadline.cancel();
        if (!error && s->acceptor.is_open() && s->handlers.onConnection) {
            s->handlers.onConnection(std::move(stream), std::move(slot));
        }
    }

    std::shared_ptr<State> state_;
};

struct Tablet {
    Loop* loop = nullptr;
    std::shared_ptr<DeviceIdentityService> identity;
    std::shared_ptr<TrustedDeviceStore> trust =
        std::make_shared<TrustedDeviceStore>(std::make_shared<InMemorySecureStore>());
    std::unique_ptr<ClientSessionConnector> connector;
    std::shared_ptr<AuthenticatedClientSession> session;
    std::optional<TrustedDevice> hostRecord; // written by its pairing
};

// Everything that outlives one measurement; the loops halt before the rest goes.
struct Rig {
    Rig() {
        hostID = hostIdentity->publicIdentity(hostIdentity->loadOrCreateRecord()).id;
        server = std::make_shared<HostSessionServer>(
            hostLoop.io.get_executor(), hostIdentity,
            std::make_shared<TrustedDeviceStore>(std::make_shared<InMemorySecureStore>()),
            std::make_shared<PairingReplayGuard>(std::chrono::seconds(300)),
            // The production limit (5 a minute) would refuse most of the benchmark's pairings.
            std::make_shared<PairingAttemptLimiter>(1'000'000, std::chrono::seconds(60)), hostKdf, hostStore, 15s, 90s,
            CapabilitySet{Capability::h264, Capability::pointer, Capability::keyboard}, DevicePermissions::connect,
            HostSessionServer::Options{.listenerFactory = LoopbackListener::create});
        port = await(hostLoop, listen(), "the listener");
        for (std::size_t i = 0; i < kTabletLoops; ++i) tabletLoops.push_back(std::make_unique<Loop>());
        for (std::size_t i = 0; i < kTabletCounts.back(); ++i) {
            auto tablet = std::make_unique<Tablet>();
            tablet->loop = tabletLoops[i % kTabletLoops].get();
            tablet->identity = identityNamed("Bench iPad " + std::to_string(i + 1));
            tablet->identity->loadOrCreateRecord();
            tablet->connector = std::make_unique<ClientSessionConnector>(
                tablet->loop->io.get_executor(), tabletKdf,
                ClientSessionConnector::Timing{kStepLimit, kStepLimit, 30s, 2s});
            tablets.push_back(std::move(tablet));
        }
    }
    ~Rig() {
        hostLoop.halt();
        for (auto& loop : tabletLoops) loop->halt();
    }

    asio::awaitable<std::uint16_t> listen() {
        HostSessionServer::Callbacks callbacks;
        std::weak_ptr<HostSessionServer> weak = server;
        // Approved inside the prompt callback: no approval time is counted, and
        // no other pairing can take the one prompt over before it is answered.
        callbacks.onPromptChanged = [weak](const std::optional<IncomingPairingPrompt>& prompt) {
            if (auto self = weak.lock(); self && prompt) self->resolvePendingPairing(true, prompt->id);
        };
        callbacks.onError = [this](std::exception_ptr) { ++errors; };
        server->setCallbacks(std::move(callbacks));
        server->startListening(0, false);
        co_return co_await server->waitForListeningPort(5s);
    }

    // A loopback link with the product's TLS policy, outside the server, for the video measurements.
    Link link(Loop& tabletLoop) {
        auto accepted = asio::co_spawn(hostLoop.io, acceptTLS(&acceptor, linkTLS.get()), asio::use_future);
        const Connection::Endpoint endpoint{"127.0.0.1", acceptor.local_endpoint().port()};
        Link made{nullptr, Connection::connect(tabletLoop.io.get_executor(), endpoint, linkIdentity->tlsIdentity(),
                                               std::nullopt, VelorinthService::maximumFrameSize,
                                               VelorinthService::applicationProtocol)};
        auto started = asio::co_spawn(tabletLoop.io, made.tablet->start(), asio::use_future);
        const auto deadline = Clock::now() + kStepLimit;
        waitFor(started, deadline, "a tablet's TLS start");
        made.host = waitFor(accepted, deadline, "the host's TLS start");
        return made;
    }

    Loop hostLoop;
    std::vector<std::unique_ptr<Loop>> tabletLoops;
    asio::thread_pool hostKdf{1};
    asio::thread_pool hostStore{1};
    asio::thread_pool tabletKdf{kTabletLoops};
    std::shared_ptr<DeviceIdentityService> hostIdentity = identityNamed("Bench Mac");
    std::shared_ptr<HostSessionServer> server;
    Uuid hostID;
    std::uint16_t port = 0;
    std::atomic<int> errors{0};
    std::vector<std::unique_ptr<Tablet>> tablets;
    asio::ip::tcp::acceptor acceptor{hostLoop.io, {asio::ip::address_v4::loopback(), 0}};
    std::shared_ptr<asio::ssl::context> linkTLS = TLSTransportSecurity::makeContext(
        TLSRole::server, identityNamed("Bench Mac links")->tlsIdentity(), VelorinthService::applicationProtocol);
    std::shared_ptr<DeviceIdentityService> linkIdentity = identityNamed("Bench iPad links");
};

// From the connect call (TCP connect, TLS, handshake, ready messages) to the started session.
asio::awaitable<double> connectOnce(Tablet* tablet, const Rig* rig, HandshakePurpose purpose) {
    ClientSessionConnector::Request request;
    request.endpoint = {"127.0.0.1", rig->port};
    request.identityService = tablet->identity;
    request.trustedDeviceStore = tablet->trust;
    request.purpose = purpose;
    if (purpose == HandshakePurpose::reconnect) request.trustedHost = tablet->hostRecord;
    request.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
    request.confirmVerificationCode = [](const PairingVerification&) -> asio::awaitable<bool> { co_return true; };
    const auto start = Clock::now();
    tablet->session = co_await tablet->connector->connect(std::move(request));
    const double elapsed = milliseconds(Clock::now() - start);
    if (purpose == HandshakePurpose::pair) tablet->hostRecord = tablet->trust->device(rig->hostID);
    co_return elapsed;
}

asio::awaitable<void> disconnectOnce(Tablet* tablet) {
    if (auto session = std::exchange(tablet->session, nullptr)) co_await session->disconnect("Benchmark round over.");
}

// `rounds` times: `count` tablets connect at once, then all disconnect and the host empties.
std::vector<double> handshakes(Rig& rig, std::size_t count, HandshakePurpose purpose, int rounds) {
    std::vector<double> latencies;
    const std::span<std::unique_ptr<Tablet>> tablets(rig.tablets.data(), count);
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::future<double>> connecting;
        std::vector<std::future<void>> closing;
        for (auto& t : tablets) {
            connecting.push_back(asio::co_spawn(t->loop->io, connectOnce(t.get(), &rig, purpose), asio::use_future));
        }
        const auto deadline = Clock::now() + 40s; // concurrent handshakes queue on the host's one KDF thread
        for (auto& future : connecting) latencies.push_back(waitFor(future, deadline, "a handshake"));
        for (auto& t : tablets) {
            closing.push_back(asio::co_spawn(t->loop->io, disconnectOnce(t.get()), asio::use_future));
        }
        for (auto& future : closing) waitFor(future, Clock::now() + kStepLimit, "a disconnect");
        const bool emptied = await(rig.hostLoop, [&]() -> asio::awaitable<bool> {
            asio::steady_timer timer(rig.hostLoop.io);
            for (int i = 0; i < 2500 && !rig.server->sessionDescriptors().empty(); ++i) {
                timer.expires_after(2ms);
                co_await timer.async_wait(asio::use_awaitable);
            }
            co_return rig.server->sessionDescriptors().empty();
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
// source faster than the link would, without overflowing it.
asio::awaitable<void> feedFrames(std::vector<Stream>* streams, EncodedVideoFrame frame, const bool* stop) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    while (!*stop) {
        for (Stream& stream : *streams) {
            PeerOutboundScheduler& scheduler = *stream.scheduler;
            while (scheduler.videoStatistics().queuedVideoFrames < PeerOutboundScheduler::maxQueuedVideoFrames) {
                frame.sequence = ++stream.nextSequence;
                if (!scheduler.enqueueVideo(frame, kChunkBytes).accepted) break;
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
    auto feeding = asio::co_spawn(rig.hostLoop.io, feedFrames(&streams, frame, &stop), asio::use_future);

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
        session = std::make_shared<AuthenticatedClientSession>(
            tabletLoop.io.get_executor(), descriptor, link.tablet,
            std::make_shared<SessionCipher>(key, SessionRole::initiator), transcript, nullptr, handlers);
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

    // Pairing first: it leaves every tablet trusted on both sides for the reconnections.
    std::array<std::vector<double>, 3> pairings, reconnections;
    handshakes(rig, 1, HandshakePurpose::pair, 1); // warm-up
    for (std::size_t c = 0; c < kTabletCounts.size(); ++c) {
        pairings[c] = handshakes(rig, kTabletCounts[c], HandshakePurpose::pair, kPairRounds[c]);
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
    std::printf("Handshake latency on each tablet, connect call (TCP connect) to running session, tablets at once:\n");
    std::printf("  tablets |  reconnect p50       p95    n |  pairing p50       p95    n\n");
    for (std::size_t c = 0; c < kTabletCounts.size(); ++c) {
        std::printf("  %7zu | %11.1f ms %7.1f ms %4zu | %9.1f ms %7.1f ms %4zu\n", kTabletCounts[c],
                    percentile(reconnections[c], 0.5), percentile(reconnections[c], 0.95), reconnections[c].size(),
                    percentile(pairings[c], 0.5), percentile(pairings[c], 0.95), pairings[c].size());
    }
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

    const std::vector<double> receive = measureClientReceive(rig, frame);
    std::printf("Tablet session receive, 1 MiB frames through TLS read, open and reassembly (5 rounds of 24\n"
                "pre-sealed frames): median %.0f MB/s (min %.0f, max %.0f)\n",
                median(receive), percentile(receive, 0), percentile(receive, 1));
    std::printf("  reference: EVP ChaCha20-Poly1305 open of %zu B on one thread: %.0f MB/s\n", kFragmentBytes,
                evp.open);

    await(rig.hostLoop, rig.server->stop(), "the server to stop");
    if (rig.errors > 0) std::printf("\nThe host reported %d connection error(s).\n", rig.errors.load());
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
