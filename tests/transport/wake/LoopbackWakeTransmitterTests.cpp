// The default transmitter against real sockets on loopback: datagrams to a
// receiver on every address, and the sleep-proxy probe against a listener.

#include "transport/wake/LocalWakeError.hpp"
#include "transport/wake/POSIXUDPWakeTransmitter.hpp"

#include "support/LoopRunner.hpp"
#include "support/UdpReceiver.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <gtest/gtest.h>

#include <string>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using testing::expectFailure;
using testing::LoopRunner;
using testing::outcome;

const WakeMagicPacket kPacket(std::string_view("02:00:00:00:50:02"));

TEST(LoopbackWakeTransmitter, UnicastAndBroadcastCarryTheExactPayload) {
    LoopRunner loop;
    testing::UdpReceiver receiver;
    POSIXUDPWakeTransmitter transmitter(true);
    for (const auto& [address, broadcast] : {std::pair{"127.0.0.1", false}, std::pair{"127.255.255.255", true}}) {
        SCOPED_TRACE(address);
        loop.run(
            transmitter.send(kPacket, WakeUDPTarget(address, receiver.port(), broadcast, WakeInterfaceKind::ethernet)));
        EXPECT_EQ(receiver.next(), kPacket.payload());
    }
}

TEST(LoopbackWakeTransmitter, RefusalsCarryTheirTextsAndSendNothing) {
    LoopRunner loop;
    testing::UdpReceiver receiver;
    struct Row {
        bool allowLoopback;
        std::string address;
        bool broadcast;
        std::string text;
    };
    const Row rows[] = {
        // A unicast send never enables broadcast, so the system refuses it (EACCES).
        {true, "127.255.255.255", false, "Couldn't send local wake packet: UDP send failed (errno 13)."},
        {true, " 127.0.0.1", false, "Invalid local wake destination: Unable to encode IPv4 socket address."},
        {false, "127.0.0.1", false,
         "Invalid local wake destination: Destination 127.0.0.1 is outside private LAN / link-local ranges."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address);
        POSIXUDPWakeTransmitter transmitter(row.allowLoopback);
        const auto failure = loop.run(outcome(transmitter.send(
            kPacket, WakeUDPTarget(row.address, receiver.port(), row.broadcast, WakeInterfaceKind::ethernet))));
        EXPECT_EQ(expectFailure<LocalWakeError>(failure).what(), row.text);
        EXPECT_TRUE(receiver.nothingArrived());
    }
}

// Parks until its task is cancelled, then sends: the transmitter's own check must refuse.
asio::awaitable<void> sendOnceCancelled(POSIXUDPWakeTransmitter& transmitter, WakeUDPTarget target) {
    co_await asio::this_coro::throw_if_cancelled(false);
    asio::steady_timer parked(co_await asio::this_coro::executor, 1h);
    asio::error_code cancelled;
    co_await parked.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
    co_await transmitter.send(kPacket, std::move(target));
}

TEST(LoopbackWakeTransmitter, ACancelledTaskSendsNothing) {
    LoopRunner loop;
    testing::UdpReceiver receiver;
    POSIXUDPWakeTransmitter transmitter(true);
    asio::cancellation_signal cancel;
    auto sent = loop.spawn(
        sendOnceCancelled(transmitter, WakeUDPTarget("127.0.0.1", receiver.port(), false, WakeInterfaceKind::wifi)),
        cancel.slot());
    loop.io.poll();
    cancel.emit(asio::cancellation_type::terminal);
    EXPECT_THROW(loop.wait(sent), CancellationError);
    EXPECT_TRUE(receiver.nothingArrived());
}

// The listener's next connection.
tcp::socket accept(LoopRunner& loop, tcp::acceptor& listener) {
    tcp::socket accepted(loop.io);
    loop.run([&]() -> asio::awaitable<void> { co_await listener.async_accept(accepted, asio::use_awaitable); }());
    return accepted;
}

// Reads until the peer closes; true when it did.
asio::awaitable<bool> closedByPeer(tcp::socket& socket) {
    char byte;
    asio::error_code error;
    co_await asio::async_read(socket, asio::buffer(&byte, 1), asio::redirect_error(asio::use_awaitable, error));
    co_return error == asio::error::eof;
}

TEST(LoopbackWakeProbe, HoldsOneConnectionForItsTimeoutThenCloses) {
    LoopRunner loop;
    tcp::acceptor listener(loop.io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    POSIXUDPWakeTransmitter transmitter(true);
    auto probe = loop.spawn(transmitter.probeSleepProxy("127.0.0.1", listener.local_endpoint().port(), 200ms));
    tcp::socket accepted = accept(loop, listener);
    EXPECT_TRUE(loop.run(closedByPeer(accepted)));
    loop.wait(probe);
}

TEST(LoopbackWakeProbe, UnusableDestinationsConnectNowhere) {
    LoopRunner loop;
    tcp::acceptor listener(loop.io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const std::uint16_t port = listener.local_endpoint().port();
    // Each would hold for an hour had it connected; the run's bound ends the test first.
    POSIXUDPWakeTransmitter allowed(true);
    loop.run(allowed.probeSleepProxy("127.0.0.1", 0, 1h));
    loop.run(allowed.probeSleepProxy("192.168.1.300", port, 1h));
    loop.run(allowed.probeSleepProxy("203.0.113.5", port, 1h));
    POSIXUDPWakeTransmitter refused(false);
    loop.run(refused.probeSleepProxy("127.0.0.1", port, 1h));

    // The first connection the listener sees is this marker's.
    tcp::socket marker(loop.io);
    marker.connect(listener.local_endpoint());
    tcp::socket accepted = accept(loop, listener);
    EXPECT_EQ(accepted.remote_endpoint(), marker.local_endpoint());
}

TEST(LoopbackWakeProbe, CancellingDuringTheHoldReturnsAndClosesTheConnection) {
    LoopRunner loop;
    tcp::acceptor listener(loop.io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    POSIXUDPWakeTransmitter transmitter(true);
    asio::cancellation_signal cancel;
    auto probe = loop.spawn(transmitter.probeSleepProxy("127.0.0.1", listener.local_endpoint().port(), 1h),
                            cancel.slot());
    tcp::socket accepted = accept(loop, listener);
    cancel.emit(asio::cancellation_type::terminal);
    EXPECT_NO_THROW(loop.wait(probe, 5s));
    EXPECT_TRUE(loop.run(closedByPeer(accepted), 5s));
}

} // namespace
} // namespace velorinth
