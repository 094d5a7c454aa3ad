#include "transport/server/PeerOutboundScheduler.hpp"

#include "support/TLSTestIdentities.hpp"
#include "support/LoopRunner.hpp"
#include "support/LoopbackListener.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include "transport/video/SessionWireFrameCodec.hpp"
#include "transport/video/VideoFragmentPacket.hpp"

using namespace velorinth;
using namespace velorinth::testing;
using namespace asio::experimental::awaitable_operators;

namespace {

using Result = PeerOutboundScheduler::VideoEnqueueResult;
using Command = SessionControlCommand;
using Channel = SessionBinaryChannel;

const Bytes kTranscript(32, 0x5A);
const Bytes kSessionKey(32, 0x11);
constexpr std::int64_t kChunk = 32'768;

std::shared_ptr<const EncodedVideoFrame> videoFrame(std::uint64_t sequence, bool keyframe,
                                                    std::size_t payloadBytes = 100) {
    auto frame = std::make_shared<EncodedVideoFrame>();
    frame->sequence = sequence;
    frame->payload = Bytes(payloadBytes, 0xAB);
    frame->isKeyframe = keyframe;
    frame->width = frame->height = frame->sourceDisplayWidth = frame->sourceDisplayHeight = 64;
    return frame;
}

SessionControlMessage message(Command command) {
    SessionControlMessage result;
    result.command = command;
    return result;
}

TEST(PeerOutboundSchedulerPolicy, TwoFramesWaitAndOverflowDropsVideoUntilAKeyframe) {
    // The server-ready gate stays shut: nothing drains, the connection is never used.
    velorinth::testing::LoopRunner loop;
    asio::io_context& io = loop.io;
    asio::ssl::context tls{asio::ssl::context::tls_server};
    int keyframeRequests = 0;
    auto scheduler = std::make_shared<PeerOutboundScheduler>(
        io.get_executor(),
        std::make_shared<NetworkFramedConnection>(NetworkFramedConnection::Stream(asio::ip::tcp::socket(io), tls),
                                                  65'536, true),
        std::make_shared<SessionCipher>(kSessionKey, SessionRole::responder), kTranscript, [&] { ++keyframeRequests; });
    struct Step {
        bool keyframe;
        std::size_t bytes;
        Result expected;
        int requests;
    };
    const Step steps[] = {
        {false, 100, {true, 0, 0, 1}, 0},
        {false, 100, {true, 0, 0, 2}, 0},
        {false, 100, {false, 0, 1, 1}, 1},      // evicts the oldest too: one drop for two frames
        {false, 100, {false, 0, 2, 1}, 1},      // recovering: refused, counted, already asked
        {true, 100, {true, 0, 3, 1}, 1},        // purges the frame left waiting, ends recovery
        {false, 100, {true, 0, 3, 2}, 1},
        {true, 100, {true, 0, 5, 1}, 1},        // never refused for lack of room
        {true, 2'097'153, {false, 0, 6, 1}, 1}, // beyond the fixed 2 MiB: a drop, even for a keyframe
        {false, 100, {false, 0, 7, 1}, 1},      // nothing sent since the stall began: no new request
    };
    std::uint64_t sequence = 0;
    loop.call([&] {
        for (const Step& step : steps) {
            EXPECT_EQ(scheduler->enqueueVideo(videoFrame(++sequence, step.keyframe, step.bytes), 0, kChunk),
                      step.expected)
                << "frame " << sequence;
            EXPECT_EQ(keyframeRequests, step.requests) << "frame " << sequence;
        }
        // A new stream starts its stall afresh.
        scheduler->resetVideo();
        EXPECT_FALSE(scheduler->enqueueVideo(videoFrame(++sequence, true, 2'097'153), 0, kChunk).accepted);
        EXPECT_EQ(keyframeRequests, 2);
    });
}

// The tablet's cipher accepts only the next sequence, so every frame read
// proves the host's sequences reach the wire without a gap.
struct Received {
    Channel channel;
    Bytes plaintext;
    Command command() const { return json::decodeFromBytes<SessionControlMessage>(plaintext).command; }
    std::uint64_t frame() const { return VideoFragmentPacket::decode(plaintext, 2'097'152, 128, 65'536).frameSequence; }
};

class LoopbackPeerOutboundScheduler : public ::testing::Test {
protected:
    void SetUp() override {
        tablet = NetworkFramedConnection::connect(h.io.get_executor(), hostEnd.endpoint(), tabletIdentity, std::nullopt,
                                                  kTestFrameLimit, kProtocol);
        h.run([&]() -> asio::awaitable<void> { co_await (acceptHost() && tablet->start()); }());
    }
    void TearDown() override {
        for (const auto& connection : {host, tablet}) {
            if (connection) connection->cancel();
        }
        h.settle();
    }
    // A small send buffer, so a tablet that stops reading stalls the host soon.
    asio::awaitable<void> acceptHost() {
        hostEnd.configureSocket = [](asio::ip::tcp::socket& socket) {
            socket.set_option(asio::socket_base::send_buffer_size(4096));
        };
        host = co_await hostEnd.accept();
    }
    std::shared_ptr<PeerOutboundScheduler> makeScheduler(
        std::chrono::milliseconds bound = 2s,
        std::size_t watermark = PeerOutboundScheduler::kDefaultControlWatermarkBytes) {
        return std::make_shared<PeerOutboundScheduler>(h.io.get_executor(), host, hostCipher, kTranscript, nullptr,
                                                       bound, bound, watermark);
    }
    asio::awaitable<Received> receive() {
        const Bytes bytes = co_await tablet->receiveFrame();
        const auto frame = SessionWireFrameCodec::decode(bytes);
        co_return Received{frame.channel, tabletCipher->open(frame.sequence, frame.body, kTranscript)};
    }
    asio::awaitable<void> collectUntilClosed(std::vector<Received>& into) {
        try {
            for (;;) into.push_back(co_await receive());
        } catch (const NetworkConnectionError&) {
        }
    }

    LoopRunner h;
    TLSDeviceIdentity hostIdentity = makeTestIdentity("Host");
    TLSDeviceIdentity tabletIdentity = makeTestIdentity("Tablet");
    LoopbackAcceptor hostEnd{h.io.get_executor(), hostIdentity};
    std::shared_ptr<NetworkFramedConnection> host, tablet;
    std::shared_ptr<SessionCipher> hostCipher = std::make_shared<SessionCipher>(kSessionKey, SessionRole::responder);
    std::shared_ptr<SessionCipher> tabletCipher = std::make_shared<SessionCipher>(kSessionKey, SessionRole::initiator);
};

TEST_F(LoopbackPeerOutboundScheduler, NothingIsWrittenBeforeServerReadyThenControlLeadsVideo) {
    auto scheduler = makeScheduler();
    h.call([&] { ASSERT_TRUE(scheduler->enqueueVideo(videoFrame(1, true, kChunk + 1), 0, kChunk).accepted); });
    h.call([&] { scheduler->enqueueControl(message(Command::ping)); });
    h.settle();

    const Bytes ready = bytesOf("server ready"); // sealed and written by the handshake itself
    const auto received = h.run([&]() -> asio::awaitable<std::vector<Received>> {
        const auto sealed = hostCipher->seal(ready, kTranscript);
        co_await host->sendRawFrame(
            SessionWireFrameCodec::encode(Channel::control, sealed.sequence, sealed.ciphertext));
        scheduler->startDraining();
        std::vector<Received> items;
        for (int i = 0; i < 4; ++i) items.push_back(co_await receive());
        co_return items;
    }());
    EXPECT_EQ(received[0].plaintext, ready);
    EXPECT_EQ(received[1].command(), Command::ping);
    EXPECT_EQ(received[2].frame(), 1u);
    EXPECT_EQ(received[3].frame(), 1u);
    h.call([&] { EXPECT_EQ(scheduler->videoStatistics(), (PeerOutboundScheduler::VideoStatistics{0, 1, 0})); });
}

TEST_F(LoopbackPeerOutboundScheduler, ControlOvertakesAHalfSentFrameAndTheFinalMessageIsLast) {
    auto scheduler = makeScheduler();
    h.call([&] { scheduler->startDraining(); });
    h.call([&] { ASSERT_TRUE(scheduler->enqueueVideo(videoFrame(1, true, 1'500'000), 0, kChunk).accepted); });
    h.call([&] { ASSERT_TRUE(scheduler->enqueueVideo(videoFrame(2, false), 0, kChunk).accepted); });
    h.settle(); // the tablet is not reading: frame 1 is begun and stalls
    // A keyframe purges frame 2 but keeps the begun frame 1.
    h.call([&] { EXPECT_EQ(scheduler->enqueueVideo(videoFrame(3, true), 0, kChunk), (Result{true, 0, 1, 2})); });

    std::vector<Received> received;
    bool written = false;
    std::int64_t queuedWhenWritten = 0;
    h.run([&]() -> asio::awaitable<void> {
        auto hostSide = [&]() -> asio::awaitable<void> {
            written = co_await scheduler->enqueueControlAndFlush(message(Command::pong));
            queuedWhenWritten = scheduler->videoStatistics().queuedVideoFrames;
            scheduler->enqueueControl(message(Command::hostStateUpdated));
            co_await scheduler->sendFinalControlAndClose(message(Command::disconnect));
            scheduler->enqueueControl(message(Command::ping)); // closed: never sent
        };
        co_await (hostSide() && collectUntilClosed(received));
    }());
    EXPECT_TRUE(written);
    EXPECT_EQ(queuedWhenWritten, 2) << "the flush waited for video";
    std::vector<Command> commands;
    for (const Received& item : received) {
        if (item.channel == Channel::control) commands.push_back(item.command());
    }
    EXPECT_EQ(commands, (std::vector<Command>{Command::pong, Command::hostStateUpdated, Command::disconnect}));
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back().channel, Channel::control) << "video after the final message";
    EXPECT_TRUE(host->didClose());
}

// However many frames a stall drops, the encoder is asked for one keyframe;
// once a frame has gone out, the next drop asks again.
TEST_F(LoopbackPeerOutboundScheduler, AStallAsksForOneKeyframeUntilAFrameIsSent) {
    int requests = 0;
    auto scheduler = std::make_shared<PeerOutboundScheduler>(h.io.get_executor(), host, hostCipher, kTranscript,
                                                             [&] { ++requests; });
    h.call([&] { scheduler->startDraining(); });
    h.call([&] { ASSERT_TRUE(scheduler->enqueueVideo(videoFrame(1, true, 2'000'000), 0, kChunk).accepted); });
    h.settle(); // the tablet is not reading: frame 1 is begun and stalls
    h.call([&] {
        for (std::uint64_t sequence = 2; sequence < 40; ++sequence) {
            scheduler->enqueueVideo(videoFrame(sequence, false), 0, kChunk);
        }
    });
    EXPECT_EQ(requests, 1);
    h.run([&]() -> asio::awaitable<void> {
        while (scheduler->videoStatistics().sentVideoFramesCount == 0) co_await receive();
    }());
    h.call([&] { EXPECT_FALSE(scheduler->enqueueVideo(videoFrame(40, false), 0, kChunk).accepted); });
    EXPECT_EQ(requests, 2);
}

TEST_F(LoopbackPeerOutboundScheduler, ADrainFailureClosesTheConnection) {
    // The host can seal one more message before its sequence space runs out.
    constexpr auto kLast = SessionCipher::kSequenceLimit - 1;
    hostCipher = SessionCipher::makeForTesting(kSessionKey, SessionRole::responder, kLast, 0);
    tabletCipher = SessionCipher::makeForTesting(kSessionKey, SessionRole::initiator, 0, kLast);
    auto scheduler = makeScheduler();
    h.call([&] { scheduler->startDraining(); });
    h.call([&] { scheduler->enqueueControl(message(Command::ping)); });
    h.call([&] { scheduler->enqueueControl(message(Command::pong)); });

    std::vector<Received> received;
    h.run([&]() -> asio::awaitable<void> { co_await (collectUntilClosed(received) || sleepFor(5s)); }());
    ASSERT_EQ(received.size(), 1u) << "the tablet was left connected";
    EXPECT_EQ(received[0].command(), Command::ping);
    EXPECT_TRUE(host->didClose());
    h.call([&] { EXPECT_EQ(scheduler->enqueueVideo(videoFrame(1, true), 0, kChunk), (Result{false, 0, 0, 0})); });
}

TEST_F(LoopbackPeerOutboundScheduler, APeerThatStopsReadingCannotHoldFlushOrFinalClose) {
    // A tablet that never reads past its handshake, with buffers on both ends
    // too small for one fragment: the first send never ends.
    host->cancel();
    auto tabletTLS = TLSTransportSecurity::makeContext(TLSRole::client, tabletIdentity, kProtocol);
    NetworkFramedConnection::Stream silent(h.io, *tabletTLS);
    silent.next_layer().open(asio::ip::tcp::v4());
    silent.next_layer().set_option(asio::socket_base::receive_buffer_size(4096));
    auto silentSide = [&]() -> asio::awaitable<void> {
        co_await silent.next_layer().async_connect({asio::ip::make_address("127.0.0.1"), hostEnd.port()},
                                                   asio::use_awaitable);
        co_await silent.async_handshake(NetworkFramedConnection::Stream::client, asio::use_awaitable);
    };
    h.run([&]() -> asio::awaitable<void> { co_await (acceptHost() && silentSide()); }());

    auto scheduler = makeScheduler(30ms);
    h.call([&] { scheduler->startDraining(); });
    h.call([&] { ASSERT_TRUE(scheduler->enqueueVideo(videoFrame(1, true, 100'000), 0, kChunk).accepted); });
    h.settle();
    EXPECT_FALSE(h.run(scheduler->enqueueControlAndFlush(message(Command::hostStateUpdated)), 5s));
    EXPECT_FALSE(scheduler->isClosed());
    EXPECT_FALSE(host->didClose());
    h.run(scheduler->sendFinalControlAndClose(message(Command::disconnect)), 5s);
    EXPECT_TRUE(scheduler->isClosed());
    EXPECT_TRUE(host->didClose());
}

// Once the socket buffers are full, what the host has to tell a tablet that
// never reads piles up in the queue: past the watermark the session ends.
TEST_F(LoopbackPeerOutboundScheduler, ControlPilingUpForAPeerThatNeverReadsClosesIt) {
    auto scheduler = makeScheduler(2s, 64 * 1024);
    h.call([&] { scheduler->startDraining(); });
    SessionControlMessage large = message(Command::hostStateUpdated);
    large.reason = std::string(4096, 'x');
    for (int round = 0; round < 1000 && !scheduler->isClosed(); ++round) {
        h.call([&] { for (int i = 0; i < 50; ++i) scheduler->enqueueControl(large); });
        h.io.restart();
        h.io.run_for(1ms);
    }
    EXPECT_TRUE(scheduler->isClosed());
    EXPECT_TRUE(host->didClose());
}

} // namespace
